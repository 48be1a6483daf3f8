#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "fpsbench/time_stats.h"

// The compositor's time statistics as "dumpsys SurfaceFlinger --timestats
// -dump" prints them, for the dumpsys double's fixtures, the unit tests and
// the benchmarks alike.
namespace dumpsys_double {

// A histogram's line: every bucket, with the count given for it or 0.
inline std::string timeStatsHistogram(const std::map<unsigned, uint64_t>& counts) {
  std::string line;
  for (uint16_t ms : kTimeStatsBucketMs) {
    const auto it = counts.find(ms);
    line += std::to_string(ms) + "ms=" + std::to_string(it == counts.end() ? 0 : it->second) + " ";
  }
  line.back() = '\n';
  return line;
}

// A jank payload's counters.
struct Jank {
  uint64_t janky = 0, sfLongCpu = 0, sfLongGpu = 0, sfUnattributed = 0, appUnattributed = 0,
           sfScheduling = 0, sfPrediction = 0, appStuffing = 0;
};

inline std::string jankPayload(const Jank& j, uint64_t total) {
  return "totalTimelineFrames = " + std::to_string(total) +
         "\njankyFrames = " + std::to_string(j.janky) +
         "\nsfLongCpuJankyFrames = " + std::to_string(j.sfLongCpu) +
         "\nsfLongGpuJankyFrames = " + std::to_string(j.sfLongGpu) +
         "\nsfUnattributedJankyFrames = " + std::to_string(j.sfUnattributed) +
         "\nappUnattributedJankyFrames = " + std::to_string(j.appUnattributed) +
         "\nsfSchedulingJankyFrames = " + std::to_string(j.sfScheduling) +
         "\nsfPredictionErrorJankyFrames = " + std::to_string(j.sfPrediction) +
         "\nappBufferStuffingJankyFrames = " + std::to_string(j.appStuffing) + "\n";
}

// One layer's block, with the blank line before it; the other histograms
// around present2present, in the order Android prints them (by name).
inline std::string timeStatsBlock(unsigned refresh, unsigned render, const std::string& name,
                                  uint64_t total, const std::map<unsigned, uint64_t>& present2present,
                                  const Jank& jank = {}) {
  return "\ndisplayRefreshRate = " + std::to_string(refresh) +
         " fps\nrenderRate = " + std::to_string(render) +
         " fps\nuid = 10234\nlayerName = " + name +
         "\npackageName = \ngameMode = Unsupported\ntotalFrames = " + std::to_string(total) +
         "\ndroppedFrames = 0\nlateAcquireFrames = 0\nbadDesiredPresentFrames = 0\n"
         "Jank payload for this layer:\n" +
         jankPayload(jank, total) +
         "SetFrameRate vote for this layer:\nframeRate = 0.00\nframeRateCompatibility = "
         "Default\nseamlessness = ShouldBeSeamless\naverageFPS = 59.988\n"
         "acquire2present histogram is as below:\n" +
         timeStatsHistogram({{3, total}}) + "appDeadlineDeltas histogram is as below:\n" +
         timeStatsHistogram({{0, total}}) + "present2present histogram is as below:\n" +
         timeStatsHistogram(present2present) + "present2presentDelta histogram is as below:\n" +
         timeStatsHistogram({{1, total}});
}

// The global part: legacy counters and histograms, and jank payload blocks
// that start like a layer's, without its name, holding more frames than any
// layer.
inline std::string timeStatsGlobalPart() {
  return "SurfaceFlinger TimeStats:\nLegacy stats are as follows:\nstatsStart = 1733915000\n"
         "statsEnd = 1733915060\ntotalFrames = 999999\nmissedFrames = 12\n"
         "displayConfigStats is as below:\n60fps = 60000ms\ntotalP2PTime = 60000 ms\n"
         "Global present2present histogram is as below:\n" +
         timeStatsHistogram({{16, 999999}}) + "Global frame duration histogram is as below:\n" +
         timeStatsHistogram({{5, 999999}}) +
         "Global aggregated jank payload (Timeline stats):\n" +
         "\ndisplayRefreshRate = 60 fps\nrenderRate = 60 fps\n" + jankPayload({777}, 999999) +
         "displayPresentDeltas histogram is as below:\n" + timeStatsHistogram({{16, 999999}});
}

}  // namespace dumpsys_double
