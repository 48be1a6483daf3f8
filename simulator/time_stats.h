#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "device_config.h"

namespace sim {

// The buckets of a time statistics histogram: 0 to 34 ms by 1, 36 to 50 by
// 2, 54 to 150 by 4, 200 to 1000 by 50.
constexpr size_t kHistogramBuckets = 85;

// The bucket, by its lower edge in ms, that a time of ns counts in: whole
// ms, truncated, in the first bucket not below them; above 1000 ms, 1000.
int histogramBucketMs(int64_t ns);

// Whether the compositor keeps time statistics, and since when it counts:
// monotonic ns.
struct TimeStatsState {
  // The first enable since the last disable; none while they are off.
  std::optional<int64_t> enabledNs;
  // The last time the statistics service pulled the layers' counters, or a
  // clear.
  std::optional<int64_t> resetNs;
};

// What "dumpsys SurfaceFlinger --timestats -dump" prints at nowNs: nothing
// while they are off; else the global part (counted since the enable) and a
// block per layer and render rate (since the later of the enable and the
// reset), largest first.
std::string timeStatsDump(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                          const TimeStatsState& state, int64_t nowNs);

}  // namespace sim
