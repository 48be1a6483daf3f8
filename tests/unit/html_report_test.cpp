// The report of recordings: its summary table, the charts' data and the
// page that holds them.
#include "html_report.h"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalog.h"
#include "recording.h"
#include "series.h"

namespace {

using namespace perfprobe;
using Values = std::vector<Value>;

// A recording's series as the reader makes it of a name of the first
// version: its catalog row and item told from the name.
Recording::Series series(const std::string& name, const std::string& title, Values values) {
  const Metric* row = rowOfColumn(name);
  EXPECT_NE(row, nullptr) << name;
  const auto item = row != nullptr ? itemOfColumn(*row, name) : std::nullopt;
  EXPECT_TRUE(item.has_value()) << name;
  return {name, title, row, item.value_or(""), std::move(values)};
}

std::vector<double> timesOf(size_t n, double interval) {
  std::vector<double> t;
  for (size_t k = 1; k <= n; ++k) t.push_back(static_cast<double>(k) * interval);
  return t;
}

// Of an older daemon: the rate of GET_FPS and the CPUs of GET_SIMPLE, which
// all show one clock, as the CPUs of one cluster do.
Recording olderDaemon() {
  Recording rec;
  rec.name = "old.jsonl";
  // 0, 3, ..., 60 in another order, and one sample without a rate.
  Values fps;
  for (int k = 0; k < 21; ++k) fps.push_back((k * 8 % 21) * 3);
  fps.insert(fps.begin() + 4, std::nullopt);
  rec.timesS = timesOf(fps.size(), 0.5);
  const Values khz = [&] {
    Values v(fps.size(), 1800000);
    v[0] = 300000;
    v[1] = std::nullopt;
    v[2] = 1200000;
    return v;
  }();
  rec.series.push_back(series("fps", "FPS", fps));
  for (int cpu = 0; cpu < 4; ++cpu) {
    const std::string name = "cpu" + std::to_string(cpu);
    rec.series.push_back(series(name + "_khz", name, khz));
  }
  rec.marks = {{1.0, "a"}, {2.0, "b"}};
  rec.ended = true;
  return rec;
}

// Of the frame statistics and GET_STATS, over windows of unequal lengths.
Recording newerDaemon() {
  Recording rec;
  rec.name = "new.jsonl";
  rec.timesS = {1, 1.5, 2.5, 4};
  const auto none = std::nullopt;
  rec.series = {
      series("fps", "FPS", {50, 40, none, 60}),
      series("window_ms", "window", {1000, 500, 1000, 1500}),
      series("frame_ms_p95", "p95", {16.67, 33.33, 20, none}),
      series("frame_ms_max", "max", {25, 50.5, 40, 0}),
      series("jank", "jank", {1, none, 2, 0}),
      series("jank_ms", "jank time", {20, 0, 35, none}),
      series("cpu0_khz", "cpu0", {500000, 1000000, 1500000, none}),
      series("cluster0-1_khz", "cpu0-1", {500000, 1000000, 1500000, none}),
      series("cluster0-1_max_khz", "cpu0-1 max", {1800000, 1800000, 1800000, 1800000}),
      series("cluster4-7_khz", "cpu4-7", {2000000, 2000000, 2000000, 2000000}),
      series("cpu_load_pct", "CPU", {10, 20, 30, 40}),
      series("battery_pct", "battery", {80, none, 79, 77}),
      series("temp_cpu_c", "cpu", {40, 45.5, 44, 43}),
      series("temp_skin_c", "skin", {30, 31, 32, 33}),
      series("temp_hottest_c", "hottest", {40, 45.5, 44, 43}),
  };
  rec.ended = true;
  return rec;
}

// Nothing went wrong in it: every count and share is 0.
Recording calmRun() {
  Recording rec;
  rec.name = "calm.jsonl";
  rec.timesS = {1, 2};
  rec.series = {
      series("fps", "FPS", {0, 0}),
      series("window_ms", "window", {1000, 1000}),
      series("jank", "jank", {0, 0}),
      series("jank_ms", "jank time", {0, 0}),
      series("battery_pct", "battery", {50, 50}),
  };
  rec.ended = true;
  return rec;
}

using Cells = std::vector<std::optional<std::string>>;

std::map<std::string, Cells> cellsByLabel(const std::vector<SummaryRow>& rows) {
  std::map<std::string, Cells> out;
  for (const SummaryRow& row : rows) {
    EXPECT_TRUE(out.emplace(row.label, row.cells).second) << "two rows " << row.label;
  }
  return out;
}

std::vector<std::string> labelsOf(const std::vector<SummaryRow>& rows, const std::string& group) {
  std::vector<std::string> out;
  for (const SummaryRow& row : rows) {
    if (row.group == group) out.push_back(row.label);
  }
  return out;
}

TEST(HtmlReport, SummarizesEachRecordingAndSaysWhatItDidNotRecord) {
  const std::vector<SummaryRow> rows = summaryRows({olderDaemon(), newerDaemon(), calmRun()});
  const auto none = std::nullopt;
  // Figured by hand. The older run: 21 rates 0..60 by 3; the median is the
  // 11th, 30; the 5th percentile the 2nd (nearest rank of 21), 3. Its CPUs
  // hold 300, 1200 and 19 times 1800 MHz, and one sample is missing: a mean
  // of 1700.
  // The newer run: jank 3 over 3500 ms of windows that have it, per 10
  // minutes 514.3; jank time 55 ms of 2500 ms, 2.20 %.
  const std::map<std::string, Cells> want = {
      {"duration", {"0:11", "0:04", "0:02"}},
      {"samples", {"22", "4", "2"}},
      {"markers", {"2", "0", "0"}},
      {"FPS median", {"30.0", "50.0", "0.0"}},
      {"FPS 5th percentile", {"3.0", "40.0", "0.0"}},
      {"FPS minimum", {"0.0", "40.0", "0.0"}},
      {"jank per 10 min", {none, "514.3", "0.0"}},
      {"stutter", {none, "2.20 %", "0.00 %"}},
      {"frame time p95 (median of samples)", {none, "20.00 ms", none}},
      {"longest frame", {none, "50.50 ms", none}},
      {"cpu0-3 clock mean", {"1700 MHz", none, none}},
      {"cpu0-3 clock max", {"1800 MHz", none, none}},
      {"cpu0-1 clock mean", {none, "1000 MHz", none}},
      {"cpu0-1 clock max", {none, "1500 MHz", none}},
      {"cpu4-7 clock mean", {none, "2000 MHz", none}},
      {"cpu4-7 clock max", {none, "2000 MHz", none}},
      {"load mean", {none, "25.0 %", none}},
      {"load max", {none, "40.0 %", none}},
      {"clock mean", {none, none, none}},
      {"hottest", {none, "45.5 °C (cpu)", none}},
      {"battery power mean", {none, none, none}},
      {"battery drop", {none, "3 %", "0 %"}},
  };
  const std::map<std::string, Cells> got = cellsByLabel(rows);
  for (const auto& [label, cells] : want) {
    const auto row = got.find(label);
    if (row == got.end()) {
      ADD_FAILURE() << "no row " << label;
      continue;
    }
    EXPECT_EQ(row->second, cells) << label;
  }
  EXPECT_EQ(labelsOf(rows, "CPU"),
            (std::vector<std::string>{"cpu0-3 clock mean", "cpu0-3 clock max", "cpu0-1 clock mean",
                                      "cpu0-1 clock max", "cpu4-7 clock mean", "cpu4-7 clock max",
                                      "load mean", "load max"}));
}

// From GET_SIMPLE alone, the CPUs that showed the same clock at every sample
// are one line, named by their numbers.
TEST(HtmlReport, GroupsTheCpusOfAnOlderDaemonByTheirClocks) {
  const struct {
    std::vector<Values> cpus;  // cpu0, cpu1, ...
    std::vector<std::string> lines;
  } cases[] = {
      {{{1000, 2000}, {1000, 2000}, {1000, 2000}, {1000, 2000}}, {"cpu0-3"}},
      {{{1000, 2000}, {3000, 3000}, {1000, 2000}, {3000, 3000}}, {"cpu0,2", "cpu1,3"}},
      {{{1000, 2000}, {1000, 2000}, {5000, 6000}, {5000, 6000}, {5000, 6000}, {7000, 7000}},
       {"cpu0-1", "cpu2-4", "cpu5"}},
      // Not the same: a missing value is no value.
      {{{1000, std::nullopt}, {1000, 2000}}, {"cpu0", "cpu1"}},
      {{{std::nullopt, std::nullopt}, {std::nullopt, std::nullopt}}, {"cpu0-1"}},
  };
  for (const auto& c : cases) {
    Recording rec;
    rec.timesS = {1, 2};
    for (size_t cpu = 0; cpu < c.cpus.size(); ++cpu) {
      const std::string name = "cpu" + std::to_string(cpu);
      rec.series.push_back(series(name + "_khz", name, c.cpus[cpu]));
    }
    std::vector<std::string> want;
    for (const std::string& line : c.lines) {
      want.push_back(line + " clock mean");
      want.push_back(line + " clock max");
    }
    want.push_back("load mean");
    want.push_back("load max");
    EXPECT_EQ(labelsOf(summaryRows({rec}), "CPU"), want) << c.lines.front();
  }
  // Ten and more CPUs go by number, not by name, whatever the order of the
  // series.
  Recording rec;
  rec.timesS = {1};
  for (const auto& [cpu, khz] : std::vector<std::pair<int, double>>{
           {0, 1000}, {10, 3000}, {2, 3000}, {1, 2000}, {3, 4000}}) {
    const std::string name = "cpu" + std::to_string(cpu);
    rec.series.push_back(series(name + "_khz", name, {khz}));
  }
  const std::vector<SummaryRow> rows = summaryRows({rec});
  EXPECT_EQ(
      labelsOf(rows, "CPU"),
      (std::vector<std::string>{"cpu0 clock mean", "cpu0 clock max", "cpu1 clock mean",
                                "cpu1 clock max", "cpu2,10 clock mean", "cpu2,10 clock max",
                                "cpu3 clock mean", "cpu3 clock max", "load mean", "load max"}));
  const auto cells = cellsByLabel(rows);
  ASSERT_EQ(cells.count("cpu2,10 clock max"), 1u);
  EXPECT_EQ(cells.at("cpu2,10 clock max"), Cells{"3 MHz"});
}

size_t count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

const nlohmann::json* chartLine(const nlohmann::json& rec, const char* chart, const char* label) {
  for (const auto& line : rec["charts"][chart]) {
    if (line["label"] == label) return &line;
  }
  ADD_FAILURE() << "no line " << label << " on " << chart << ": " << rec["charts"][chart];
  return nullptr;
}

nlohmann::json shownJson(const Values& values, double per) {
  nlohmann::json out = nlohmann::json::array();
  for (const Value& v : values) out.push_back(v ? nlohmann::json(*v / per) : nlohmann::json());
  return out;
}

// Whatever a recording's name, package, titles and markers hold, the page
// shows them as text and its data block stays JSON.
TEST(HtmlReport, ShowsHostileTextAsTextAndKeepsItsDataParseable) {
  const std::string hostile = "</script><script>alert(1)</script><!--&<>\"'";
  Recording rec = newerDaemon();
  rec.name = hostile + "\xff.jsonl";
  rec.meta.package = hostile;
  rec.meta.host = hostile;
  rec.meta.port = 8080;
  rec.meta.start = hostile;
  rec.marks = {{1.25, hostile}};
  for (Recording::Series& s : rec.series) {
    if (s.name == "cluster0-1_khz" || s.name == "temp_skin_c") s.title = hostile;
    // A limit's line is labelled with its own title.
    if (s.name == "cluster0-1_max_khz") s.title = hostile + " max";
  }
  rec.ended = false;
  const std::string page = reportHtml({rec, calmRun()}, hostile);

  // Its own three scripts: the data, uPlot and the page's; and no more
  // comments than a page of harmless text has.
  const std::string plain = reportHtml({calmRun()}, "today");
  EXPECT_EQ(count(page, "</script>"), 3u);
  EXPECT_EQ(count(page, "<script"), 3u);
  EXPECT_EQ(count(page, "<!--"), count(plain, "<!--"));
  EXPECT_EQ(page.find("alert(1)</"), std::string::npos);
  EXPECT_EQ(page.find("&<>\"'"), std::string::npos);
  const std::string escaped =
      "&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;&lt;!--"
      "&amp;&lt;&gt;&quot;&#39;";
  // The name, the package, the host, the start, the marker, the footer.
  EXPECT_GE(count(page, escaped), 6u) << page.substr(0, 4000);
  EXPECT_NE(page.find("the run did not end as it should"), std::string::npos);

  const std::string open = "<script type=\"application/json\" id=\"perfprobe-data\">";
  const size_t from = page.find(open);
  ASSERT_NE(from, std::string::npos);
  const size_t to = page.find("</script>", from);
  ASSERT_NE(to, std::string::npos);
  const std::string block = page.substr(from + open.size(), to - from - open.size());
  EXPECT_EQ(block, chartData({rec, calmRun()}));
  const auto data = nlohmann::json::parse(block, nullptr, false);
  ASSERT_FALSE(data.is_discarded()) << block;
  ASSERT_EQ(data["recordings"].size(), 2u);
  const auto& r = data["recordings"][0];
  EXPECT_EQ(r["name"], hostile + "\xef\xbf\xbd.jsonl");
  EXPECT_EQ(r["package"], hostile);
  EXPECT_EQ(r["marks"], nlohmann::json::parse(R"([{"t":1.25,"label":)" +
                                              nlohmann::json(hostile).dump() + "}]"));
  EXPECT_EQ(r["t"], nlohmann::json(rec.timesS));
  EXPECT_EQ(data["duration"], 4.0);
  EXPECT_EQ(data["recordings"][1]["name"], "calm.jsonl");

  // The values as shown: kHz as MHz, null where missing.
  if (const auto* line = chartLine(r, "fps", "FPS")) {
    EXPECT_EQ((*line)["values"], shownJson(rec.find("fps")->values, 1));
  }
  if (const auto* line = chartLine(r, "fps", "jank")) {
    EXPECT_EQ((*line)["values"], nlohmann::json::parse("[50,null,null,null]"));
    EXPECT_EQ((*line)["style"], "points");
  }
  if (const auto* line = chartLine(r, "cpu_clock", hostile.c_str())) {
    EXPECT_EQ((*line)["values"], nlohmann::json::parse("[500,1000,1500,null]"));
    EXPECT_EQ((*line)["unit"], "MHz");
  }
  if (const auto* line = chartLine(r, "cpu_clock", (hostile + " max").c_str())) {
    EXPECT_EQ((*line)["values"], shownJson(rec.find("cluster0-1_max_khz")->values, 1000));
    EXPECT_EQ((*line)["style"], "dashed");
  }
  if (const auto* line = chartLine(r, "cpu_clock", "cpu4-7")) {
    EXPECT_EQ((*line)["values"], nlohmann::json::parse("[2000,2000,2000,2000]"));
  }
  if (const auto* line = chartLine(r, "frame_time", "p95")) {
    EXPECT_EQ((*line)["values"], shownJson(rec.find("frame_ms_p95")->values, 1));
  }
  if (const auto* line = chartLine(r, "temperature", hostile.c_str())) {
    EXPECT_EQ((*line)["values"], shownJson(rec.find("temp_skin_c")->values, 1));
  }
  // The older daemon's CPUs, one line of kHz shown as MHz.
  const std::string older = chartData({olderDaemon()});
  const auto olderData = nlohmann::json::parse(older, nullptr, false);
  ASSERT_FALSE(olderData.is_discarded()) << older;
  if (const auto* line = chartLine(olderData["recordings"][0], "cpu_clock", "cpu0-3")) {
    EXPECT_EQ((*line)["values"], shownJson(olderDaemon().find("cpu0_khz")->values, 1000));
  }
  EXPECT_EQ(olderData["recordings"][0]["charts"]["frame_time"], nlohmann::json::array());
}

// The labels of a chart's lines, in order.
std::vector<std::string> lineLabels(const nlohmann::json& rec, const char* chart) {
  std::vector<std::string> labels;
  for (const auto& line : rec["charts"][chart]) labels.push_back(line["label"].get<std::string>());
  return labels;
}

// Within a group the rows follow the catalog's; on a chart, a limit follows
// the line it limits, and the hottest zone leads the zones watched.
TEST(HtmlReport, RowsAndLinesComeInTheCatalogsOrder) {
  const std::vector<SummaryRow> rows = summaryRows({newerDaemon()});
  EXPECT_EQ(labelsOf(rows, "Frames"),
            (std::vector<std::string>{"FPS median", "FPS 5th percentile", "FPS minimum",
                                      "frame time p95 (median of samples)", "longest frame",
                                      "jank per 10 min", "stutter"}));
  EXPECT_EQ(labelsOf(rows, "GPU"),
            (std::vector<std::string>{"busy mean", "clock mean", "clock max"}));
  EXPECT_EQ(labelsOf(rows, "Temperature"), std::vector<std::string>{"hottest"});
  EXPECT_EQ(labelsOf(rows, "Power"),
            (std::vector<std::string>{"battery power mean", "battery drop"}));

  const auto data = nlohmann::json::parse(chartData({newerDaemon()}));
  const auto& rec = data["recordings"][0];
  EXPECT_EQ(lineLabels(rec, "temperature"), (std::vector<std::string>{"hottest", "skin"}));
  EXPECT_EQ(lineLabels(rec, "cpu_clock"),
            (std::vector<std::string>{"cpu0-1", "cpu0-1 max", "cpu4-7"}));
  EXPECT_EQ(lineLabels(rec, "fps"), (std::vector<std::string>{"FPS", "jank"}));
  EXPECT_EQ(lineLabels(rec, "frame_time"), (std::vector<std::string>{"p95", "max", "jank"}));
  EXPECT_EQ(lineLabels(rec, "cpu_load"), std::vector<std::string>{"CPU"});
}

// A series made by a row the recording names (its second version).
Recording::Series ofRow(const std::string& key, const std::string& name, Values values) {
  const Metric* row = rowByKey(key);
  EXPECT_NE(row, nullptr) << key;
  const auto item = row != nullptr ? itemOfColumn(*row, name) : std::nullopt;
  EXPECT_TRUE(item.has_value()) << key << " " << name;
  return {name, name, row, item.value_or(""), std::move(values)};
}

// Each line has the digits of its field: GET_FPS' rate is whole, the frame
// statistics' has one decimal.
TEST(HtmlReport, EachLineHasItsFieldsDigits) {
  const struct {
    std::string key;
    const char* chart;
    std::string name;
    int decimals;
  } cases[] = {
      {"GET_FPS", "fps", "fps", 0},
      {"fps", "fps", "fps", 1},
      {"GET_SIMPLE", "cpu_clock", "cpu0_khz", 0},
      {"frame_ms_p95", "frame_time", "frame_ms_p95", 2},
      {"cpu_load_pct", "cpu_load", "cpu_load_pct", 1},
      {"temp_*_c", "temperature", "temp_skin_c", 1},
      {"battery_mw", "power", "battery_mw", 0},
  };
  for (const auto& c : cases) {
    Recording rec;
    rec.timesS = {1};
    rec.series = {ofRow(c.key, c.name, {59})};
    const auto data = nlohmann::json::parse(chartData({rec}));
    const auto& lines = data["recordings"][0]["charts"][c.chart];
    ASSERT_EQ(lines.size(), 1u) << c.key << ": " << lines;
    EXPECT_EQ(lines[0]["decimals"], c.decimals) << c.key;
  }
}

// A run of frames from these sources (0: latency, 1: timestats, none: no
// frames) and the phone's own counts, in windows of a second.
Recording framesRun(const std::string& name, const Values& source, const Values& osJank) {
  Recording rec;
  rec.name = name;
  rec.timesS = timesOf(source.size(), 1);
  rec.series = {
      ofRow("fps", "fps", Values(source.size(), 60)),
      ofRow("window_ms", "window_ms", Values(source.size(), 1000)),
      ofRow("jank", "jank", Values(source.size(), 1)),
      ofRow("source", "source", source),
      ofRow("os_jank", "os_jank", osJank),
      ofRow("os_jank_app", "os_jank_app", osJank),
      ofRow("os_jank_sf", "os_jank_sf", Values(source.size(), std::nullopt)),
  };
  rec.ended = true;
  return rec;
}

// The report says which source a run's frames came from, and that those of
// the compositor's time statistics are whole milliseconds; the phone's own
// counts, and their chart, are there only for a run that has them.
TEST(HtmlReport, SaysWhichSourceTheFramesCameFrom) {
  const auto none = std::nullopt;
  const std::string whole =
      "frame times from the compositor's time statistics: whole milliseconds";
  const Recording latency = framesRun("latency.jsonl", {0, 0, none}, {none, none, none});
  const Recording timestats = framesRun("timestats.jsonl", {1, 1}, {3, 0});
  const Recording mixed = framesRun("mixed.jsonl", {0, 1, 0}, {none, 6, none});

  const auto cells = cellsByLabel(summaryRows({latency, timestats, mixed, newerDaemon()}));
  EXPECT_EQ(cells.at("frame source"),
            (Cells{"latency", "timestats; " + whole, "latency 2, timestats 1 samples; " + whole,
                   none}));
  // 3 frames in 2 s; 6 in the one second that counted them.
  EXPECT_EQ(cells.at("phone's jank per 10 min"), (Cells{none, "900.0", "3600.0", none}));
  EXPECT_EQ(cells.at("phone's app jank per 10 min"), (Cells{none, "900.0", "3600.0", none}));
  // No run has a count blamed on the compositor: no line of it.
  EXPECT_EQ(cells.count("phone's compositor jank per 10 min"), 0u);

  // Runs of the latency alone, or older than the source, show neither.
  for (const std::vector<Recording>& runs :
       {std::vector<Recording>{latency}, std::vector<Recording>{newerDaemon()}}) {
    const std::vector<SummaryRow> rows = summaryRows(runs);
    for (const SummaryRow& row : rows) {
      EXPECT_EQ(row.label.find("phone's"), std::string::npos) << row.label;
      for (const auto& cell : row.cells) {
        EXPECT_EQ(cell.value_or("").find("whole"), std::string::npos) << row.label;
      }
    }
    const auto data = nlohmann::json::parse(chartData(runs));
    for (const auto& chart : data["charts"]) EXPECT_NE(chart["id"], "phone_jank");
  }
  const auto data = nlohmann::json::parse(chartData({latency, timestats}));
  EXPECT_EQ(lineLabels(data["recordings"][1], "phone_jank"),
            (std::vector<std::string>{"janky frames", "blamed on the app",
                                      "blamed on the compositor", "perfprobe's jank"}));
  EXPECT_EQ(data["recordings"][1]["charts"]["phone_jank"][0]["values"], nlohmann::json({3, 0}));
}

}  // namespace
