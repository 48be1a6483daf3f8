#include "metrics.h"

#include <charconv>
#include <cmath>

namespace perfprobe {

namespace {

constexpr FamilyInfo kFamilies[kFamilyCount] = {
    {"perfprobe_up", "gauge", "1 when the device's daemon answered the last poll, else 0."},
    {"perfprobe_request_duration_seconds", "histogram",
     "Round trip of the device-statistics request, from its first send to its reply."},
    {"perfprobe_requests_total", "counter", "Polls of the device."},
    {"perfprobe_request_failures_total", "counter", "Polls that got no reply after every retry."},
    {"perfprobe_device_uptime_seconds", "gauge",
     "The device's monotonic clock at the poll: time since boot, less time asleep."},
    {"perfprobe_daemon_cpu_ratio", "gauge",
     "CPU time of the daemon and its commands per second, as a fraction of one CPU."},
    {"perfprobe_daemon_resident_memory_bytes", "gauge", "Resident memory of the daemon."},
    {"perfprobe_cpu_frequency_hertz", "gauge", "Current clock of each CPU."},
    {"perfprobe_cpu_max_frequency_hertz", "gauge", "Highest clock each CPU may run at now."},
    {"perfprobe_cpu_load_ratio", "gauge", "Busy fraction of each CPU since the previous poll."},
    {"perfprobe_device_cpu_load_ratio", "gauge",
     "Busy fraction of all CPUs since the previous poll."},
    {"perfprobe_gpu_frequency_hertz", "gauge", "Current GPU clock."},
    {"perfprobe_gpu_max_frequency_hertz", "gauge", "Highest GPU clock allowed now."},
    {"perfprobe_gpu_busy_ratio", "gauge", "Busy fraction of the GPU."},
    {"perfprobe_gpu_info", "gauge",
     "Where the GPU figures come from (kgsl, exynos, devfreq, none)."},
    {"perfprobe_battery_level_ratio", "gauge", "Battery charge, as a fraction of full."},
    {"perfprobe_battery_voltage_volts", "gauge", "Battery voltage."},
    {"perfprobe_battery_current_amperes", "gauge", "Battery current: negative while discharging."},
    {"perfprobe_battery_power_watts", "gauge", "Battery power: negative while discharging."},
    {"perfprobe_battery_temperature_celsius", "gauge", "Battery temperature."},
    {"perfprobe_battery_info", "gauge", "Battery status (Charging, Discharging, Full, ...)."},
    {"perfprobe_memory_available_bytes", "gauge", "Memory available for new work (MemAvailable)."},
    {"perfprobe_app_processes", "gauge", "Processes of the collected app."},
    {"perfprobe_app_threads", "gauge", "Threads of the collected app."},
    {"perfprobe_app_resident_memory_bytes", "gauge", "Resident memory of the collected app."},
    {"perfprobe_app_cpu_ratio", "gauge",
     "CPU time of the collected app per second, as a fraction of one CPU."},
    {"perfprobe_temperature_celsius", "gauge", "Temperature of each thermal zone."},
    {"perfprobe_frame_rate_hertz", "gauge",
     "Frames per second of the app's layers in the last window."},
    {"perfprobe_frames", "gauge", "Frames of the app's layers in the last window."},
    {"perfprobe_frame_window_seconds", "gauge", "Length of the last window of frames."},
    {"perfprobe_frame_time_p50_seconds", "gauge", "Median time between frames in the last window."},
    {"perfprobe_frame_time_p95_seconds", "gauge",
     "95th percentile of the time between frames in the last window."},
    {"perfprobe_frame_time_max_seconds", "gauge",
     "Longest time between frames in the last window."},
    {"perfprobe_jank_frames", "gauge", "Frames that came late in the last window."},
    {"perfprobe_big_jank_frames", "gauge", "Frames that came very late in the last window."},
    {"perfprobe_missed_vsyncs", "gauge", "Refreshes that showed no new frame in the last window."},
    {"perfprobe_jank_seconds", "gauge", "Time lost to late frames in the last window."},
    {"perfprobe_refresh_rate_hertz", "gauge", "Display refresh rate."},
    {"perfprobe_collection_info", "gauge",
     "State of the frame collection (collecting, idle, no-layer, no-frames)."},
};

// Shortest text that reads back as the value to 15 significant digits: a
// kHz times 1000 stays whole, a percent over 100 stays short.
void appendNumber(std::string* out, double value) {
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  out->append(buf, result.ptr);
}

void appendEscaped(std::string* out, const std::string& value) {
  for (char c : value) {
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '"') {
      *out += "\\\"";
    } else if (c == '\n') {
      *out += "\\n";
    } else {
      *out += c;
    }
  }
}

// name{LABEL[,extra]} value\n
void sample(std::string* out, Family family, const std::string& label, const std::string& extra,
            double value, const char* suffix = "") {
  *out += kFamilies[family].name;
  *out += suffix;
  *out += '{';
  *out += label;
  if (!extra.empty()) {
    *out += ',';
    *out += extra;
  }
  *out += "} ";
  appendNumber(out, value);
  *out += '\n';
}

std::string labelPair(const char* name, const std::string& value) {
  std::string pair = name;
  pair += "=\"";
  appendEscaped(&pair, value);
  pair += '"';
  return pair;
}

struct Scaled {
  const char* field;
  Family family;
  double scale;
};

// The fields of GET_STATS that are one number each.
constexpr Scaled kStatsFields[] = {
    {"uptime_ms", kDeviceUptime, 1e-3},
    {"probe_cpu_pct", kDaemonCpu, 1e-2},
    {"probe_rss_kb", kDaemonMemory, 1024},
    {"cpu_load_pct", kDeviceCpuLoad, 1e-2},
    {"gpu_khz", kGpuFrequency, 1e3},
    {"gpu_max_khz", kGpuMaxFrequency, 1e3},
    {"gpu_busy_pct", kGpuBusy, 1e-2},
    {"battery_pct", kBatteryLevel, 1e-2},
    {"battery_mv", kBatteryVoltage, 1e-3},
    {"battery_ma", kBatteryCurrent, 1e-3},
    {"battery_mw", kBatteryPower, 1e-3},
    {"battery_temp_c", kBatteryTemperature, 1},
    {"mem_available_kb", kMemoryAvailable, 1024},
    {"app_pids", kAppProcesses, 1},
    {"app_threads", kAppThreads, 1},
    {"app_rss_kb", kAppMemory, 1024},
    {"app_cpu_pct", kAppCpu, 1e-2},
};

}  // namespace

const FamilyInfo& familyInfo(Family family) { return kFamilies[family]; }

void RequestCounts::observe(double seconds) {
  size_t i = 0;
  while (i < kLatencyBuckets.size() && seconds > kLatencyBuckets[i]) ++i;
  ++buckets[i];
  latencySum += seconds;
  ++latencyCount;
}

std::string deviceLabel(const std::string& device) { return labelPair("device", device); }

void renderRequests(const std::string& label, bool up, const RequestCounts& counts, Samples* out) {
  sample(&(*out)[kUp], kUp, label, "", up ? 1 : 0);
  std::string& h = (*out)[kRequestDuration];
  uint64_t cumulative = 0;
  char le[32];
  for (size_t i = 0; i <= kLatencyBuckets.size(); ++i) {
    cumulative += counts.buckets[i];
    if (i < kLatencyBuckets.size()) {
      const auto r = std::to_chars(le, le + sizeof le, kLatencyBuckets[i]);
      sample(&h, kRequestDuration, label, "le=\"" + std::string(le, r.ptr) + "\"",
             static_cast<double>(cumulative), "_bucket");
    } else {
      sample(&h, kRequestDuration, label, "le=\"+Inf\"", static_cast<double>(cumulative),
             "_bucket");
    }
  }
  sample(&h, kRequestDuration, label, "", counts.latencySum, "_sum");
  sample(&h, kRequestDuration, label, "", static_cast<double>(counts.latencyCount), "_count");
  sample(&(*out)[kRequests], kRequests, label, "", static_cast<double>(counts.requests));
  sample(&(*out)[kRequestFailures], kRequestFailures, label, "",
         static_cast<double>(counts.failures));
}

void renderStats(const std::string& label, const DeviceStats& stats, Samples* out) {
  for (const Scaled& f : kStatsFields) {
    if (const auto v = stats.number(f.field)) {
      sample(&(*out)[f.family], f.family, label, "", *v * f.scale);
    }
  }
  for (const CoreStats& core : coreStats(stats)) {
    const std::string cpu = "cpu=\"" + std::to_string(core.cpu) + "\"";
    const std::string withCluster =
        core.cluster ? cpu + ",cluster=\"" + std::to_string(*core.cluster) + "\"" : cpu;
    if (core.khz)
      sample(&(*out)[kCpuFrequency], kCpuFrequency, label, withCluster, *core.khz * 1e3);
    if (core.maxKhz) {
      sample(&(*out)[kCpuMaxFrequency], kCpuMaxFrequency, label, withCluster, *core.maxKhz * 1e3);
    }
    if (core.loadPct) sample(&(*out)[kCpuLoad], kCpuLoad, label, cpu, *core.loadPct * 1e-2);
  }
  if (const auto source = stats.text("gpu_source")) {
    sample(&(*out)[kGpuInfo], kGpuInfo, label, labelPair("source", *source), 1);
  }
  if (const auto status = stats.text("battery_status")) {
    sample(&(*out)[kBatteryInfo], kBatteryInfo, label, labelPair("status", *status), 1);
  }
  for (const Zone& zone : zones(stats)) {
    if (zone.celsius) {
      sample(&(*out)[kTemperature], kTemperature, label, labelPair("zone", zone.name),
             *zone.celsius);
    }
  }
}

void renderFrames(const std::string& label, const FrameStats& frames, Samples* out) {
  const struct {
    const std::optional<double>& value;
    Family family;
    double scale;
  } fields[] = {
      {frames.fps, kFrameRate, 1},
      {frames.frames, kFrames, 1},
      {frames.windowMs, kFrameWindow, 1e-3},
      {frames.frameMsP50, kFrameTimeP50, 1e-3},
      {frames.frameMsP95, kFrameTimeP95, 1e-3},
      {frames.frameMsMax, kFrameTimeMax, 1e-3},
      {frames.jank, kJankFrames, 1},
      {frames.bigJank, kBigJankFrames, 1},
      {frames.missedVsyncs, kMissedVsyncs, 1},
      {frames.jankMs, kJankTime, 1e-3},
      {frames.refreshHz, kRefreshRate, 1},
  };
  for (const auto& f : fields) {
    if (f.value) sample(&(*out)[f.family], f.family, label, "", *f.value * f.scale);
  }
  sample(&(*out)[kCollectionInfo], kCollectionInfo, label, labelPair("state", frames.state), 1);
}

std::string exposition(const std::vector<const Samples*>& devices) {
  size_t size = 0;
  for (const Samples* d : devices) {
    for (const std::string& lines : *d) size += lines.size();
  }
  std::string out;
  out.reserve(size + kFamilyCount * 160);
  for (size_t f = 0; f < kFamilyCount; ++f) {
    bool any = false;
    for (const Samples* d : devices) any = any || !(*d)[f].empty();
    if (!any) continue;
    out += "# HELP ";
    out += kFamilies[f].name;
    out += ' ';
    out += kFamilies[f].help;
    out += "\n# TYPE ";
    out += kFamilies[f].name;
    out += ' ';
    out += kFamilies[f].type;
    out += '\n';
    for (const Samples* d : devices) out += (*d)[f];
  }
  return out;
}

}  // namespace perfprobe
