#pragma once

#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device_config.h"

namespace sim {

// The present time of a frame whose fence has not signalled yet.
constexpr int64_t kPendingFenceNs = INT64_MAX;

// The time of frame k after the start of a stretch drawn at fps (> 0) frames
// a second: floor(k * 1e9 / fps), for any k without overflow.
int64_t frameOffsetNs(int64_t k, int fps);

// The last frame k of such a stretch whose offset is at most offsetNs (>= 0).
int64_t lastFrameAtOrBefore(int64_t offsetNs, int fps);

// Frames drawn that presentedFrames walks through at most: almost three hours
// of a 1000 fps app, days of an ordinary one.
constexpr int kMaxTruthSteps = 10000000;

// The first vsync at or after ns (>= 0); vsyncs fall every periodNs from the
// clock's zero, but nothing is shown at zero itself, whose present time would
// read as an empty slot.
int64_t vsyncAtOrAfter(int64_t ns, int64_t periodNs);

// out as dumpsys passes it on: followed by its own line for a dump that ran
// out of time when the configuration asks for it.
std::string withTimeoutSuffix(const DeviceConfig& config, std::string out);

// What "dumpsys SurfaceFlinger --list" prints: nothing on Android 14 QPR2.
// appStartNs is empty while the app is not running.
std::string layerListing(const DeviceConfig& config, std::optional<int64_t> appStartNs);

// The name, as the latency command takes it, of the layer that shows the
// app's frames.
std::string frameLayerName(const DeviceConfig& config, int64_t appStartNs);

// What "dumpsys SurfaceFlinger --latency NAME" prints at monotonic time nowNs:
// the period alone for a name that is no layer's, and for any on Android 14
// QPR2.
std::string latencyOutput(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                          int64_t nowNs, const std::string& name);

// The actual present times of the app's frames shown in (fromNs, toNs],
// oldest first: what the frame layer's latency output shows for them, at any
// time from toNs on while they are among its newest. Each frame the app
// draws is shown at the first vsync at or after it reaches the compositor,
// unless an earlier frame holds that vsync, and then never. Stops after
// kMaxTruthSteps frames drawn.
std::vector<int64_t> presentedFrames(const DeviceConfig& config, int64_t appStartNs, int64_t fromNs,
                                     int64_t toNs);

// A frame a layer showed, as the compositor's time statistics count it.
struct ShownFrame {
  int64_t presentNs;
  // When its buffer reached the compositor.
  int64_t postNs;
  // The layer's present before it, in the window or not; -1: none.
  int64_t previousNs;
  // The spacing its drawer aims at.
  int64_t paceNs;
  // Whether it was due a pace after the previous one: not the first of a
  // stretch of the app's schedule, nor a system layer's.
  bool paced;
  // Frames queued after it that lost its vsync to it.
  int droppedAfter;
};

// presentedFrames' frames with what else the compositor knows of them, in
// the same order.
void forEachAppFrame(const DeviceConfig& config, int64_t appStartNs, int64_t fromNs, int64_t toNs,
                     const std::function<void(const ShownFrame&)>& shown);

// The layers that show frames, in the listing's order, by the name the
// latency command takes.
struct DrawingLayer {
  std::string name;
  bool ofApp;
};
std::vector<DrawingLayer> drawingLayers(const DeviceConfig& config,
                                        std::optional<int64_t> appStartNs);

// The frames that layer NAME showed in (fromNs, toNs], oldest first; none
// for a name that is no layer's.
void forEachShownFrame(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                       const std::string& name, int64_t fromNs, int64_t toNs,
                       const std::function<void(const ShownFrame&)>& shown);

}  // namespace sim
