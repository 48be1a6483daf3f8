#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "replies.h"
#include "report.h"

namespace {

using namespace perfprobe;
using Khzs = std::vector<Khz>;

TEST(ClientProtocol, ParsesTheFrameRateAsTheDaemonPrintsIt) {
  const struct {
    std::string reply;
    std::optional<int32_t> fps;
  } cases[] = {
      {"0", 0},           {"59", 59},          {"-1", -1},
      {"2147483647", 2147483647},             {"-2147483648", INT32_MIN},
      {"2147483648", {}}, {"", {}},            {"-", {}},
      {"59\n", {}},       {" 59", {}},         {"success", {}},
      {"cpuFreq:1", {}},  {"+5", {}},          {std::string("5\0", 2), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseFps(c.reply), c.fps) << c.reply;
}

TEST(ClientProtocol, ParsesCpuReportsWithMissingValues) {
  const struct {
    std::string reply;
    std::optional<Khzs> values;
  } cases[] = {
      {"cpuFreq", Khzs{}},
      {"cpuFreq:1785600", Khzs{1785600}},
      {"cpuFreq:300000,NA,2841600", Khzs{300000, std::nullopt, 2841600}},
      // An empty file gives an empty value; one CPU with one gives "cpuFreq:".
      {"cpuFreq:", Khzs{std::nullopt}},
      {"cpuFreq:1,,2", Khzs{1, std::nullopt, 2}},
      {"cpuFreq:1 ,x2,18446744073709551616", Khzs{std::nullopt, std::nullopt, std::nullopt}},
      {"cpuFreq:18446744073709551615", Khzs{18446744073709551615ull}},
      {"success", std::nullopt},
      {"59", std::nullopt},
      {"cpuFreqX", std::nullopt},
      {"cpufreq:1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseCpuReport(c.reply), c.values) << c.reply;
}

TEST(ClientProtocol, LabelsReportValuesByCpuNumber) {
  EXPECT_EQ(reportOrder(12),
            (std::vector<unsigned>{0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(reportOrder(3), (std::vector<unsigned>{0, 1, 2}));
  EXPECT_EQ(reportOrder(0), std::vector<unsigned>{});
  const std::vector<unsigned> order = reportOrder(101);
  EXPECT_EQ(std::vector<unsigned>(order.begin(), order.begin() + 5),
            (std::vector<unsigned>{0, 1, 10, 100, 11}));

  // The report of twelve CPUs, in the daemon's order, where cpu7 has no file.
  const Khzs report = {1000, 1001, 1010, 1011, 1002, 1003, 1004, 1005, 1006, std::nullopt,
                       1008, 1009};
  EXPECT_EQ(byCpuNumber(report), (Khzs{1000, 1001, 1002, 1003, 1004, 1005, 1006, std::nullopt,
                                       1008, 1009, 1010, 1011}));
}

TEST(ClientProtocol, StartRequestsKeepThePatternWhole) {
  std::string why;
  EXPECT_EQ(startRequest("com.example.game", &why), "INITIALIZATION:com.example.game");
  EXPECT_EQ(startRequest("com\\.example\\..*", &why), "INITIALIZATION:com\\.example\\..*");
  for (const std::string bad : {"", "a:b", ":", "app\n", "app\r"}) {
    why.clear();
    EXPECT_EQ(startRequest(bad, &why), std::nullopt) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(ClientProtocol, KnowsWhichTextsTheDaemonAnswers) {
  EXPECT_TRUE(holdsKeyword("GET_FPS"));
  EXPECT_TRUE(holdsKeyword("xxCONNECT_DAEMONyy"));
  EXPECT_TRUE(holdsKeyword(std::string(1010, 'x') + "GET_FPS"));
  EXPECT_FALSE(holdsKeyword(std::string(1020, 'x') + "GET_FPS"));
  EXPECT_FALSE(holdsKeyword(std::string("x\0GET_FPS", 9)));
  EXPECT_FALSE(holdsKeyword("get_fps"));
  EXPECT_FALSE(holdsKeyword(""));
}

Sample sample(double t, std::optional<int32_t> fps, Khzs cpus) {
  Sample s;
  s.timeS = t;
  s.fps = fps;
  s.cpus = std::move(cpus);
  return s;
}

TEST(ClientReport, SummarizesTheFrameRateAndEveryCpu) {
  std::vector<Sample> samples;
  // 20 samples with a rate: 10, 20, ..., 200 shuffled; one without.
  const int order[] = {7, 3, 19, 0, 12, 5, 16, 9, 1, 14, 18, 2, 11, 6, 15, 4, 13, 8, 17, 10};
  for (int i = 0; i < 20; ++i) {
    samples.push_back(sample(i + 1, (order[i] + 1) * 10, {1000000, std::nullopt}));
  }
  samples.push_back(sample(21, std::nullopt, {3000000, std::nullopt}));
  const Summary s = summarize(samples, 2, 0.5);
  EXPECT_EQ(s.samples, 21u);
  EXPECT_EQ(s.withFps, 20u);
  EXPECT_EQ(s.minFps, 10);
  EXPECT_EQ(s.medianFps, 105.0);
  EXPECT_EQ(s.meanFps, 105.0);
  EXPECT_EQ(s.p5Fps, 10);           // rank ceil(1.0) = 1
  EXPECT_EQ(s.secondsBelow30, 1.0); // 10 and 20, half a second each
  ASSERT_EQ(s.cpus.size(), 2u);
  EXPECT_DOUBLE_EQ(*s.cpus[0].meanMhz, (20 * 1000.0 + 3000.0) / 21);
  EXPECT_EQ(s.cpus[0].maxMhz, 3000.0);
  EXPECT_EQ(s.cpus[1].meanMhz, std::nullopt);
  EXPECT_EQ(s.cpus[1].maxMhz, std::nullopt);

  // The 5th percentile by nearest rank, and an odd count's median.
  std::vector<Sample> more;
  for (int i = 1; i <= 41; ++i) more.push_back(sample(i, i, {}));
  const Summary m = summarize(more, 0, 1.0);
  EXPECT_EQ(m.p5Fps, 3);  // ceil(41 * 0.05) = 3
  EXPECT_EQ(m.medianFps, 21.0);
  EXPECT_EQ(m.secondsBelow30, 29.0);

  const Summary none = summarize({sample(1, std::nullopt, {})}, 1, 1.0);
  EXPECT_EQ(none.withFps, 0u);
  EXPECT_EQ(none.minFps, std::nullopt);
  EXPECT_EQ(none.p5Fps, std::nullopt);
}

TEST(ClientReport, WritesMissingValuesAsNaNeverAsZero) {
  const Sample s = sample(1.0004, 59, {1785600, std::nullopt, 0});
  EXPECT_EQ(csvHeader(3), "time_s,fps,cpu0_khz,cpu1_khz,cpu2_khz\n");
  EXPECT_EQ(csvRow(s, 3), "1.000,59,1785600,NA,0\n");
  // A report with fewer CPUs than the columns: the rest is missing.
  EXPECT_EQ(csvRow(sample(2.5, std::nullopt, {}), 2), "2.500,NA,NA,NA\n");
  EXPECT_EQ(csvHeader(0), "time_s,fps\n");

  EXPECT_EQ(liveLine(s, 3), "     1.0    59   1786     NA      0\n");
  EXPECT_EQ(liveHeader(3), "  time_s   fps   cpu0   cpu1   cpu2  (MHz)\n");

  const auto json = nlohmann::json::parse(jsonSample(s, 3));
  EXPECT_EQ(json, nlohmann::json::parse(
                      R"({"time_s":1.0,"fps":59,"cpu_khz":[1785600,null,0]})"));
  EXPECT_EQ(jsonSample(sample(0.25, std::nullopt, {}), 1),
            "{\"time_s\":0.25,\"fps\":null,\"cpu_khz\":[null]}\n");
}

TEST(ClientReport, SummaryTextAndJsonCarryTheSameFigures) {
  const std::vector<Sample> samples = {sample(1, 59, {1785600, std::nullopt}),
                                       sample(2, 28, {300000, std::nullopt})};
  const Summary s = summarize(samples, 2, 1.0);
  EXPECT_EQ(summaryText(s),
            "Summary: 2 samples, 2 with a frame rate\n"
            "  FPS   min 28   median 43.5   mean 43.5   5th percentile 28   below 30 FPS 1.0 s\n"
            "  CPU     mean MHz   max MHz\n"
            "  cpu0      1042.8    1785.6\n"
            "  cpu1          NA        NA\n");
  const auto json = nlohmann::json::parse(jsonSummary(s));
  EXPECT_EQ(json["summary"]["samples"], 2);
  EXPECT_EQ(json["summary"]["fps"]["min"], 28);
  EXPECT_EQ(json["summary"]["fps"]["median"], 43.5);
  EXPECT_EQ(json["summary"]["fps"]["p5"], 28);
  EXPECT_EQ(json["summary"]["fps"]["seconds_below_30"], 1.0);
  EXPECT_DOUBLE_EQ(json["summary"]["cpus"][0]["mean_mhz"].get<double>(), 1042.8);
  EXPECT_TRUE(json["summary"]["cpus"][1]["max_mhz"].is_null());
}

TEST(ClientReport, PlotScriptQuotesWhatItIsGivenAndNamesEmptyPanels) {
  const Summary both = summarize({sample(1, 59, {1000, std::nullopt})}, 2, 1.0);
  const std::string script = plotScript("/tmp/d", "/x/it's.png", "monitor a'b_c", both);
  EXPECT_NE(script.find("set output '/x/it''s.png'\n"), std::string::npos) << script;
  EXPECT_NE(script.find("title 'monitor a''b_c' noenhanced"), std::string::npos) << script;
  EXPECT_NE(script.find("plot '/tmp/d' using 1:2 "), std::string::npos) << script;
  EXPECT_NE(script.find("plot for [i=0:1] '/tmp/d' using 1:(column(i+3)/1000.0)"),
            std::string::npos)
      << script;
  EXPECT_EQ(script.find("set label"), std::string::npos) << script;

  // gnuplot fails on a panel without a single value: such a panel says why.
  const Summary neither = summarize({sample(1, std::nullopt, {std::nullopt})}, 1, 1.0);
  const std::string empty = plotScript("/tmp/d", "/x/p.png", "t", neither);
  EXPECT_NE(empty.find("'no frame rate'"), std::string::npos) << empty;
  EXPECT_NE(empty.find("'no CPU frequency'"), std::string::npos) << empty;
  EXPECT_EQ(empty.find("/tmp/d"), std::string::npos) << empty;
}

}  // namespace
