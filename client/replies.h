#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "protocol.h"

// The shapes of the daemon's replies, as the client reads them. Everything
// here is pure, so that tests call it with any bytes.
namespace perfprobe {

// Whether the daemon would answer text at all: it holds one of its keywords
// before its first zero byte, within the bytes it reads.
bool holdsKeyword(const std::string& text);

// The reply of the requests that only act: "success".
inline bool isSuccess(const std::string& reply) { return reply == kSuccess; }

// kInitialization + ":" + pattern. The daemon takes the second ':'-separated
// field as a regular expression, so a ':' would cut the pattern and a line
// feed would stay in it and match nothing: both give a reason here.
std::optional<std::string> startRequest(const std::string& pattern, std::string* why);

// The frame rate: the daemon's "%d" text of a 32-bit value.
std::optional<int32_t> parseFps(const std::string& reply);

// The frame statistics (GET_FRAMESTATS) of the daemon's last tick: lines of
// "name value", each ending in a line feed, "NA" where a value is unknown.
// A number is missing when it is "NA" or not a plain decimal number (a
// count must be whole); a line the daemon has not ended, and a name read
// before in the same reply, count as absent.
struct FrameStats {
  std::string state;  // collecting, idle, no-layer, no-frames, or a newer one
  std::optional<double> fps;
  std::optional<double> frames;
  std::optional<double> windowMs;
  std::optional<double> frameMsP50;
  std::optional<double> frameMsP95;
  std::optional<double> frameMsMax;
  std::optional<double> jank;
  std::optional<double> bigJank;
  std::optional<double> missedVsyncs;
  std::optional<double> refreshHz;
  std::optional<double> jankMs;
  std::optional<std::string> layer;  // the rest of its line: names hold spaces

  bool operator==(const FrameStats& other) const;
};

// Names it does not know are skipped, as the set may grow. Nullopt without a
// state: not a frame-statistics reply (a rate, a report, "success").
std::optional<FrameStats> parseFrameStats(const std::string& reply);

// Whether text is one or more decimal digits and nothing else.
bool allDigits(const std::string& text);
// Such digits as a number; nothing for any other text or beyond 64 bits.
std::optional<uint64_t> parseUnsigned(const std::string& text);

// Calls each(name, value) for every line of a reply of "name value" lines
// that ends in a line feed, in order: the value is the rest of the line. A
// line without a space or without a name is skipped.
template <typename Each>
void forEachField(const std::string& reply, const Each& each) {
  size_t from = 0;
  for (size_t end = reply.find('\n'); end != std::string::npos; end = reply.find('\n', from)) {
    const size_t space = reply.find(' ', from);
    if (space != from && space < end) {
      each(reply.substr(from, space - from), reply.substr(space + 1, end - space - 1));
    }
    from = end + 1;
  }
}

// The CPU report in the order it comes: "cpuFreq" alone (no CPU listed) or
// "cpuFreq:" and values joined by ','. A value that is not a plain decimal
// number ("NA", an empty file) is missing. Nullopt when the reply is not a
// CPU report at all.
using Khz = std::optional<uint64_t>;
std::optional<std::vector<Khz>> parseCpuReport(const std::string& reply);

// The daemon lists its CPU folders in byte-wise order of their names (cpu0,
// cpu1, cpu10, cpu11, cpu2, ...): the CPU number of each position of a report
// of n values, for a device whose CPUs are cpu0 to cpu<n-1>.
std::vector<unsigned> reportOrder(size_t n);

// A report's values by CPU number: value i belongs to cpu<i>.
std::vector<Khz> byCpuNumber(const std::vector<Khz>& report);

}  // namespace perfprobe
