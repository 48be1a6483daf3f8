// The exporter's page: every family in base units, in its order.
#include "metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "replies.h"

namespace perfprobe {
namespace {

using fixture::kExporterStats;
using fixture::seriesOf;

// The families of a page, by their TYPE lines, in order.
std::vector<std::string> typedFamilies(const std::string& page) {
  std::vector<std::string> typed;
  std::istringstream in(page);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# TYPE ", 0) == 0) typed.push_back(line.substr(7));
  }
  return typed;
}

TEST(ExporterPage, ConvertsToBaseUnitsAndLeavesOutWhatIsUnknown) {
  Samples samples;
  renderRequests(deviceLabel("pixel"), true, RequestCounts(), &samples);
  renderStats(deviceLabel("pixel"), *parseDeviceStats(kExporterStats), &samples);
  const Reading frames = *parseFrameStats(
      "state collecting\nfps 59.9\nframes 60\nwindow_ms 1002\nframe_ms_p50 16.67\n"
      "frame_ms_p95 33.33\nframe_ms_max 50.1\njank 2\nbig_jank 1\nmissed_vsyncs 3\n"
      "refresh_hz 120.0\nlayer SurfaceView[com.example.game]#0\njank_ms 16.7\n");
  renderFrames(deviceLabel("pixel"), frames, &samples);
  const auto series = seriesOf(exposition({&samples}));
  const std::map<std::string, std::string> expected = {
      {"perfprobe_up{device=\"pixel\"}", "1"},
      {"perfprobe_device_uptime_seconds{device=\"pixel\"}", "5230.114"},
      {"perfprobe_device_cpu_load_ratio{device=\"pixel\"}", "0.413"},
      {"perfprobe_cpu_load_ratio{device=\"pixel\",cpu=\"0\"}", "0.123"},
      {"perfprobe_cpu_frequency_hertz{device=\"pixel\",cpu=\"0\",cluster=\"0\"}", "1804800000"},
      {"perfprobe_cpu_max_frequency_hertz{device=\"pixel\",cpu=\"0\",cluster=\"0\"}", "1804800000"},
      {"perfprobe_cpu_max_frequency_hertz{device=\"pixel\",cpu=\"1\"}", "2419200000"},
      {"perfprobe_gpu_frequency_hertz{device=\"pixel\"}", "220000000"},
      {"perfprobe_gpu_busy_ratio{device=\"pixel\"}", "0.075"},
      {"perfprobe_gpu_info{device=\"pixel\",source=\"kgsl\"}", "1"},
      {"perfprobe_battery_level_ratio{device=\"pixel\"}", "0.8"},
      {"perfprobe_battery_info{device=\"pixel\",status=\"Not charging\"}", "1"},
      {"perfprobe_battery_voltage_volts{device=\"pixel\"}", "4.028"},
      {"perfprobe_battery_current_amperes{device=\"pixel\"}", "-0.18"},
      {"perfprobe_battery_power_watts{device=\"pixel\"}", "-0.725"},
      {"perfprobe_battery_temperature_celsius{device=\"pixel\"}", "30.2"},
      {"perfprobe_memory_available_bytes{device=\"pixel\"}", "3425287168"},
      {"perfprobe_daemon_cpu_ratio{device=\"pixel\"}", "0.003"},
      {"perfprobe_daemon_resident_memory_bytes{device=\"pixel\"}", "1044480"},
      {"perfprobe_temperature_celsius{device=\"pixel\",zone=\"cpu_0_0\"}", "45.2"},
      {"perfprobe_temperature_celsius{device=\"pixel\",zone=\"skin\\\"x\"}", "-3.5"},
      {"perfprobe_frame_rate_hertz{device=\"pixel\"}", "59.9"},
      {"perfprobe_frames{device=\"pixel\"}", "60"},
      {"perfprobe_frame_window_seconds{device=\"pixel\"}", "1.002"},
      {"perfprobe_frame_time_p50_seconds{device=\"pixel\"}", "0.01667"},
      {"perfprobe_frame_time_p95_seconds{device=\"pixel\"}", "0.03333"},
      {"perfprobe_frame_time_max_seconds{device=\"pixel\"}", "0.0501"},
      {"perfprobe_jank_frames{device=\"pixel\"}", "2"},
      {"perfprobe_big_jank_frames{device=\"pixel\"}", "1"},
      {"perfprobe_missed_vsyncs{device=\"pixel\"}", "3"},
      {"perfprobe_jank_seconds{device=\"pixel\"}", "0.0167"},
      {"perfprobe_refresh_rate_hertz{device=\"pixel\"}", "120"},
      {"perfprobe_collection_info{device=\"pixel\",state=\"collecting\"}", "1"},
  };
  for (const auto& [name, value] : expected) {
    const auto it = series.find(name);
    ASSERT_NE(it, series.end()) << name;
    EXPECT_EQ(it->second, value) << name;
  }
  // NA has no sample: no CPU 1 clock or load, no GPU cap, no app.
  for (const auto& [name, value] : series) {
    EXPECT_EQ(name.find("cpu=\"1\",cluster"), std::string::npos) << name;
    EXPECT_NE(name.rfind("perfprobe_cpu_load_ratio{device=\"pixel\",cpu=\"1\"", 0), 0u) << name;
    EXPECT_NE(name.rfind("perfprobe_gpu_max", 0), 0u) << name;
    EXPECT_NE(name.rfind("perfprobe_app_", 0), 0u) << name;
  }
}

// The frames' source is a label of an info series, as the GPU's is; the
// phone's own jank counts are families of their own, with a sample only
// where the source gives them.
TEST(ExporterPage, ThePhonesJankAndTheFramesSource) {
  const std::string osJank[] = {"perfprobe_os_jank_frames{device=\"pixel\"}",
                                "perfprobe_os_jank_app_frames{device=\"pixel\"}",
                                "perfprobe_os_jank_sf_frames{device=\"pixel\"}"};
  const struct {
    std::string reply;
    std::string source;  // "": no info series
    std::vector<std::string> counts;  // "": no sample
  } cases[] = {
      {fixture::kSteadyTimestats, "timestats", {"2", "1", "1"}},
      {fixture::kSteady, "latency", {"", "", ""}},
      {fixture::frameStatsReply("idle", {}), "", {"", "", ""}},
      // A count of 0 is a sample; a word the client does not know yet is
      // still its label.
      {fixture::frameStatsReply("collecting", {"60.0", "60", "1000", "16.50", "16.50", "16.50",
                                               "0", "0", "0", "60.0", "0.00", "frametimeline",
                                               "0", "0", "0"}),
       "frametimeline",
       {"0", "0", "0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Samples samples;
    renderFrames(deviceLabel("pixel"), *parseFrameStats(c.reply), &samples);
    const std::string page = exposition({&samples});
    const auto series = seriesOf(page);
    for (size_t i = 0; i < std::size(osJank); ++i) {
      const auto found = series.find(osJank[i]);
      EXPECT_EQ(found == series.end() ? "" : found->second, c.counts[i]) << osJank[i];
    }
    size_t infos = 0;
    for (const auto& [name, value] : series) {
      if (name.rfind("perfprobe_frame_source_info{", 0) != 0) continue;
      ++infos;
      EXPECT_EQ(name, "perfprobe_frame_source_info{device=\"pixel\",source=\"" + c.source + "\"}");
      EXPECT_EQ(value, "1");
    }
    EXPECT_EQ(infos, c.source.empty() ? 0u : 1u);
    EXPECT_EQ(page.find("# TYPE perfprobe_os_jank_frames gauge\n") != std::string::npos,
              !c.counts[0].empty());
  }
}

TEST(ExporterPage, EachFamilyOnceWithEveryDeviceTogether) {
  RequestCounts counts;
  for (double s : {0.0005, 0.003, 0.003, 0.2, 7.0}) counts.observe(s);
  counts.requests = 6;
  counts.failures = 1;
  Samples a, b;
  renderRequests(deviceLabel("a"), true, counts, &a);
  renderStats(deviceLabel("a"), *parseDeviceStats(kExporterStats), &a);
  renderRequests(deviceLabel("b\\\n"), false, RequestCounts(), &b);
  const std::string page = exposition({&a, &b});
  // One HELP and TYPE per family, and every sample of a family after its
  // own TYPE line and before the next family's.
  std::istringstream in(page);
  std::string line, family;
  std::map<std::string, int> typed;
  while (std::getline(in, line)) {
    if (line.rfind("# TYPE ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      ++typed[family];
      continue;
    }
    if (line[0] == '#') continue;
    EXPECT_EQ(line.rfind(family, 0), 0u) << line << " under " << family;
  }
  for (const auto& [name, n] : typed) EXPECT_EQ(n, 1) << name;
  const auto series = seriesOf(page);
  EXPECT_EQ(series.at("perfprobe_up{device=\"b\\\\\\n\"}"), "0");
  // Cumulative buckets; +Inf equals the count.
  const std::string h = "perfprobe_request_duration_seconds";
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"0.001\"}"), "1");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"0.005\"}"), "3");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"0.25\"}"), "4");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"2.5\"}"), "4");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"+Inf\"}"), "5");
  EXPECT_EQ(series.at(h + "_count{device=\"a\"}"), "5");
  EXPECT_EQ(series.at(h + "_sum{device=\"a\"}"), "7.2065");
  EXPECT_EQ(series.at("perfprobe_requests_total{device=\"a\"}"), "6");
  EXPECT_EQ(series.at("perfprobe_request_failures_total{device=\"a\"}"), "1");
  // A device that is down has its request figures only.
  for (const auto& [name, value] : series) {
    if (name.find("device=\"b") == std::string::npos) continue;
    EXPECT_TRUE(name.rfind("perfprobe_up", 0) == 0 || name.rfind("perfprobe_request", 0) == 0)
        << name;
  }
}

// The exporter's own families first, then the device's as the catalog
// lists them: a device's figures, then its frames.
TEST(ExporterPage, FamiliesComeInTheirOrder) {
  Samples samples;
  renderRequests(deviceLabel("pixel"), true, RequestCounts(), &samples);
  renderStats(deviceLabel("pixel"), *parseDeviceStats(fixture::deviceReply()), &samples);
  renderFrames(deviceLabel("pixel"), *parseFrameStats(fixture::kSteady), &samples);
  EXPECT_EQ(typedFamilies(exposition({&samples})),
            (std::vector<std::string>{
                "perfprobe_up gauge",
                "perfprobe_request_duration_seconds histogram",
                "perfprobe_requests_total counter",
                "perfprobe_request_failures_total counter",
                "perfprobe_cpu_frequency_hertz gauge",
                "perfprobe_cpu_max_frequency_hertz gauge",
                "perfprobe_device_cpu_load_ratio gauge",
                "perfprobe_gpu_info gauge",
                "perfprobe_gpu_busy_ratio gauge",
                "perfprobe_cpu_load_ratio gauge",
                "perfprobe_gpu_frequency_hertz gauge",
                "perfprobe_gpu_max_frequency_hertz gauge",
                "perfprobe_temperature_celsius gauge",
                "perfprobe_battery_power_watts gauge",
                "perfprobe_battery_level_ratio gauge",
                "perfprobe_battery_info gauge",
                "perfprobe_battery_voltage_volts gauge",
                "perfprobe_battery_current_amperes gauge",
                "perfprobe_battery_temperature_celsius gauge",
                "perfprobe_memory_available_bytes gauge",
                "perfprobe_app_processes gauge",
                "perfprobe_app_threads gauge",
                "perfprobe_app_cpu_ratio gauge",
                "perfprobe_daemon_cpu_ratio gauge",
                "perfprobe_app_resident_memory_bytes gauge",
                "perfprobe_daemon_resident_memory_bytes gauge",
                "perfprobe_device_uptime_seconds gauge",
                "perfprobe_frame_rate_hertz gauge",
                "perfprobe_frames gauge",
                "perfprobe_frame_window_seconds gauge",
                "perfprobe_frame_time_p50_seconds gauge",
                "perfprobe_frame_time_p95_seconds gauge",
                "perfprobe_frame_time_max_seconds gauge",
                "perfprobe_jank_frames gauge",
                "perfprobe_big_jank_frames gauge",
                "perfprobe_missed_vsyncs gauge",
                "perfprobe_refresh_rate_hertz gauge",
                "perfprobe_jank_seconds gauge",
                "perfprobe_frame_source_info gauge",
                "perfprobe_collection_info gauge",
            }));
  // A family's lines keep the reply's items in order: the CPUs by number,
  // each with its cluster, and the zones as the reply lists them.
  const std::string page = exposition({&samples});
  const size_t clocks = page.find("\nperfprobe_cpu_frequency_hertz{");
  EXPECT_EQ(page.substr(clocks + 1, page.find("# HELP", clocks) - clocks - 1),
            "perfprobe_cpu_frequency_hertz{device=\"pixel\",cpu=\"0\",cluster=\"0\"} 1000000000\n"
            "perfprobe_cpu_frequency_hertz{device=\"pixel\",cpu=\"1\",cluster=\"0\"} 1000000000\n"
            "perfprobe_cpu_frequency_hertz{device=\"pixel\",cpu=\"2\",cluster=\"2\"} 2000000000\n");
  const size_t zones = page.find("\nperfprobe_temperature_celsius{");
  EXPECT_EQ(page.substr(zones + 1, page.find("# HELP", zones) - zones - 1),
            "perfprobe_temperature_celsius{device=\"pixel\",zone=\"cpu_0_0\"} 50\n"
            "perfprobe_temperature_celsius{device=\"pixel\",zone=\"skin_therm\"} 35\n"
            "perfprobe_temperature_celsius{device=\"pixel\",zone=\"battery\"} 30.5\n");
}

}  // namespace
}  // namespace perfprobe
