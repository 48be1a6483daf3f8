#pragma once

#include <stddef.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"
#include "device_stats.h"
#include "series.h"

// Where a monitor's series come from: each source asks the daemon for its
// own reply once per sample and gives a value for each of its series.
namespace perfprobe {

// How a source asks the daemon: Channel::ask in the monitor, replies written
// out in the tests.
using Ask = std::function<std::optional<std::string>(const std::string& request,
                                                     const Channel::Accept& accept)>;

class Source {
 public:
  virtual ~Source() = default;
  // Once the collection has started: the kinds this source fills and their
  // series, without values. It may ask first (the CPUs are those of the
  // first report). Nullopt when the daemon did not answer.
  virtual std::optional<std::vector<Kind>> start(const Ask& ask) = 0;
  // One sample: a value for each series, in the order of start's kinds.
  // Nullopt when the daemon did not answer.
  virtual std::optional<std::vector<Value>> sample(const Ask& ask) = 0;
};

// The monitor's sources, in the order of the outputs: the frames, then the
// CPUs and the rest of the device. `probe` asks once, at the start, whether
// the daemon gives frame statistics (GET_FRAMESTATS) and the device's
// figures (GET_STATS): with a short wait and no retry, since an older daemon
// never answers. Then the frames are those statistics; without a reply, or
// without a probe, they are the rate of GET_FPS. And the device is GET_STATS'
// (deviceStatsKinds); without a reply, or without a probe, it is the CPU
// frequencies of GET_SIMPLE alone.
std::vector<std::unique_ptr<Source>> monitorSources(Ask probe = nullptr);

// The kinds of those sources: the frame rate of GET_FPS, and one series per
// CPU in kHz (MHz on screen) labelled cpu0 to cpu<count-1>.
Kind fpsKind();
Kind cpuKind(size_t count);

// The frame statistics, one series for each number of the reply and named
// as it is (refresh_hz, jank_ms), in its order: fps with one decimal;
// frames and window_ms; frame_ms_p50, frame_ms_p95 and frame_ms_max, drawn
// with the jank marked; jank, big_jank and missed_vsyncs, each per 10
// minutes in the summary; refresh_hz; jank_ms, whose share of window_ms is
// the stutter. The live line shows fps, frame_ms_p95 and jank.
std::vector<Kind> frameStatsKinds();

// GET_STATS' kinds, in their order; the CPUs, clusters and thermal zones
// are those of the first reply. The CSV column of each series is the
// reply's name where the reply has one:
// - cpu<N>_khz: cpuKind's, kept for the files and the summary; the panel and
//   the live line show each cluster instead.
// - cluster<CPUs>_khz, cluster<CPUs>_max_khz: the clock of the CPUs that
//   share it (cluster0-3_khz, titled cpu0-3), on the panel "CPU frequency"
//   and the live line; and its maximum.
// - cpu_load_pct, cluster<CPUs>_load_pct (the mean of its CPUs'), gpu_busy_pct:
//   the panel "load", mean and maximum in the summary; cpu_load_pct and
//   gpu_busy_pct live.
// - cpu<N>_load_pct, an array core_load_pct in the JSON lines.
// - gpu_khz, gpu_max_khz: the panel "GPU frequency".
// - temp_<zone>_c for every zone, then temp_hottest_c, the hottest of them:
//   the panel "temperature" draws it and the skin's and battery's zones; it
//   is live, and the summary gives its maximum and the zone.
// - battery_mw: the panel "battery power", live, its mean in the summary.
// - battery_pct (its drop in the summary), battery_mv, battery_ma,
//   battery_temp_c, mem_available_kb, app_pids, app_threads.
// - app_cpu_pct, probe_cpu_pct: means in the summary; app_rss_kb,
//   probe_rss_kb: maxima. uptime_ms last.
// The reply's text (battery_status, gpu_source) is no series.
std::vector<Kind> deviceStatsKinds(const DeviceStats& first);

// Every source of a monitor, asked in turn; their series form one row.
class Sources {
 public:
  explicit Sources(std::vector<std::unique_ptr<Source>> sources);
  // Every source's kinds, in order; nullopt when one had no reply.
  std::optional<std::vector<Kind>> start(const Ask& ask);
  // A value for each series of start's kinds, missing where a source had no
  // reply; `answered` says whether any source had one.
  std::vector<Value> sample(const Ask& ask, bool* answered);

 private:
  std::vector<std::unique_ptr<Source>> sources_;
  std::vector<size_t> counts_;  // each source's series, from start
};

}  // namespace perfprobe
