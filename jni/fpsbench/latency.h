#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>

#include "fpsbench/layer_list.h"

class FrameCounter;

// A layer's frame rate from its latency output, the command
// "dumpsys SurfaceFlinger --latency NAME" prints for one layer: a first
// line (the refresh period), then one timing row per frame.

// The layer name: the listing line without its last character.
std::string layerNameOf(const FrameData& frameData);

// The latency command of one layer, as an argument vector for
// Command::start: what the shell would make of
// "dumpsys SurfaceFlinger --latency '<name>'", the name one argument, byte
// for byte, and nothing in it run. A name never holds a zero byte, which
// would end the argument early: a listing line ends at its first one
// (LineSplitter), as a C string does. Points into layerName, which must
// outlive it.
std::array<const char*, 5> latencyArguments(const std::string& layerName);

// The newest 129 timing lines of one latency output. The output's first line
// (the refresh period) is not a timing line and is dropped. Each line also
// goes to the frame statistics' counter, when there is one, read once for
// both.
class LatencyWindow {
 public:
  static constexpr size_t kMaxLines = 129;

  LatencyWindow() = default;
  explicit LatencyWindow(FrameCounter* counter) : counter_(counter) {}

  void addOutputLine(const char* line);

  // The submitting time of the i-th queued line, oldest first; 0 for a line
  // that does not hold three non-zero numbers.
  size_t size() const { return count_; }
  uint64_t submittingAt(size_t i) const { return ring_[(first_ + i) % kMaxLines]; }

 private:
  FrameCounter* const counter_ = nullptr;
  bool sawPeriodLine_ = false;
  uint64_t ring_[kMaxLines];
  size_t first_ = 0;
  size_t count_ = 0;
};

// The layer's rate from its timing lines: the frames of the first whole
// second after the oldest second boundary, less the one that opens it; 0
// when no second is completed; -1 when no line holds three non-zero numbers.
int fpsFromTimings(FrameData frameData, const LatencyWindow& window);

// The rate from a whole latency output.
int layerRateFromOutput(const std::string& output);
