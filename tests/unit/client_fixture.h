// Replies of a daemon written out, and the monitor's tables made of them,
// for the client's tests.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"
#include "series.h"
#include "sources.h"

namespace perfprobe::fixture {

// What the client sends for frame statistics and the device's figures: the
// keyword padded with spaces to the most the daemon reads, for the largest
// reply from afar.
inline const std::string kFrameStatsRequest = "GET_FRAMESTATS" + std::string(1024 - 14, ' ');
inline const std::string kStatsRequest = "GET_STATS" + std::string(1024 - 9, ' ');

// A GET_FRAMESTATS reply as the daemon writes it, each value in its line:
// fps, frames, window_ms, frame_ms_p50/p95/max, jank, big_jank,
// missed_vsyncs, refresh_hz, then the layer, jank_ms (values[10]), the
// source (values[11]) and os_jank, os_jank_app, os_jank_sf (values[12-14]).
inline std::string frameStatsReply(const std::string& state, const std::vector<std::string>& values,
                                   const std::string& layer = "NA") {
  static const char* const names[] = {"fps",          "frames",       "window_ms",
                                      "frame_ms_p50", "frame_ms_p95", "frame_ms_max",
                                      "jank",         "big_jank",     "missed_vsyncs",
                                      "refresh_hz"};
  static const char* const after[] = {"jank_ms", "source", "os_jank", "os_jank_app", "os_jank_sf"};
  const auto value = [&values](size_t i) { return i < values.size() ? values[i] : "NA"; };
  std::string reply = "state " + state + "\n";
  for (size_t i = 0; i < std::size(names); ++i) {
    reply += std::string(names[i]) + " " + value(i) + "\n";
  }
  reply += "layer " + layer + "\n";
  for (size_t i = 0; i < std::size(after); ++i) {
    reply += std::string(after[i]) + " " + value(std::size(names) + i) + "\n";
  }
  return reply;
}

inline const std::string kLayer =
    "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#148";
// A window of 60 even frames, each timed to the nanosecond.
inline const std::string kSteady =
    "state collecting\nfps 60.0\nframes 60\nwindow_ms 1000\nframe_ms_p50 16.67\n"
    "frame_ms_p95 16.68\nframe_ms_max 16.70\njank 0\nbig_jank 0\nmissed_vsyncs 0\n"
    "refresh_hz 60.0\nlayer " +
    kLayer + "\njank_ms 0.00\nsource latency\nos_jank NA\nos_jank_app NA\nos_jank_sf NA\n";
// The same window from the compositor's time statistics: frame times of
// whole-millisecond buckets, and the phone's own jank verdict.
inline const std::string kSteadyTimestats =
    frameStatsReply("collecting",
                    {"60.0", "60", "1000", "16.50", "16.50", "17.50", "1", "0", "0", "60.0",
                     "1.00", "timestats", "2", "1", "1"},
                    kLayer);

// The daemon's replies, written out: each request takes the next reply of
// its list; none left is no reply, and so is one the client refuses, as
// Channel::ask skips it. Every request asked is kept, in order.
struct Replies {
  std::map<std::string, std::deque<std::string>> next;
  std::vector<std::string> asked;

  Ask ask() {
    return [this](const std::string& request,
                  const Channel::Accept& accept) -> std::optional<std::string> {
      asked.push_back(request);
      auto& queue = next[request];
      if (queue.empty()) return std::nullopt;
      const std::string reply = queue.front();
      queue.pop_front();
      if (!accept(reply)) return std::nullopt;
      return reply;
    };
  }
};

// A GET_STATS reply of three CPUs, cpu0-1 sharing a clock and cpu2 alone,
// and three thermal zones; `change` gives a name another value, or leaves
// its line out with "-", and `more` ends the reply.
inline std::string deviceReply(const std::map<std::string, std::string>& change = {},
                               const std::string& more = "") {
  static const std::pair<const char*, const char*> lines[] = {
      {"uptime_ms", "1000"},           {"cpu_load_pct", "50.0"},
      {"cpu0_load_pct", "40.0"},       {"cpu1_load_pct", "60.0"},
      {"cpu2_load_pct", "50.0"},       {"cpu0_khz", "1000000"},
      {"cpu1_khz", "1000000"},         {"cpu2_khz", "2000000"},
      {"cpu0_max_khz", "1800000"},     {"cpu1_max_khz", "1800000"},
      {"cpu2_max_khz", "2800000"},     {"cpu0_cluster", "0"},
      {"cpu1_cluster", "0"},           {"cpu2_cluster", "2"},
      {"gpu_khz", "500000"},           {"gpu_max_khz", "600000"},
      {"gpu_busy_pct", "20.0"},        {"gpu_source", "kgsl"},
      {"battery_pct", "80"},           {"battery_status", "Discharging"},
      {"battery_mv", "3900"},          {"battery_ma", "-500"},
      {"battery_mw", "-1950"},         {"battery_temp_c", "30.0"},
      {"mem_available_kb", "2000000"}, {"app_pids", "1"},
      {"app_threads", "80"},           {"app_rss_kb", "400000"},
      {"app_cpu_pct", "120.0"},        {"probe_cpu_pct", "0.5"},
      {"probe_rss_kb", "1200"},        {"temp_cpu_0_0_c", "50.0"},
      {"temp_skin_therm_c", "35.0"},   {"temp_battery_c", "30.5"},
  };
  std::string reply;
  for (const auto& [name, value] : lines) {
    const auto changed = change.find(name);
    if (changed == change.end()) {
      reply += std::string(name) + " " + value + "\n";
    } else if (changed->second != "-") {
      reply += std::string(name) + " " + changed->second + "\n";
    }
  }
  return reply + more;
}

// A monitor of a daemon without frame statistics but with GET_STATS, over
// three samples: the probe's reply, whose loads are unknown yet, lays out
// the columns; the second sample lacks some lines and has a zone that the
// first had not; the third has no reply.
inline Table deviceTable(Replies* probe, Replies* daemon) {
  probe->next[kStatsRequest] = {deviceReply({{"cpu_load_pct", "NA"},
                                             {"cpu0_load_pct", "NA"},
                                             {"cpu1_load_pct", "NA"},
                                             {"cpu2_load_pct", "NA"},
                                             {"app_cpu_pct", "NA"}})};
  daemon->next[kGetFps] = {"59", "58", "57"};
  daemon->next[kStatsRequest] = {
      deviceReply(),
      deviceReply({{"uptime_ms", "2000"},
                   {"cpu_load_pct", "70.0"},
                   {"cpu0_load_pct", "80.0"},
                   {"cpu1_load_pct", "NA"},
                   {"cpu0_khz", "NA"},
                   {"cpu1_khz", "1100000"},
                   {"cpu2_khz", "-"},
                   {"gpu_busy_pct", "40.0"},
                   {"battery_pct", "78"},
                   {"battery_mw", "-2050"},
                   {"app_rss_kb", "500000"},
                   {"temp_cpu_0_0_c", "60.0"},
                   {"temp_skin_therm_c", "-"}},
                  "temp_new_c 99.0\n"),
  };
  Sources sources(monitorSources(probe->ask()));
  auto kinds = sources.start(daemon->ask());
  Table t;
  if (!kinds) {
    ADD_FAILURE() << "no start";
    return t;
  }
  t.kinds = std::move(*kinds);
  for (int i = 1; i <= 3; ++i) {
    bool answered = false;
    t.append(i, sources.sample(daemon->ask(), &answered));
  }
  return t;
}

// A phone of four CPUs, cpu3 offline, in the daemon's order, with a name
// that a newer daemon might add and two zones left out for a distant peer.
inline const std::string kPhoneStats =
    "uptime_ms 123456\n"
    "cpu_load_pct 37.5\n"
    "cpu0_load_pct 40.0\ncpu1_load_pct 35.0\ncpu2_load_pct 60.0\ncpu3_load_pct NA\n"
    "cpu0_khz 1804800\ncpu1_khz 1804800\ncpu2_khz 2419200\ncpu3_khz NA\n"
    "cpu0_max_khz 1804800\ncpu1_max_khz 1804800\ncpu2_max_khz 2841600\ncpu3_max_khz NA\n"
    "cpu0_cluster 0\ncpu1_cluster 0\ncpu2_cluster 2\ncpu3_cluster NA\n"
    "gpu_khz 585000\ngpu_max_khz 680000\ngpu_busy_pct 37.0\ngpu_source kgsl\n"
    "battery_pct 83\nbattery_status Not charging\nbattery_mv 3912\nbattery_ma -512\n"
    "battery_mw -2003\nbattery_temp_c 31.2\n"
    "mem_available_kb 2345678\n"
    "app_pids NA\napp_threads NA\napp_rss_kb NA\napp_cpu_pct NA\n"
    "probe_cpu_pct 0.3\nprobe_rss_kb 1234\n"
    "fan_mode quiet please\n"
    "temp_cpu_0_0_c 45.2\ntemp_skin_therm_c 33.5\ntemp_battery_c -1.5\ntemp_gpuss_0_c NA\n"
    "temp_xo_therm_c 47.9\n"
    "truncated 2\n";

// One sample of an older daemon's monitor: a frame rate and CPU values in
// kHz by number.
struct RateSample {
  double t;
  std::optional<int32_t> fps;
  std::vector<std::optional<uint64_t>> cpus;
};

// The monitor's table of GET_FPS and GET_SIMPLE for `cpus` CPUs. A sample
// with fewer CPU values than that leaves the rest missing, as a shorter
// report does.
inline Table rateTable(const std::vector<RateSample>& samples, size_t cpus) {
  Table t;
  t.kinds = {fpsKind(), cpuKind(cpus)};
  for (const RateSample& sample : samples) {
    std::vector<Value> values = {sample.fps ? Value(*sample.fps) : std::nullopt};
    for (const auto& khz : sample.cpus) values.push_back(khz ? Value(double(*khz)) : std::nullopt);
    t.append(sample.t, values);
  }
  return t;
}

// A table of the frame statistics' kinds and `cpus` CPUs: each row is the
// eleven numbers of a reply in its order up to jank_ms, then the CPUs in
// kHz; the source and the phone's own counts are missing.
inline Table frameTable(const std::vector<std::vector<Value>>& rows, size_t cpus) {
  Table t;
  t.kinds = frameStatsKinds();
  t.kinds.push_back(cpuKind(cpus));
  size_t frames = 0;
  for (size_t i = 0; i + 1 < t.kinds.size(); ++i) frames += t.kinds[i].series.size();
  for (size_t i = 0; i < rows.size(); ++i) {
    std::vector<Value> row = rows[i];
    row.resize(std::max(row.size(), size_t{11}));
    row.insert(row.begin() + 11, frames - 11, std::nullopt);
    t.append(static_cast<double>(i + 1), row);
  }
  return t;
}

inline const std::vector<Value> kNoFrames(11);

// A GET_STATS reply of a phone of two CPUs, the second's figures unknown,
// and a zone whose name holds a quote.
inline const char kExporterStats[] =
    "uptime_ms 5230114\n"
    "cpu_load_pct 41.3\n"
    "cpu0_load_pct 12.3\ncpu1_load_pct NA\n"
    "cpu0_khz 1804800\ncpu1_khz NA\n"
    "cpu0_max_khz 1804800\ncpu1_max_khz 2419200\n"
    "cpu0_cluster 0\ncpu1_cluster NA\n"
    "gpu_khz 220000\ngpu_max_khz NA\ngpu_busy_pct 7.5\ngpu_source kgsl\n"
    "battery_pct 80\nbattery_status Not charging\nbattery_mv 4028\nbattery_ma -180\n"
    "battery_mw -725\nbattery_temp_c 30.2\n"
    "mem_available_kb 3345007\n"
    "app_pids NA\napp_threads NA\napp_rss_kb NA\napp_cpu_pct NA\n"
    "probe_cpu_pct 0.3\nprobe_rss_kb 1020\n"
    "temp_cpu_0_0_c 45.2\ntemp_skin\"x_c -3.5\n";

// Every sample line of an exporter's page, by its series (name and labels).
inline std::map<std::string, std::string> seriesOf(const std::string& page) {
  std::map<std::string, std::string> series;
  std::istringstream in(page);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    EXPECT_TRUE(series.emplace(line.substr(0, space), line.substr(space + 1)).second)
        << "twice: " << line;
  }
  return series;
}

}  // namespace perfprobe::fixture
