#include "recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "html_report.h"
#include "report.h"
#include "series.h"
#include "sources.h"

namespace {

using namespace perfprobe;
using Values = std::vector<Value>;
using Labels = std::vector<std::string>;

// A header of three series, the middle one in kHz.
constexpr char kHeader[] =
    R"({"perfprobe_recording":1,"device":{"host":"10.0.0.7","port":8080},"package":"com.a.b",)"
    R"("start":"2026-01-02T03:04:05.678Z","interval_s":0.5,"series":[{"name":"fps","title":"FPS"},)"
    R"({"name":"cpu0_khz","title":"cpu0"},{"name":"jank","title":"jank"}]})"
    "\n";
constexpr char kSummary[] = "{\"summary\":{\"samples\":2}}\n";

struct Parsed {
  std::optional<Recording> rec;
  std::vector<std::string> warnings;
  std::string error;
};

Parsed parse(const std::string& text) {
  Parsed p;
  p.rec = parseRecording(text, "run.jsonl", &p.warnings, &p.error);
  return p;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

Values valuesOf(const Recording& rec, const std::string& name) {
  const Recording::Series* s = rec.find(name);
  if (s == nullptr) {
    ADD_FAILURE() << "no series " << name;
    return {};
  }
  return s->values;
}

TEST(RecordingReader, RefusesTextThatIsNoRecordingOfThisVersion) {
  const std::string series = R"(,"series":[{"name":"fps","title":"FPS"}]})";
  const struct {
    std::string text;
    std::string error;  // a piece of it
  } cases[] = {
      {"", "empty"},
      {"\n  \n\r\n", "empty"},
      {"time_s,fps\n1.0,59\n", "not a perfprobe recording (line 1: no JSON object)"},
      {"[1,2]\n", "not a perfprobe recording"},
      {"\n{\"perfprobe_rec", "not a perfprobe recording (line 2"},
      {R"({"time_s":1,"fps":59})"
       "\n",
       "no \"perfprobe_recording\""},
      {R"({"perfprobe_recording":2)" + series + "\n", "version 2;"},
      {R"({"perfprobe_recording":"1")" + series + "\n", "version \"1\";"},
      {R"({"perfprobe_recording":0)" + series + "\n", "version 0;"},
      {R"({"perfprobe_recording":null)" + series + "\n", "version null;"},
      {R"({"perfprobe_recording":1})"
       "\n",
       "no series"},
      {R"({"perfprobe_recording":1,"series":{"fps":1}})"
       "\n",
       "no series"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.text);
    EXPECT_FALSE(p.rec.has_value()) << c.text;
    EXPECT_NE(p.error.find(c.error), std::string::npos) << c.text << "\ngot: " << p.error;
  }
}

// Each line that cannot be used is left out with one warning that names it;
// the samples around it keep their values in their series.
TEST(RecordingReader, LeavesOutALineItCannotUseAndReadsOn) {
  const struct {
    std::string line;
    std::string warning;  // after "line 3: "
  } cases[] = {
      {R"({"t":2,"v":[9,9]})", "with 2 values for 3 series"},
      {R"({"t":2,"v":[9,9,9,9]})", "with 4 values for 3 series"},
      {R"({"t":2,"v":9})", "without a time or with 0 values"},
      {R"({"v":[9,9,9]})", "a sample without a time"},
      {R"({"t":"2","v":[9,9,9]})", "a sample without a time"},
      {R"({"t":-1,"v":[9,9,9]})", "a sample without a time"},
      {R"({"t":1e300,"v":[9,9,9]})", "a sample without a time"},
      {R"({"t":1,"v":[9,9,9]})", "not after the one before"},
      {R"({"t":0.5,"v":[9,9,9]})", "not after the one before"},
      {R"({"t":2,"mark":null})", "a marker without a time or a label"},
      {R"({"t":2,"mark":7})", "a marker without a time or a label"},
      {R"({"mark":"x"})", "a marker without a time or a label"},
      {R"({"t":2,"event":"x"})", "a line of a kind this perfprobe does not know"},
      {R"({"t":2,"v":[9,9,)", "not a JSON object"},
      {"[2,9,9,9]", "not a JSON object"},
      {"garbage", "not a JSON object"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(kHeader) +
                             R"({"t":1,"v":[50,300000,0]})"
                             "\n" +
                             c.line + "\n" +
                             R"({"t":3,"v":[60,null,2]})"
                             "\n" +
                             kSummary;
    const Parsed p = parse(text);
    ASSERT_TRUE(p.rec.has_value()) << c.line << ": " << p.error;
    EXPECT_EQ(p.warnings.size(), 1u) << c.line << "\n" << joined(p.warnings);
    if (!p.warnings.empty()) {
      EXPECT_EQ(p.warnings[0].rfind("line 3: ", 0), 0u) << p.warnings[0];
      EXPECT_NE(p.warnings[0].find(c.warning), std::string::npos)
          << c.line << ": " << p.warnings[0];
    }
    EXPECT_EQ(p.rec->timesS, (std::vector<double>{1, 3})) << c.line;
    EXPECT_EQ(valuesOf(*p.rec, "fps"), (Values{50, 60})) << c.line;
    EXPECT_EQ(valuesOf(*p.rec, "cpu0_khz"), (Values{300000, std::nullopt})) << c.line;
    EXPECT_EQ(valuesOf(*p.rec, "jank"), (Values{0, 2})) << c.line;
    EXPECT_TRUE(p.rec->marks.empty()) << c.line;
    EXPECT_TRUE(p.rec->ended) << c.line;
  }
}

TEST(RecordingReader, AKilledRunReadsUpToItsLastWholeSample) {
  const std::string text = std::string(kHeader) +
                           R"({"t":0.5,"v":[50,300000,0]})"
                           "\n" +
                           R"({"t":0.9,"mark":"boss"})"
                           "\n" +
                           R"({"t":1,"v":[51,400000,1]})"
                           "\n" +
                           R"({"t":1.5,"v":[52,50)";
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error;
  ASSERT_EQ(p.warnings.size(), 2u) << joined(p.warnings);
  EXPECT_EQ(p.warnings[0].rfind("line 5: ", 0), 0u) << p.warnings[0];
  EXPECT_NE(p.warnings[0].find("cut short"), std::string::npos) << p.warnings[0];
  EXPECT_NE(p.warnings[1].find("no summary"), std::string::npos) << p.warnings[1];
  EXPECT_FALSE(p.rec->ended);
  EXPECT_EQ(p.rec->timesS, (std::vector<double>{0.5, 1}));
  EXPECT_EQ(valuesOf(*p.rec, "cpu0_khz"), (Values{300000, 400000}));
  ASSERT_EQ(p.rec->marks.size(), 1u);
  EXPECT_EQ(p.rec->marks[0].label, "boss");

  // Whole lines and no summary: the same warning, and nothing left out.
  const Parsed whole = parse(std::string(kHeader) + R"({"t":0.5,"v":[50,300000,0]})"
                                                    "\n");
  ASSERT_TRUE(whole.rec.has_value()) << whole.error;
  ASSERT_EQ(whole.warnings.size(), 1u) << joined(whole.warnings);
  EXPECT_NE(whole.warnings[0].find("no summary"), std::string::npos) << whole.warnings[0];
  EXPECT_FALSE(whole.rec->ended);
  EXPECT_EQ(whole.rec->timesS, std::vector<double>{0.5});
}

TEST(RecordingReader, LeavesOutASeriesItDoesNotKnowAndKeepsTheOthersInPlace) {
  const std::string text =
      R"({"perfprobe_recording":1,"series":[{"name":"fps","title":"FPS"},)"
      R"({"name":"warp_factor","title":"warp"},7,{"name":"cpu1_khz"},{"name":"fps","title":"again"},)"
      R"({"name":"cluster0-3_khz","title":"cpu0-3"}]})"
      "\n"
      R"({"t":1,"v":[50,1,2,3000,4,5000]})"
      "\n"
      R"({"t":2,"v":[null,11,12,6000,14,7000]})"
      "\n" +
      std::string(kSummary);
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error;
  ASSERT_EQ(p.warnings.size(), 3u) << joined(p.warnings);
  EXPECT_NE(p.warnings[0].find("\"warp_factor\""), std::string::npos) << p.warnings[0];
  EXPECT_NE(p.warnings[1].find("\"7\""), std::string::npos) << p.warnings[1];
  EXPECT_NE(p.warnings[2].find("\"fps\" is listed twice"), std::string::npos) << p.warnings[2];
  ASSERT_EQ(p.rec->series.size(), 3u);
  EXPECT_EQ(p.rec->series[0].name, "fps");
  EXPECT_EQ(p.rec->series[0].title, "FPS");
  EXPECT_EQ(p.rec->series[1].name, "cpu1_khz");
  EXPECT_EQ(p.rec->series[1].title, "cpu1_khz");  // none given: the name
  EXPECT_EQ(p.rec->series[2].name, "cluster0-3_khz");
  EXPECT_EQ(valuesOf(*p.rec, "fps"), (Values{50, std::nullopt}));
  EXPECT_EQ(valuesOf(*p.rec, "cpu1_khz"), (Values{3000, 6000}));
  EXPECT_EQ(valuesOf(*p.rec, "cluster0-3_khz"), (Values{5000, 7000}));
  EXPECT_EQ(p.rec->series[1].role.chart, Chart::kCpuClock);
  EXPECT_EQ(p.rec->series[1].role.shownPer, 1000);
}

// A value the daemon did not give is missing, never 0; 0 stays 0.
TEST(RecordingReader, TakesOnlyNumbersAsValues) {
  const std::string text =
      R"({"perfprobe_recording":1,"series":[{"name":"fps"},{"name":"jank"},{"name":"gpu_khz"},)"
      R"({"name":"battery_pct"},{"name":"temp_skin_c"},{"name":"battery_mw"}]})"
      "\n"
      R"({"t":1,"v":[null,"3",true,{},[1],0]})"
      "\n"
      R"({"t":2,"v":[0,-0.0,1.5e3,-2,"",false]})"
      "\n" +
      std::string(kSummary);
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error;
  EXPECT_TRUE(p.warnings.empty()) << joined(p.warnings);
  const std::vector<std::pair<std::string, Values>> want = {
      {"fps", {std::nullopt, 0}},
      {"jank", {std::nullopt, 0}},
      {"gpu_khz", {std::nullopt, 1500}},
      {"battery_pct", {std::nullopt, -2}},
      {"temp_skin_c", {std::nullopt, std::nullopt}},
      {"battery_mw", {0, std::nullopt}},
  };
  for (const auto& [name, values] : want) EXPECT_EQ(valuesOf(*p.rec, name), values) << name;
}

// A header field of another type is taken as absent: never converted (a port
// beyond an int's range) and never thrown over (a host that is a number).
TEST(RecordingReader, TakesHeaderFieldsOnlyOfTheirType) {
  const struct {
    std::string fields;
    std::string host;
    int port;
    std::string package;
  } cases[] = {
      {R"("device":{"host":5,"port":8.08111e+107},"package":["x"],"start":7)", "", 0, ""},
      {R"("device":{"host":"h","port":-1},"package":"p")", "h", 0, "p"},
      {R"("device":{"host":"h","port":65536})", "h", 0, ""},
      {R"("device":{"host":"h","port":"8080"})", "h", 0, ""},
      {R"("device":"h:8080","package":"p")", "", 0, "p"},
      {R"("device":{"host":"h","port":65535},"package":"p")", "h", 65535, "p"},
  };
  for (const auto& c : cases) {
    const std::string text = R"({"perfprobe_recording":1,)" + c.fields +
                             R"(,"interval_s":"1","series":[{"name":"fps"}]})"
                             "\n"
                             R"({"t":1,"v":[60]})"
                             "\n" +
                             std::string(kSummary);
    const Parsed p = parse(text);
    ASSERT_TRUE(p.rec.has_value()) << c.fields << ": " << p.error;
    EXPECT_EQ(p.rec->meta.host, c.host) << c.fields;
    EXPECT_EQ(p.rec->meta.port, c.port) << c.fields;
    EXPECT_EQ(p.rec->meta.package, c.package) << c.fields;
    EXPECT_EQ(p.rec->meta.start, "") << c.fields;
    EXPECT_EQ(p.rec->meta.intervalS, 1) << c.fields;
    EXPECT_EQ(valuesOf(*p.rec, "fps"), (Values{60})) << c.fields;
  }
}

// What the monitor writes reads back as it was: the frame statistics and the
// CPUs, a marker and the summary.
TEST(RecordingReader, ReadsBackWhatTheWriterWrote) {
  Table table;
  table.kinds = frameStatsKinds();
  table.kinds.push_back(cpuKind(2));
  // fps, frames, window_ms, frame_ms_p50/p95/max, jank, big_jank,
  // missed_vsyncs, refresh_hz, jank_ms, cpu0_khz, cpu1_khz.
  const std::vector<Values> rows = {
      {59.9, 60, 1001, 16.67, 16.94, 33.33, 0, 0, 1, 60, 0, 300000, 1785600},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
       std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 300000, std::nullopt},
      {30.5, 31, 1016, 33.33, 50, 83.33, 3, 1, 20, 120, 75.5, 2841600, 0},
  };
  const std::vector<double> times = {0.503, 1.001, 1.75};
  for (size_t k = 0; k < rows.size(); ++k) table.append(times[k], rows[k]);
  RecordingMeta meta;
  meta.host = "192.168.1.20";
  meta.port = 9000;
  meta.package = "com.example.game|org.other";
  meta.start = "2026-12-11T03:04:05.123Z";
  meta.intervalS = 0.5;

  std::string text = recordingHeader(meta, table);
  text += recordingSample(table, 0);
  text += recordingMark({0.8, "boss fight \"phase\" 2 \\ é"});
  text += recordingSample(table, 1);
  text += recordingSample(table, 2);
  text += jsonSummary(table, meta.intervalS);
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error << "\n" << text;
  EXPECT_TRUE(p.warnings.empty()) << joined(p.warnings);
  const Recording& rec = *p.rec;
  EXPECT_EQ(rec.name, "run.jsonl");
  EXPECT_EQ(rec.meta.host, meta.host);
  EXPECT_EQ(rec.meta.port, meta.port);
  EXPECT_EQ(rec.meta.package, meta.package);
  EXPECT_EQ(rec.meta.start, meta.start);
  EXPECT_EQ(rec.meta.intervalS, meta.intervalS);
  EXPECT_TRUE(rec.ended);
  EXPECT_EQ(rec.timesS, times);
  ASSERT_EQ(rec.marks.size(), 1u);
  EXPECT_EQ(rec.marks[0].timeS, 0.8);
  EXPECT_EQ(rec.marks[0].label, "boss fight \"phase\" 2 \\ é");

  std::vector<std::string> names;
  std::vector<std::string> titles;
  for (const Kind& kind : table.kinds) {
    for (const Series& s : kind.series) {
      names.push_back(column(kind, s));
      titles.push_back(s.title);
    }
  }
  ASSERT_EQ(rec.series.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(rec.series[i].name, names[i]);
    EXPECT_EQ(rec.series[i].title, titles[i]);
    Values column;
    for (const Values& row : rows) column.push_back(row[i]);
    EXPECT_EQ(rec.series[i].values, column) << names[i];
  }
  EXPECT_EQ(names[9], "refresh_hz");
  EXPECT_EQ(names[10], "jank_ms");
  EXPECT_EQ(names[12], "cpu1_khz");
}

// Each case: the chunks given to add(), then the labels of each add() and
// last of end().
TEST(MarkLines, TurnsTheLinesOfStandardInputIntoLabels) {
  const std::string e = "\xc3\xa9";         // é, two bytes
  const std::string euro = "\xe2\x82\xac";  // €, three
  const std::string x(kMaxMarkLabel, 'x');
  const std::string longLine(kMaxMarkLine, 'x');
  const struct {
    std::vector<std::string> chunks;
    std::vector<Labels> labels;  // one more than the chunks: end()'s
  } cases[] = {
      {{"boss", " fight\n"}, {{}, {"boss fight"}, {}}},
      {{"a\r\nb\n\n"}, {{"a", "b", ""}, {}}},
      {{"\n", "   \n"}, {{""}, {""}, {}}},
      {{"\t x\x01y\x7fz \x1b[A\n"}, {{"x y z  [A"}, {}}},
      {{"last"}, {{}, {"last"}}},
      {{"a\nb", "c"}, {{"a"}, {}, {"bc"}}},
      {{""}, {{}, {}}},
      // Cut to whole characters.
      {{x + e + "\n"}, {{x}, {}}},
      {{std::string(199, 'x') + e + "\n"}, {{std::string(199, 'x')}, {}}},
      {{std::string(198, 'x') + e + "\n"}, {{std::string(198, 'x') + e}, {}}},
      {{std::string(198, 'x') + euro + "\n"}, {{std::string(198, 'x')}, {}}},
      {{std::string(197, 'x') + euro + "\n"}, {{std::string(197, 'x') + euro}, {}}},
      {{"  " + std::string(199, 'x') + "  \n"}, {{std::string(199, 'x')}, {}}},
      // Trimmed after the cut, too.
      {{std::string(199, 'x') + " yz\n"}, {{std::string(199, 'x')}, {}}},
      // A line longer than kMaxMarkLine: one marker, the rest dropped.
      {{longLine + "TAIL\nnext\n"}, {{x, "next"}, {}}},
      {{longLine + "\n"}, {{x}, {}}},
      {{longLine, "\nnext\n"}, {{x}, {"next"}, {}}},
      {{std::string(3000, 'x'), std::string(1096, 'x') + "TAIL", "MORE", "\nnext"},
       {{}, {x}, {}, {}, {"next"}}},
      {{std::string(3000, 'x'), std::string(2000, 'x')}, {{}, {x}, {}}},
      {{std::string(kMaxMarkLine - 1, 'x') + "\n"}, {{x}, {}}},
  };
  for (const auto& c : cases) {
    MarkLines marks;
    std::vector<Labels> got;
    for (const std::string& chunk : c.chunks) got.push_back(marks.add(chunk));
    got.push_back(marks.end());
    std::string sizes;
    for (const std::string& chunk : c.chunks) sizes += std::to_string(chunk.size()) + " ";
    EXPECT_EQ(got, c.labels) << "chunks of " << sizes
                             << "bytes: " << c.chunks.front().substr(0, 40);
  }
  // One MarkLines goes on after a line it cut.
  MarkLines marks;
  EXPECT_EQ(marks.add(longLine), Labels{x});
  EXPECT_EQ(marks.add("rest\nnext\nhalf"), Labels{"next"});
  EXPECT_EQ(marks.end(), Labels{"half"});
  EXPECT_EQ(marks.add("again\n"), Labels{"again"});
}

// A recording's series, with the role the reader gives its name.
Recording::Series series(const std::string& name, const std::string& title, Values values) {
  const auto role = roleOf(name);
  EXPECT_TRUE(role.has_value()) << name;
  return {name, title, role.value_or(Role{}), std::move(values)};
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

}  // namespace
