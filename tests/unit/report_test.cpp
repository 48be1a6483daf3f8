// What a monitor shows and leaves behind: the live line, the CSV, the JSON
// lines, the summary and the columns chosen for the live line.
#include "report.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "series.h"
#include "sources.h"

namespace {

using namespace perfprobe;
using fixture::deviceTable;
using fixture::frameTable;
using fixture::kNoFrames;
using fixture::rateTable;
using fixture::Replies;

TEST(ClientReport, WritesMissingValuesAsNaNeverAsZero) {
  const Table s = rateTable({{1.0004, 59, {1785600, std::nullopt, 0}}}, 3);
  EXPECT_EQ(csvHeader(s), "time_s,fps,cpu0_khz,cpu1_khz,cpu2_khz\n");
  EXPECT_EQ(csvRow(s, 0), "1.000,59,1785600,NA,0\n");
  // A report with fewer CPUs than the columns: the rest is missing.
  EXPECT_EQ(csvRow(rateTable({{2.5, std::nullopt, {}}}, 2), 0), "2.500,NA,NA,NA\n");
  EXPECT_EQ(csvHeader(rateTable({}, 0)), "time_s,fps\n");

  EXPECT_EQ(liveLine(s, 0), "     1.0    59   1786     NA      0\n");
  EXPECT_EQ(liveHeader(s), "  time_s   fps   cpu0   cpu1   cpu2  (MHz)\n");
  EXPECT_EQ(liveHeader(rateTable({}, 0)), "  time_s   fps\n");

  const auto json = nlohmann::json::parse(jsonSample(s, 0));
  EXPECT_EQ(json, nlohmann::json::parse(
                      R"({"time_s":1.0,"fps":59,"cpu_khz":[1785600,null,0]})"));
  EXPECT_EQ(jsonSample(rateTable({{0.25, std::nullopt, {}}}, 1), 0),
            "{\"time_s\":0.25,\"fps\":null,\"cpu_khz\":[null]}\n");
}

TEST(ClientReport, WritesEachValueWithItsKindsDigits) {
  Kind oneDecimal;
  oneDecimal.decimals = 1;
  const struct {
    Kind kind;
    Value value;
    std::string live, csv, json;
  } cases[] = {
      {fpsKind(), 59, "59", "59", "59"},
      {fpsKind(), -1, "-1", "-1", "-1"},
      {fpsKind(), INT32_MIN, "-2147483648", "-2147483648", "-2147483648"},
      {fpsKind(), std::nullopt, "NA", "NA", "null"},
      // kHz in the files, MHz on the live line, each rounded as printf does.
      {cpuKind(1), 1785600, "1786", "1785600", "1785600"},
      {cpuKind(1), 2500, "2", "2500", "2500"},
      // Past the largest signed 64-bit integer, still an integer.
      {cpuKind(1), 1e19, "10000000000000000", "10000000000000000000", "10000000000000000000"},
      // The JSON lines carry the CSV's digits, no binary noise past them.
      {oneDecimal, 42.25, "42.2", "42.2", "42.2"},
      {oneDecimal, 59.96, "60.0", "60.0", "60.0"},
      {oneDecimal, 0.1 + 0.2, "0.3", "0.3", "0.3"},
      {oneDecimal, std::nullopt, "NA", "NA", "null"},
  };
  for (const auto& c : cases) {
    Table t;
    t.kinds = {c.kind};
    t.kinds[0].series = {{"v", "v", {}}};
    t.append(1, {c.value});
    const size_t width = static_cast<size_t>(c.kind.liveWidth);
    const std::string fill(c.live.size() < width ? width - c.live.size() : 0, ' ');
    EXPECT_EQ(liveLine(t, 0), "     1.0" + fill + c.live + "\n") << c.csv;
    EXPECT_EQ(csvRow(t, 0), "1.000," + c.csv + "\n") << c.csv;
    // A grouped kind's value is an item of its array.
    const std::string json = c.kind.group ? "\"cpu_khz\":[" + c.json + "]" : "\"v\":" + c.json;
    EXPECT_EQ(jsonSample(t, 0), "{\"time_s\":1.0," + json + "}\n") << c.csv;
  }
}

TEST(ClientReport, SummaryTextAndJsonCarryTheSameFigures) {
  const Table s = rateTable({{1, 59, {1785600, std::nullopt}}, {2, 28, {300000, std::nullopt}}}, 2);
  EXPECT_EQ(summaryText(s, 1.0),
            "Summary: 2 samples, 2 with a frame rate\n"
            "  FPS   min 28   median 43.5   mean 43.5   5th percentile 28   below 30 FPS 1.0 s\n"
            "  CPU     mean MHz   max MHz\n"
            "  cpu0      1042.8    1785.6\n"
            "  cpu1          NA        NA\n");
  const auto json = nlohmann::json::parse(jsonSummary(s, 1.0));
  EXPECT_EQ(json["summary"]["samples"], 2);
  EXPECT_EQ(json["summary"]["fps"]["min"], 28);
  EXPECT_EQ(json["summary"]["fps"]["median"], 43.5);
  EXPECT_EQ(json["summary"]["fps"]["p5"], 28);
  EXPECT_EQ(json["summary"]["fps"]["seconds_below_30"], 1.0);
  EXPECT_DOUBLE_EQ(json["summary"]["cpus"][0]["mean_mhz"].get<double>(), 1042.8);
  EXPECT_TRUE(json["summary"]["cpus"][1]["max_mhz"].is_null());

  // Neither a rate nor a CPU: the counts alone, and the arrays stay.
  const Table none = rateTable({{1, std::nullopt, {}}}, 0);
  EXPECT_EQ(summaryText(none, 1.0), "Summary: 1 samples, 0 with a frame rate\n");
  EXPECT_EQ(jsonSummary(none, 1.0),
            "{\"summary\":{\"samples\":1,\"fps\":{\"samples\":0,\"min\":null,\"median\":null,"
            "\"mean\":null,\"p5\":null,\"seconds_below_30\":0.0},\"cpus\":[]}}\n");
}

// The device's figures of GET_STATS on the live line, in the JSON lines and
// in the summary: the clusters instead of each CPU, the load, the GPU, the
// hottest zone and the power.
TEST(ClientReport, DeviceFiguresReachEveryOutput) {
  Replies probe;
  Replies daemon;
  const Table t = deviceTable(&probe, &daemon);
  // Each headed by its column.
  EXPECT_EQ(liveHeader(t),
            "  time_s   fps cluster0-1 cluster2 cpu_load_pct gpu_busy_pct temp_hottest_c "
            "battery_mw  (MHz)\n");
  EXPECT_EQ(liveLine(t, 1),
            "     2.0    58       1100       NA         70.0         40.0           60.0      "
            "-2050\n");
  const auto line = nlohmann::json::parse(jsonSample(t, 1));
  EXPECT_EQ(line["cpu_khz"].dump(), "[null,1100000,null]");
  EXPECT_EQ(line["core_load_pct"].dump(), "[80.0,null,50.0]");
  EXPECT_EQ(line["cluster0-1_khz"], 1100000);
  EXPECT_TRUE(line["temp_skin_therm_c"].is_null());
  EXPECT_EQ(line["battery_mw"], -2050);
  EXPECT_EQ(line.size(), 31u) << line;  // time_s, the two arrays and 28 columns

  EXPECT_EQ(summaryText(t, 1.0),
            "Summary: 3 samples, 3 with a frame rate\n"
            "  FPS   min 57   median 58   mean 58.0   5th percentile 57   below 30 FPS 0.0 s\n"
            "  CPU     mean MHz   max MHz\n"
            "  cpu0      1000.0    1000.0\n"
            "  cpu1      1050.0    1100.0\n"
            "  cpu2      2000.0    2000.0\n"
            "  CPU load   mean 60.0%   max 70.0%\n"
            "  cpu0-1 load   mean 65.0%   max 80.0%\n"
            "  cpu2 load   mean 50.0%   max 50.0%\n"
            "  GPU busy   mean 30.0%   max 40.0%\n"
            "  hottest   max 60.0 °C (cpu_0_0)\n"
            "  power   mean -2000.0 mW\n"
            "  battery   drop 2%\n"
            "  app CPU   mean 120.0%\n"
            "  perfprobed CPU   mean 0.5%\n"
            "  app RSS   max 500000 kB\n"
            "  perfprobed RSS   max 1200 kB\n");
  const auto summary = nlohmann::json::parse(jsonSummary(t, 1.0))["summary"];
  EXPECT_EQ(summary["temp_hottest_c"].dump(), R"({"max_c":60.0,"zone":"cpu_0_0"})");
  EXPECT_EQ(summary["battery_pct"].dump(), R"({"drop_pct":2})");
  EXPECT_EQ(summary["battery_mw"].dump(), R"({"mean_mw":-2000.0})");
  EXPECT_EQ(summary["app_rss_kb"].dump(), R"({"max_kb":500000})");
  EXPECT_EQ(summary["cpus"].size(), 3u);
  EXPECT_FALSE(summary.contains("temp_cpu_0_0_c")) << summary;
}

TEST(ClientReport, ColumnsChooseTheLiveFields) {
  Replies probe;
  Replies daemon;
  const Table device = deviceTable(&probe, &daemon);
  const struct {
    std::string columns;
    std::string header;  // empty: refused, and the fields stay
    std::string why;
  } cases[] = {
      {"temp_skin_therm_c,fps,cpu2_khz", "  time_s   fps   cpu2 temp_skin_therm_c  (MHz)\n", ""},
      {"time_s", "  time_s\n", ""},
      {"fps,bogus", "", "no column is named \"bogus\"; the columns are time_s,fps,cpu0_khz,"},
      // The head of a cluster's clock on the live line is not its column.
      {"cluster0-1", "", "no column is named \"cluster0-1\""},
      {"fps,,cpu_load_pct", "", "--columns holds an empty name"},
      {"", "", "--columns holds an empty name"},
  };
  for (const auto& c : cases) {
    Table t = device;
    std::string why;
    EXPECT_EQ(chooseLive(t, c.columns, &why), c.why.empty()) << c.columns;
    EXPECT_EQ(liveHeader(t), c.header.empty() ? liveHeader(device) : c.header) << c.columns;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.columns << ": " << why;
  }
}

TEST(ClientReport, JankAndStutterAreRatesOfTheWindowsSampled) {
  const Table t = frameTable(
      {
          {60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0},
          {55.0, 55, 1000, 16.67, 33.33, 150.0, 2, 1, 3, 60.0, 240.0},
          kNoFrames,
          {30.5, 61, 2000, 16.67, 50.0, 90.0, 1, 0, 5, 60.0, 90.0},
          // Counts without a window: in neither sum.
          {std::nullopt, 0, std::nullopt, {}, {}, {}, 7, 7, 7, {}, 900.0},
      },
      0);
  const auto summary = nlohmann::json::parse(jsonSummary(t, 1.0))["summary"];
  // 3 jank frames, 1 big, 8 missed vsyncs and 330 ms of jank in 4000 ms.
  EXPECT_DOUBLE_EQ(summary["jank"]["per_10_min"].get<double>(), 450.0);
  EXPECT_DOUBLE_EQ(summary["big_jank"]["per_10_min"].get<double>(), 150.0);
  EXPECT_DOUBLE_EQ(summary["missed_vsyncs"]["per_10_min"].get<double>(), 1200.0);
  EXPECT_DOUBLE_EQ(summary["jank_ms"]["stutter_pct"].get<double>(), 8.25);
  EXPECT_EQ(summary["fps"]["samples"], 3);
  EXPECT_EQ(summary["fps"]["median"], 55.0);
  EXPECT_EQ(summary["fps"]["p5"], 30.5);
  // Only kinds with figures are in the summary.
  EXPECT_FALSE(summary.contains("frames")) << summary;
  EXPECT_FALSE(summary.contains("frame_ms_p95")) << summary;
  EXPECT_EQ(summaryText(t, 1.0),
            "Summary: 5 samples, 3 with a frame rate\n"
            "  FPS   min 30.5   median 55.0   mean 48.5   5th percentile 30.5   below 30 FPS 0.0 s\n"
            "  jank   per 10 min 450.00\n"
            "  big jank   per 10 min 150.00\n"
            "  missed vsyncs   per 10 min 1200.00\n"
            "  jank time   stutter 8.25%\n");

  // Missing, never 0: without a single value; with counts but no window; and
  // with windows that sum to no time.
  const struct {
    std::vector<std::vector<Value>> rows;
    std::string text;
  } missing[] = {
      {{kNoFrames}, "Summary: 1 samples, 0 with a frame rate\n"},
      {{{60.0, 60, std::nullopt, {}, {}, {}, 1, 0, 0, {}, 100.0}},
       "Summary: 1 samples, 1 with a frame rate\n"
       "  FPS   min 60.0   median 60.0   mean 60.0   5th percentile 60.0   below 30 FPS 0.0 s\n"
       "  jank   per 10 min NA\n"
       "  big jank   per 10 min NA\n"
       "  missed vsyncs   per 10 min NA\n"
       "  jank time   stutter NA\n"},
      {{{0.0, 0, 0, {}, {}, {}, 0, 0, 0, {}, 0.0}},
       "Summary: 1 samples, 1 with a frame rate\n"
       "  FPS   min 0.0   median 0.0   mean 0.0   5th percentile 0.0   below 30 FPS 1.0 s\n"
       "  jank   per 10 min NA\n"
       "  big jank   per 10 min NA\n"
       "  missed vsyncs   per 10 min NA\n"
       "  jank time   stutter NA\n"},
  };
  for (const auto& c : missing) {
    const Table m = frameTable(c.rows, 0);
    EXPECT_EQ(summaryText(m, 1.0), c.text);
    const auto s = nlohmann::json::parse(jsonSummary(m, 1.0))["summary"];
    for (const char* key : {"jank", "big_jank", "missed_vsyncs"}) {
      EXPECT_TRUE(s[key]["per_10_min"].is_null()) << key << " " << c.text;
    }
    EXPECT_TRUE(s["jank_ms"]["stutter_pct"].is_null()) << c.text;
  }
}

TEST(ClientReport, FrameStatsReachEveryOutput) {
  const Table t = frameTable(
      {
          {60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0, 1785600, std::nullopt},
          {55.0, 55, 1000, 16.67, 33.33, 150.0, 2, 1, 3, 60.0, 240.0, 300000, std::nullopt},
          kNoFrames,
      },
      2);
  // fps with one decimal, the 95th percentile frame time and the jank; the
  // rest is in the files.
  EXPECT_EQ(liveHeader(t), "  time_s   fps frame_ms_p95   jank   cpu0   cpu1  (MHz)\n");
  EXPECT_EQ(liveLine(t, 0), "     1.0  60.0        16.68      0   1786     NA\n");
  EXPECT_EQ(liveLine(t, 1), "     2.0  55.0        33.33      2    300     NA\n");
  EXPECT_EQ(liveLine(t, 2), "     3.0    NA           NA     NA     NA     NA\n");
  EXPECT_EQ(csvHeader(t),
            "time_s,fps,frames,window_ms,frame_ms_p50,frame_ms_p95,frame_ms_max,jank,big_jank,"
            "missed_vsyncs,refresh_hz,jank_ms,source,os_jank,os_jank_app,os_jank_sf,cpu0_khz,"
            "cpu1_khz\n");
  EXPECT_EQ(csvRow(t, 1),
            "2.000,55.0,55,1000,16.67,33.33,150.00,2,1,3,60.0,240.00,NA,NA,NA,NA,300000,NA\n");
  EXPECT_EQ(csvRow(t, 2), "3.000,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA\n");
  EXPECT_EQ(jsonSample(t, 1),
            "{\"time_s\":2.0,\"fps\":55.0,\"frames\":55,\"window_ms\":1000,\"frame_ms_p50\":16.67,"
            "\"frame_ms_p95\":33.33,\"frame_ms_max\":150.0,\"jank\":2,\"big_jank\":1,"
            "\"missed_vsyncs\":3,\"refresh_hz\":60.0,\"jank_ms\":240.0,\"source\":null,"
            "\"os_jank\":null,\"os_jank_app\":null,\"os_jank_sf\":null,"
            "\"cpu_khz\":[300000,null]}\n");
  EXPECT_EQ(summaryText(t, 1.0),
            "Summary: 3 samples, 2 with a frame rate\n"
            "  FPS   min 55.0   median 57.5   mean 57.5   5th percentile 55.0   below 30 FPS 0.0 s\n"
            "  jank   per 10 min 600.00\n"
            "  big jank   per 10 min 300.00\n"
            "  missed vsyncs   per 10 min 900.00\n"
            "  jank time   stutter 12.00%\n"
            "  CPU     mean MHz   max MHz\n"
            "  cpu0      1042.8    1785.6\n"
            "  cpu1          NA        NA\n");
  EXPECT_EQ(jsonSummary(t, 1.0),
            "{\"summary\":{\"samples\":3,\"fps\":{\"samples\":2,\"min\":55.0,\"median\":57.5,"
            "\"mean\":57.5,\"p5\":55.0,\"seconds_below_30\":0.0},"
            "\"jank\":{\"per_10_min\":600.0},\"big_jank\":{\"per_10_min\":300.0},"
            "\"missed_vsyncs\":{\"per_10_min\":900.0},\"jank_ms\":{\"stutter_pct\":12.0},"
            "\"source\":{\"latency\":0,\"timestats\":0,\"notes\":[]},"
            "\"os_jank\":{\"per_10_min\":null},\"os_jank_app\":{\"per_10_min\":null},"
            "\"os_jank_sf\":{\"per_10_min\":null},"
            "\"cpus\":[{\"mean_mhz\":1042.8,\"max_mhz\":1785.6},"
            "{\"mean_mhz\":null,\"max_mhz\":null}]}}\n");
}

// The monitor's table of these GET_FRAMESTATS replies, one a sample, and
// GET_SIMPLE's one CPU.
Table framesOf(const std::deque<std::string>& replies) {
  Replies probe;
  Replies daemon;
  probe.next[fixture::kFrameStatsRequest] = {replies.front()};
  daemon.next[fixture::kFrameStatsRequest] = replies;
  daemon.next[kGetSimple] = std::deque<std::string>(replies.size() + 1, "cpuFreq:300000");
  Sources sources(monitorSources(probe.ask()));
  Table t;
  t.kinds = sources.start(daemon.ask()).value_or(std::vector<Kind>());
  for (size_t k = 0; k < replies.size(); ++k) {
    bool answered = false;
    t.append(static_cast<double>(k + 1), sources.sample(daemon.ask(), &answered));
  }
  return t;
}

// Frame times from the compositor's time statistics are buckets of whole
// milliseconds: a summary says so when any sample had them, and which
// source each sample had when they mixed; one of latency alone stays as it
// was.
TEST(ClientReport, SaysWhenFrameTimesAreWholeMilliseconds) {
  using fixture::kSteady;
  using fixture::kSteadyTimestats;
  const std::string idle = fixture::frameStatsReply("idle", {});
  const std::string note =
      "  frame times from the compositor's time statistics: whole milliseconds\n";
  const struct {
    std::deque<std::string> replies;
    std::string lines;  // of the text summary, "" for none
    std::string json;
  } cases[] = {
      {{kSteady, kSteady, idle}, "", R"({"latency":2,"timestats":0,"notes":[]})"},
      {{kSteadyTimestats, kSteadyTimestats}, "  frame source   timestats 2 samples\n" + note,
       R"({"latency":0,"timestats":2,"notes":["frame times from the compositor's time )"
       R"(statistics: whole milliseconds"]})"},
      {{kSteady, idle, kSteadyTimestats, kSteady},
       "  frame source   latency 2 samples, timestats 1 sample\n" + note,
       R"({"latency":2,"timestats":1,"notes":["frame times from the compositor's time )"
       R"(statistics: whole milliseconds"]})"},
  };
  for (const auto& c : cases) {
    const Table t = framesOf(c.replies);
    SCOPED_TRACE(csvHeader(t) + csvRow(t, 0));
    const std::string text = summaryText(t, 1.0);
    EXPECT_EQ(text.find("whole milliseconds") != std::string::npos, !c.lines.empty()) << text;
    if (!c.lines.empty()) {
      EXPECT_NE(text.find(c.lines), std::string::npos) << text;
    }
    const auto summary = nlohmann::ordered_json::parse(jsonSummary(t, 1.0))["summary"];
    EXPECT_EQ(summary["source"].dump(), c.json);
  }

  // Each sample shows its word in every file; the phone's counts are rates
  // of the windows sampled, as the jank is.
  const Table t = framesOf({kSteady, kSteadyTimestats, idle});
  Table chosen = t;
  std::string why;
  ASSERT_TRUE(chooseLive(chosen, "fps,source,os_jank", &why)) << why;
  EXPECT_EQ(liveHeader(chosen), "  time_s   fps    source os_jank\n");
  EXPECT_EQ(liveLine(chosen, 0), "     1.0  60.0   latency      NA\n");
  EXPECT_EQ(liveLine(chosen, 1), "     2.0  60.0 timestats       2\n");
  EXPECT_EQ(liveLine(chosen, 2), "     3.0    NA        NA      NA\n");
  EXPECT_EQ(csvRow(t, 1),
            "2.000,60.0,60,1000,16.50,16.50,17.50,1,0,0,60.0,1.00,timestats,2,1,1,300000\n");
  const auto sample = nlohmann::json::parse(jsonSample(t, 0));
  EXPECT_EQ(sample["source"], "latency");
  EXPECT_TRUE(sample["os_jank"].is_null());
  EXPECT_EQ(nlohmann::json::parse(jsonSample(t, 2))["source"], nullptr);
  // The default live line is as it was.
  EXPECT_EQ(liveHeader(t), "  time_s   fps frame_ms_p95   jank   cpu0  (MHz)\n");
  const std::string text = summaryText(t, 1.0);
  // 2, 1 and 1 frames in the 1000 ms of the one window that counted them.
  EXPECT_NE(text.find("  phone's jank   per 10 min 1200.00\n"
                      "  phone's app jank   per 10 min 600.00\n"
                      "  phone's compositor jank   per 10 min 600.00\n"),
            std::string::npos)
      << text;
}

}  // namespace
