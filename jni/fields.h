#pragma once

#include <stddef.h>

#include <string_view>

// The figures of GET_STATS and GET_FRAMESTATS, for the daemon that writes
// them and the client that reads them alike. Both replies are lines of
// "name value"; a value is "NA" where it is unknown. A field is one line; a
// family is one line per item (a CPU, a thermal zone), named its prefix, the
// item and its suffix: cpu3_khz, temp_skin_therm_c.
namespace field {

// How a value is written, when it is known.
enum class Format {
  kInteger,     // whole, maybe negative: "1804800", "-412"
  kTenths,      // one decimal: "31.2", "-0.5"
  kHundredths,  // two decimals: "16.67"
  kText,        // the rest of the line, which may hold spaces
};

struct Field {
  // A field's whole name; a family's prefix.
  const char* name;
  // A family's suffix; null for a field.
  const char* suffix;
  // Of the values: "kHz", "%", "°C"; empty for a count, a number that names
  // something (a CPU) and a text.
  const char* unit;
  Format format;

  constexpr bool family() const { return suffix != nullptr; }
};

// Digits after the point of a field's numbers.
constexpr int decimalsOf(const Field& f) {
  return f.format == Format::kTenths ? 1 : f.format == Format::kHundredths ? 2 : 0;
}

// What stands between a family's prefix and suffix in name: "3" of
// cpu3_khz, "skin" of temp_skin_c; empty when name lacks either. Whether
// that is an item is the reader's to judge: cpu3_max_khz gives "3_max" for
// kCoreKhz.
constexpr std::string_view itemOf(const Field& f, std::string_view name) {
  if (!f.family()) return {};
  const std::string_view prefix(f.name), suffix(f.suffix);
  if (name.size() <= prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
      name.substr(name.size() - suffix.size()) != suffix) {
    return {};
  }
  return name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
}

// GET_STATS, in the order of the reply.
inline constexpr Field kUptimeMs{"uptime_ms", nullptr, "ms", Format::kInteger};
// The busy share of all CPUs, then of each, since the previous GET_STATS.
inline constexpr Field kCpuLoadPct{"cpu_load_pct", nullptr, "%", Format::kTenths};
inline constexpr Field kCoreLoadPct{"cpu", "_load_pct", "%", Format::kTenths};
inline constexpr Field kCoreKhz{"cpu", "_khz", "kHz", Format::kInteger};
// The hardware's highest clock.
inline constexpr Field kCoreMaxKhz{"cpu", "_max_khz", "kHz", Format::kInteger};
// The first CPU of the CPUs that share the clock.
inline constexpr Field kCoreCluster{"cpu", "_cluster", "", Format::kInteger};
inline constexpr Field kGpuKhz{"gpu_khz", nullptr, "kHz", Format::kInteger};
inline constexpr Field kGpuMaxKhz{"gpu_max_khz", nullptr, "kHz", Format::kInteger};
inline constexpr Field kGpuBusyPct{"gpu_busy_pct", nullptr, "%", Format::kTenths};
// Where the GPU's figures come from: kgsl, exynos, devfreq or none.
inline constexpr Field kGpuSource{"gpu_source", nullptr, "", Format::kText};
inline constexpr Field kBatteryPct{"battery_pct", nullptr, "%", Format::kInteger};
// The power supply's status as it gives it: Charging, Discharging, Full, ...
inline constexpr Field kBatteryStatus{"battery_status", nullptr, "", Format::kText};
inline constexpr Field kBatteryMv{"battery_mv", nullptr, "mV", Format::kInteger};
// Negative while discharging, as is the power.
inline constexpr Field kBatteryMa{"battery_ma", nullptr, "mA", Format::kInteger};
inline constexpr Field kBatteryMw{"battery_mw", nullptr, "mW", Format::kInteger};
inline constexpr Field kBatteryTempC{"battery_temp_c", nullptr, "°C", Format::kTenths};
inline constexpr Field kMemAvailableKb{"mem_available_kb", nullptr, "kB", Format::kInteger};
// The processes of the running collection's app, while one runs.
inline constexpr Field kAppPids{"app_pids", nullptr, "", Format::kInteger};
inline constexpr Field kAppThreads{"app_threads", nullptr, "", Format::kInteger};
inline constexpr Field kAppRssKb{"app_rss_kb", nullptr, "kB", Format::kInteger};
// A share of one core, since the previous GET_STATS.
inline constexpr Field kAppCpuPct{"app_cpu_pct", nullptr, "%", Format::kTenths};
// What the daemon and its commands cost.
inline constexpr Field kProbeCpuPct{"probe_cpu_pct", nullptr, "%", Format::kTenths};
inline constexpr Field kProbeRssKb{"probe_rss_kb", nullptr, "kB", Format::kInteger};
// Each thermal zone, named by its type; last, so that a reply cut short for
// a distant peer loses only zones.
inline constexpr Field kZoneTempC{"temp_", "_c", "°C", Format::kTenths};

// Whether a family's items are CPU numbers (cpu3_khz), as against names
// (a zone's).
constexpr bool perCpu(const Field& f) {
  return f.family() && std::string_view(f.name) == kCoreKhz.name;
}

inline constexpr const Field* kStatsFields[] = {
    &kUptimeMs,     &kCpuLoadPct,    &kCoreLoadPct, &kCoreKhz,       &kCoreMaxKhz,
    &kCoreCluster,  &kGpuKhz,        &kGpuMaxKhz,   &kGpuBusyPct,    &kGpuSource,
    &kBatteryPct,   &kBatteryStatus, &kBatteryMv,   &kBatteryMa,     &kBatteryMw,
    &kBatteryTempC, &kMemAvailableKb, &kAppPids,    &kAppThreads,    &kAppRssKb,
    &kAppCpuPct,    &kProbeCpuPct,   &kProbeRssKb,  &kZoneTempC,
};

// GET_FRAMESTATS, in the order of the reply: the last tick's window.
// collecting, idle, no-layer or no-frames.
inline constexpr Field kState{"state", nullptr, "", Format::kText};
inline constexpr Field kFps{"fps", nullptr, "", Format::kTenths};
inline constexpr Field kFrames{"frames", nullptr, "", Format::kInteger};
inline constexpr Field kWindowMs{"window_ms", nullptr, "ms", Format::kInteger};
// Times between frames: nearest-rank percentiles and the longest.
inline constexpr Field kFrameMsP50{"frame_ms_p50", nullptr, "ms", Format::kHundredths};
inline constexpr Field kFrameMsP95{"frame_ms_p95", nullptr, "ms", Format::kHundredths};
inline constexpr Field kFrameMsMax{"frame_ms_max", nullptr, "ms", Format::kHundredths};
inline constexpr Field kJank{"jank", nullptr, "", Format::kInteger};
inline constexpr Field kBigJank{"big_jank", nullptr, "", Format::kInteger};
inline constexpr Field kMissedVsyncs{"missed_vsyncs", nullptr, "", Format::kInteger};
inline constexpr Field kRefreshHz{"refresh_hz", nullptr, "Hz", Format::kTenths};
// The layer whose frames these are.
inline constexpr Field kLayer{"layer", nullptr, "", Format::kText};
// The time spent in jank frames.
inline constexpr Field kJankMs{"jank_ms", nullptr, "ms", Format::kHundredths};
// Where the frames come from: latency (each frame's present time, to the
// nanosecond) or timestats (the compositor's histograms, whole milliseconds).
inline constexpr Field kSource{"source", nullptr, "", Format::kText};
// The phone's own jank verdict, where the source gives one: all janky
// frames, those it blames on the app, and those it blames on the compositor.
inline constexpr Field kOsJank{"os_jank", nullptr, "", Format::kInteger};
inline constexpr Field kOsJankApp{"os_jank_app", nullptr, "", Format::kInteger};
inline constexpr Field kOsJankSf{"os_jank_sf", nullptr, "", Format::kInteger};

inline constexpr const Field* kFrameStatsFields[] = {
    &kState,       &kFps,    &kFrames,       &kWindowMs,   &kFrameMsP50, &kFrameMsP95, &kFrameMsMax,
    &kJank,        &kBigJank, &kMissedVsyncs, &kRefreshHz,  &kLayer,      &kJankMs,
    &kSource,      &kOsJank,  &kOsJankApp,    &kOsJankSf,
};

// Whether a reader can tell every line of a reply by its name: no two
// fields share a name, no two families their prefix and suffix, and no
// field's name reads as an item of a family.
template <size_t N>
constexpr bool namesAreDistinct(const Field* const (&fields)[N]) {
  for (size_t i = 0; i < N; ++i) {
    for (size_t j = 0; j < N; ++j) {
      const Field& a = *fields[i];
      const Field& b = *fields[j];
      if (i != j && a.family() == b.family() && std::string_view(a.name) == b.name &&
          (!a.family() || std::string_view(a.suffix) == b.suffix)) {
        return false;
      }
      if (!a.family() && b.family() && !itemOf(b, a.name).empty()) return false;
    }
  }
  return true;
}
static_assert(namesAreDistinct(kStatsFields), "every GET_STATS line needs a name of its own");
static_assert(namesAreDistinct(kFrameStatsFields),
              "every GET_FRAMESTATS line needs a name of its own");

}  // namespace field
