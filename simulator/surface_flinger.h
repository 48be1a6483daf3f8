#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include "device_config.h"

namespace sim {

// Lines of one latency output; SurfaceFlinger keeps this many frames a layer.
constexpr size_t kLatencySlots = 127;
// The present time of a frame whose fence has not signalled yet.
constexpr int64_t kPendingFenceNs = INT64_MAX;

// The time of frame k after the start of a stretch drawn at fps (> 0) frames
// a second: floor(k * 1e9 / fps), for any k without overflow.
int64_t frameOffsetNs(int64_t k, int fps);

// The last frame k of such a stretch whose offset is at most offsetNs (>= 0).
int64_t lastFrameAtOrBefore(int64_t offsetNs, int fps);

// What "dumpsys SurfaceFlinger --list" prints. appStartNs is empty while the
// app is not running.
std::string layerListing(const DeviceConfig& config, std::optional<int64_t> appStartNs);

// What "dumpsys SurfaceFlinger --latency NAME" prints at monotonic time nowNs.
std::string latencyOutput(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                          int64_t nowNs, const std::string& name);

}  // namespace sim
