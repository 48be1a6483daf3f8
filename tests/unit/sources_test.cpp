// Where a monitor's series come from: the replies each source asks for,
// and the columns and values it makes of them.
#include "sources.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "catalog.h"
#include "client_fixture.h"
#include "plot.h"
#include "protocol.h"
#include "report.h"
#include "series.h"

namespace {

using namespace perfprobe;
using fixture::deviceTable;
using fixture::frameStatsReply;
using fixture::kFrameStatsRequest;
using fixture::kStatsRequest;
using fixture::kSteady;
using fixture::Replies;

TEST(ClientSources, TheCpuColumnsAreThoseOfTheFirstReport) {
  Replies daemon;
  // Three CPUs at first; then four (in the daemon's order, so the value of
  // cpu3 comes last), then one, then nothing and a reply that is not a rate.
  daemon.next[kGetSimple] = {"cpuFreq:300000,NA,500000", "cpuFreq:1,2,3,4", "cpuFreq:7"};
  daemon.next[kGetFps] = {"59", "success", "58"};
  Sources sources(monitorSources());
  auto kinds = sources.start(daemon.ask());
  ASSERT_TRUE(kinds.has_value());
  Table t;
  t.kinds = std::move(*kinds);
  EXPECT_EQ(csvHeader(t), "time_s,fps,cpu0_khz,cpu1_khz,cpu2_khz\n");

  ::testing::internal::CaptureStderr();
  std::vector<bool> answered;
  for (int i = 1; i <= 4; ++i) {
    bool any = true;
    t.append(i, sources.sample(daemon.ask(), &any));
    answered.push_back(any);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(answered, (std::vector<bool>{true, true, true, false}));
  std::string rows;
  for (size_t k = 0; k < t.size(); ++k) rows += csvRow(t, k);
  EXPECT_EQ(rows,
            "1.000,59,1,2,3\n"
            "2.000,NA,7,NA,NA\n"
            "3.000,58,NA,NA,NA\n"
            "4.000,NA,NA,NA,NA\n");
  // One warning, at the first change.
  EXPECT_EQ(err,
            "perfprobe: the daemon now lists 4 CPUs instead of 3; the columns stay those of the "
            "first report\n");
  EXPECT_EQ(daemon.asked,
            (std::vector<std::string>{kGetSimple, kGetFps, kGetSimple, kGetFps, kGetSimple, kGetFps,
                                      kGetSimple, kGetFps, kGetSimple}));

  // Without a first report there are no columns, and the monitor has not
  // started.
  Replies silent;
  Sources again(monitorSources());
  EXPECT_EQ(again.start(silent.ask()), std::nullopt);
}

// A metric that exists only here: a constant busy percentage with one
// decimal. Its kind and its values are all it declares; no writer knows it.
class BusySource : public Source {
 public:
  std::optional<std::vector<Kind>> start(const Ask&) override {
    Kind kind;
    kind.unit = "%";
    kind.decimals = 1;
    kind.shownUnit = "%";
    kind.figures = {{Figure::kMean, "mean", "mean"}, {Figure::kMax, "max", "max"}};
    kind.panel.ylabel = "busy (%)";
    kind.panel.style = "with lines";
    kind.series = {{"busy_pct", "Busy", {}}};
    // Its unit is told at the end of the live line's head.
    kind.series[0].head = "busy";
    return std::vector<Kind>{kind};
  }
  std::optional<std::vector<Value>> sample(const Ask&) override {
    return std::vector<Value>{42.5};
  }
};

TEST(ClientSources, ANewSourceReachesEveryOutput) {
  Replies daemon;
  daemon.next[kGetSimple] = {"cpuFreq:300000", "cpuFreq:300000", "cpuFreq:400000"};
  daemon.next[kGetFps] = {"59", "28"};
  std::vector<std::unique_ptr<Source>> list = monitorSources();
  list.push_back(std::make_unique<BusySource>());
  Sources sources(std::move(list));
  auto kinds = sources.start(daemon.ask());
  ASSERT_TRUE(kinds.has_value());
  Table t;
  t.kinds = std::move(*kinds);
  bool answered = false;
  t.append(1, sources.sample(daemon.ask(), &answered));
  t.append(2, sources.sample(daemon.ask(), &answered));

  EXPECT_EQ(liveHeader(t), "  time_s   fps   cpu0   busy  (MHz)  (%)\n");
  EXPECT_EQ(liveLine(t, 0), "     1.0    59    300   42.5\n");
  EXPECT_EQ(csvHeader(t), "time_s,fps,cpu0_khz,busy_pct\n");
  EXPECT_EQ(csvRow(t, 1), "2.000,28,400000,42.5\n");
  EXPECT_EQ(jsonSample(t, 1),
            "{\"time_s\":2.0,\"fps\":28,\"cpu_khz\":[400000],\"busy_pct\":42.5}\n");
  EXPECT_EQ(summaryText(t, 1.0),
            "Summary: 2 samples, 2 with a frame rate\n"
            "  FPS   min 28   median 43.5   mean 43.5   5th percentile 28   below 30 FPS 1.0 s\n"
            "  CPU     mean MHz   max MHz\n"
            "  cpu0       350.0     400.0\n"
            "  Busy   mean 42.5   max 42.5\n");
  const auto summary = nlohmann::json::parse(jsonSummary(t, 1.0))["summary"];
  EXPECT_EQ(summary["busy_pct"], nlohmann::json::parse(R"({"mean":42.5,"max":42.5})"));
  EXPECT_EQ(summary["cpus"][0]["max_mhz"], 400.0);
  const std::string script = plotScript("/tmp/d", "/x/p.png", "t", t);
  EXPECT_NE(script.find("size 1280,1350 "), std::string::npos) << script;
  EXPECT_NE(script.find("set multiplot layout 3,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'busy (%)'\nplot '/tmp/d' using 1:4 with lines title 'Busy'\n"),
            std::string::npos)
      << script;
}

TEST(ClientSources, TheFramesAreFrameStatsOnlyWhenTheDaemonGivesThem) {
  const struct {
    std::deque<std::string> probe;  // the replies to the start's one short try
    bool stats;
  } cases[] = {
      {{kSteady}, true},
      // Before its first tick, or idle, a daemon still gives frame statistics.
      {{frameStatsReply("collecting", {})}, true},
      {{frameStatsReply("idle", {})}, true},
      // An older daemon: no reply at all; or a reply that is something else.
      {{}, false},
      {{"59"}, false},
  };
  for (const auto& c : cases) {
    Replies probe;
    probe.next[kFrameStatsRequest] = c.probe;
    Replies daemon;
    daemon.next[kGetSimple] = {"cpuFreq:300000", "cpuFreq:300000", "cpuFreq:400000"};
    daemon.next[kFrameStatsRequest] = {kSteady, "success"};
    daemon.next[kGetFps] = {"59", "28"};
    Sources sources(monitorSources(probe.ask()));
    auto kinds = sources.start(daemon.ask());
    ASSERT_TRUE(kinds.has_value());
    Table t;
    t.kinds = std::move(*kinds);
    std::vector<bool> answered;
    for (int i = 1; i <= 2; ++i) {
      bool any = false;
      ::testing::internal::CaptureStderr();
      t.append(i, sources.sample(daemon.ask(), &any));
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
      answered.push_back(any);
    }
    std::string csv = csvHeader(t);
    for (size_t k = 0; k < t.size(); ++k) csv += csvRow(t, k);
    const std::string where = c.probe.empty() ? "no reply" : c.probe.front();
    // GET_STATS has no reply either: the CPUs are GET_SIMPLE's as before.
    EXPECT_EQ(probe.asked, (std::vector<std::string>{kFrameStatsRequest, kStatsRequest})) << where;
    EXPECT_EQ(answered, (std::vector<bool>{true, true})) << where;
    if (c.stats) {
      EXPECT_EQ(csv,
                "time_s,fps,frames,window_ms,frame_ms_p50,frame_ms_p95,frame_ms_max,jank,"
                "big_jank,missed_vsyncs,refresh_hz,jank_ms,source,os_jank,os_jank_app,"
                "os_jank_sf,cpu0_khz\n"
                "1.000,60.0,60,1000,16.67,16.68,16.70,0,0,0,60.0,0.00,latency,NA,NA,NA,300000\n"
                "2.000,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,400000\n")
          << where;
      EXPECT_EQ(daemon.asked, (std::vector<std::string>{kGetSimple, kFrameStatsRequest,
                                                        kGetSimple, kFrameStatsRequest,
                                                        kGetSimple}))
          << where;
    } else {
      // What a monitor wrote before frame statistics, byte for byte.
      EXPECT_EQ(csv, "time_s,fps,cpu0_khz\n1.000,59,300000\n2.000,28,400000\n") << where;
      EXPECT_EQ(daemon.asked,
                (std::vector<std::string>{kGetSimple, kGetFps, kGetSimple, kGetFps, kGetSimple}))
          << where;
    }
  }
}

TEST(ClientSources, GetStatsFillsEveryColumnByTheFirstRepliesNames) {
  Replies probe;
  Replies daemon;
  const Table t = deviceTable(&probe, &daemon);
  EXPECT_EQ(probe.asked, (std::vector<std::string>{kFrameStatsRequest, kStatsRequest}));
  // GET_STATS gives the CPUs' clocks too: no GET_SIMPLE.
  EXPECT_EQ(daemon.asked, (std::vector<std::string>{kGetFps, kStatsRequest, kGetFps, kStatsRequest,
                                                    kGetFps, kStatsRequest}));
  std::string csv = csvHeader(t);
  for (size_t k = 0; k < t.size(); ++k) csv += csvRow(t, k);
  // The CPUs' own clocks as before; a line left out is missing, never 0; a
  // cluster's clock is its first CPU that has one, its load the mean of
  // those that have one; the new zone is not the hottest, nor a column.
  EXPECT_EQ(csv,
            "time_s,fps,cpu0_khz,cpu1_khz,cpu2_khz,cluster0-1_khz,cluster2_khz,"
            "cluster0-1_max_khz,cluster2_max_khz,cpu_load_pct,cluster0-1_load_pct,"
            "cluster2_load_pct,gpu_busy_pct,cpu0_load_pct,cpu1_load_pct,cpu2_load_pct,gpu_khz,"
            "gpu_max_khz,temp_cpu_0_0_c,temp_skin_therm_c,temp_battery_c,temp_hottest_c,"
            "battery_mw,battery_pct,battery_mv,battery_ma,battery_temp_c,mem_available_kb,"
            "app_pids,app_threads,app_cpu_pct,probe_cpu_pct,app_rss_kb,probe_rss_kb,uptime_ms\n"
            "1.000,59,1000000,1000000,2000000,1000000,2000000,1800000,2800000,50.0,50.0,50.0,"
            "20.0,40.0,60.0,50.0,500000,600000,50.0,35.0,30.5,50.0,-1950,80,3900,-500,30.0,"
            "2000000,1,80,120.0,0.5,400000,1200,1000\n"
            "2.000,58,NA,1100000,NA,1100000,NA,1800000,2800000,70.0,80.0,50.0,40.0,80.0,NA,50.0,"
            "500000,600000,60.0,NA,30.5,60.0,-2050,78,3900,-500,30.0,2000000,1,80,120.0,0.5,"
            "500000,1200,2000\n"
            "3.000,57,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,"
            "NA,NA,NA,NA,NA,NA,NA,NA\n");
  // Each series knows the row that made it and what it stands for: a CPU,
  // a cluster, a zone, or nothing for a value.
  std::string made;
  for (const Kind& kind : t.kinds) {
    ASSERT_NE(kind.metric, nullptr);
    for (const Series& s : kind.series) {
      if (s.name.rfind("cluster", 0) == 0 || s.name.rfind("temp_", 0) == 0 || s.name == "fps" ||
          s.name == "cpu2_khz") {
        made += s.name + " " + kind.metric->key() + " '" + s.item + "' " + s.title + "\n";
      }
    }
  }
  EXPECT_EQ(made,
            "fps GET_FPS '' FPS\n"
            "cpu2_khz cpu*_khz '2' cpu2\n"
            "cluster0-1_khz cluster*_khz '0-1' cpu0-1\n"
            "cluster2_khz cluster*_khz '2' cpu2\n"
            "cluster0-1_max_khz cluster*_max_khz '0-1' cpu0-1 max\n"
            "cluster2_max_khz cluster*_max_khz '2' cpu2 max\n"
            "cluster0-1_load_pct cluster*_load_pct '0-1' cpu0-1 load\n"
            "cluster2_load_pct cluster*_load_pct '2' cpu2 load\n"
            "temp_cpu_0_0_c temp_*_c 'cpu_0_0' cpu_0_0\n"
            "temp_skin_therm_c temp_*_c 'skin_therm' skin_therm\n"
            "temp_battery_c temp_*_c 'battery' battery\n"
            "temp_hottest_c temp_hottest_c '' hottest\n");
}

}  // namespace
