// A monitor's recording: the writer's lines and the reader of either
// version, and the marker labels of standard input.
#include "recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "catalog.h"
#include "client_fixture.h"
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
      {R"({"perfprobe_recording":3)" + series + "\n", "version 3;"},
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
  // Told from its name: a CPU's clock, drawn in MHz.
  ASSERT_NE(p.rec->series[1].row, nullptr);
  EXPECT_EQ(p.rec->series[1].row->chart, Chart::kCpuClock);
  EXPECT_EQ(p.rec->series[1].row->shownPer, 1000);
  EXPECT_EQ(p.rec->series[1].item, "1");
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

// A series of words takes only a word it knows, as the index the table
// keeps of it; any other word, a number or anything else is missing.
TEST(RecordingReader, TakesOnlyAKnownWordOfASeriesOfWords) {
  const std::string text =
      R"({"perfprobe_recording":2,"series":[{"name":"source","kind":"source"},)"
      R"({"name":"fps","kind":"fps"}]})"
      "\n"
      R"({"t":1,"v":["latency",1]})"
      "\n"
      R"({"t":2,"v":["timestats",2]})"
      "\n"
      R"({"t":3,"v":["frametimeline",3]})"
      "\n"
      R"({"t":4,"v":[1,4]})"
      "\n"
      R"({"t":5,"v":["Timestats",5]})"
      "\n"
      R"({"t":6,"v":[null,6]})"
      "\n" +
      std::string(kSummary);
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error;
  EXPECT_TRUE(p.warnings.empty()) << joined(p.warnings);
  EXPECT_EQ(valuesOf(*p.rec, "source"),
            (Values{0, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(valuesOf(*p.rec, "fps"), (Values{1, 2, 3, 4, 5, 6}));
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
  // missed_vsyncs, refresh_hz, jank_ms, source (0: latency, 1: timestats),
  // os_jank, os_jank_app, os_jank_sf, cpu0_khz, cpu1_khz.
  const auto na = std::nullopt;
  const std::vector<Values> rows = {
      {59.9, 60, 1001, 16.67, 16.94, 33.33, 0, 0, 1, 60, 0, 0, na, na, na, 300000, 1785600},
      {na, na, na, na, na, na, na, na, na, na, na, na, na, na, na, 300000, na},
      {30.5, 31, 1016, 33, 50, 83, 3, 1, 20, 120, 75.5, 1, 4, 3, 0, 2841600, 0},
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
  std::vector<const Metric*> kinds;
  std::vector<std::string> items;
  for (const Kind& kind : table.kinds) {
    for (const Series& s : kind.series) {
      names.push_back(s.name);
      titles.push_back(s.title);
      kinds.push_back(kind.metric);
      items.push_back(s.item);
    }
  }
  ASSERT_EQ(rec.series.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(rec.series[i].name, names[i]);
    EXPECT_EQ(rec.series[i].title, titles[i]);
    EXPECT_EQ(rec.series[i].row, kinds[i]) << names[i];
    EXPECT_EQ(rec.series[i].item, items[i]) << names[i];
    Values column;
    for (const Values& row : rows) column.push_back(row[i]);
    EXPECT_EQ(rec.series[i].values, column) << names[i];
  }
  EXPECT_EQ(names[9], "refresh_hz");
  EXPECT_EQ(names[10], "jank_ms");
  EXPECT_EQ(names[11], "source");
  EXPECT_EQ(names[16], "cpu1_khz");
  // The source as its word, not as the index the table keeps.
  EXPECT_NE(text.find(R"("v":[30.5,31,1016,33.0,50.0,83.0,3,1,20,120.0,75.5,"timestats",4,3,0,)"),
            std::string::npos)
      << text;

  // The header names each series' unit, chart and kind.
  const auto header = nlohmann::ordered_json::parse(text.substr(0, text.find('\n')));
  EXPECT_EQ(header["perfprobe_recording"], 2);
  EXPECT_EQ(header["series"][0].dump(),
            R"({"name":"fps","title":"FPS","unit":"","chart":"fps","kind":"fps"})");
  EXPECT_EQ(header["series"][2].dump(),
            R"({"name":"window_ms","title":"window","unit":"ms","chart":"","kind":"window_ms"})");
  EXPECT_EQ(header["series"][4].dump(),
            R"({"name":"frame_ms_p95","title":"p95","unit":"ms","chart":"frame_time",)"
            R"("kind":"frame_ms_p95"})");
  EXPECT_EQ(header["series"][11].dump(),
            R"({"name":"source","title":"frame source","unit":"","chart":"","kind":"source"})");
  EXPECT_EQ(header["series"][12].dump(),
            R"({"name":"os_jank","title":"phone's jank","unit":"","chart":"phone_jank",)"
            R"("kind":"os_jank"})");
  EXPECT_EQ(header["series"][16].dump(),
            R"({"name":"cpu1_khz","title":"cpu1","unit":"kHz","chart":"cpu_clock",)"
            R"("kind":"GET_SIMPLE"})");
}

// A monitor of GET_STATS and GET_FPS: every kind of series, its clusters,
// zones and the hottest among them, reads back as the row and item that
// made it.
TEST(RecordingReader, ReadsBackTheDevicesFiguresByTheirKinds) {
  fixture::Replies probe;
  fixture::Replies daemon;
  const Table table = fixture::deviceTable(&probe, &daemon);
  RecordingMeta meta;
  std::string text = recordingHeader(meta, table);
  for (size_t k = 0; k < table.size(); ++k) text += recordingSample(table, k);
  text += jsonSummary(table, meta.intervalS);
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error << "\n" << text;
  EXPECT_TRUE(p.warnings.empty()) << joined(p.warnings);
  size_t i = 0;
  for (const Kind& kind : table.kinds) {
    for (const Series& s : kind.series) {
      ASSERT_LT(i, p.rec->series.size());
      const Recording::Series& read = p.rec->series[i++];
      EXPECT_EQ(read.name, s.name);
      EXPECT_EQ(read.row, kind.metric) << s.name;
      EXPECT_EQ(read.item, s.item) << s.name;
      EXPECT_EQ(read.values, s.values) << s.name;
    }
  }
  EXPECT_EQ(i, p.rec->series.size());

  const auto header = nlohmann::json::parse(text.substr(0, text.find('\n')));
  std::map<std::string, std::string> told;
  for (const auto& s : header["series"]) {
    told[s["name"].get<std::string>()] =
        s["unit"].get<std::string>() + " " + s["chart"].get<std::string>() + " " +
        s["kind"].get<std::string>();
  }
  const std::map<std::string, std::string> want = {
      {"fps", " fps GET_FPS"},
      {"cpu0_khz", "kHz  cpu*_khz"},
      {"cluster0-1_khz", "kHz cpu_clock cluster*_khz"},
      {"cluster2_max_khz", "kHz cpu_clock cluster*_max_khz"},
      {"cpu_load_pct", "% cpu_load cpu_load_pct"},
      {"cluster0-1_load_pct", "% cpu_load cluster*_load_pct"},
      {"gpu_busy_pct", "% gpu gpu_busy_pct"},
      {"cpu2_load_pct", "%  cpu*_load_pct"},
      {"gpu_max_khz", "kHz gpu gpu_max_khz"},
      {"temp_skin_therm_c", "°C temperature temp_*_c"},
      {"temp_hottest_c", "°C temperature temp_hottest_c"},
      {"battery_mw", "mW power battery_mw"},
      {"battery_pct", "%  battery_pct"},
      {"app_threads", "  app_threads"},
      {"uptime_ms", "ms  uptime_ms"},
  };
  for (const auto& [name, what] : want) {
    const auto found = told.find(name);
    ASSERT_NE(found, told.end()) << name;
    EXPECT_EQ(found->second, what) << name;
  }
}

// A series of the second version is what its kind says; one of a kind this
// perfprobe does not know, or that makes no series of its name, is left
// out and the others keep their values.
TEST(RecordingReader, LeavesOutASeriesOfAKindItDoesNotKnow) {
  const std::string text =
      R"({"perfprobe_recording":2,"series":[)"
      R"({"name":"fps","title":"FPS","unit":"","chart":"fps","kind":"GET_FPS"},)"
      R"({"name":"warp_x","title":"warp","unit":"","chart":"","kind":"warp*_x"},)"
      R"({"name":"cpu0_khz","title":"cpu0","unit":"kHz","chart":"","kind":"fps"},)"
      R"({"name":"gpu_khz","title":"GPU"},)"
      R"({"name":"cluster0-1+4_khz","title":"cpu0-1+4","unit":"kHz","chart":"cpu_clock",)"
      R"("kind":"cluster*_khz"},)"
      R"({"name":"temp_skin_c","title":"skin","unit":"°C","chart":"","kind":"temp_*_c"}]})"
      "\n"
      R"({"t":1,"v":[50,1,2,3,5000,30.5]})"
      "\n"
      R"({"t":2,"v":[null,11,12,13,6000,31]})"
      "\n" +
      std::string(kSummary);
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error;
  ASSERT_EQ(p.warnings.size(), 3u) << joined(p.warnings);
  EXPECT_NE(p.warnings[0].find("\"warp_x\" is not one this perfprobe knows"), std::string::npos)
      << p.warnings[0];
  EXPECT_NE(p.warnings[1].find("\"cpu0_khz\""), std::string::npos) << p.warnings[1];
  EXPECT_NE(p.warnings[2].find("\"gpu_khz\""), std::string::npos) << p.warnings[2];
  ASSERT_EQ(p.rec->series.size(), 3u);
  EXPECT_EQ(p.rec->series[0].row, rowByKey("GET_FPS"));
  EXPECT_EQ(p.rec->series[1].row, rowByKey("cluster*_khz"));
  EXPECT_EQ(p.rec->series[1].item, "0-1+4");
  EXPECT_EQ(p.rec->series[2].row, rowByKey("temp_*_c"));
  EXPECT_EQ(p.rec->series[2].item, "skin");
  EXPECT_EQ(valuesOf(*p.rec, "fps"), (Values{50, std::nullopt}));
  EXPECT_EQ(valuesOf(*p.rec, "cluster0-1+4_khz"), (Values{5000, 6000}));
  EXPECT_EQ(valuesOf(*p.rec, "temp_skin_c"), (Values{30.5, 31}));
}

// A recording of the first version names its series and nothing more: each
// is the row that makes a series of that name, the one drawn where two do.
TEST(RecordingReader, TellsAFirstVersionsSeriesFromItsName) {
  const struct {
    std::string name;
    std::string key;  // of its row; empty: left out
    std::string item;
  } cases[] = {
      {"fps", "fps", ""},
      {"jank_ms", "jank_ms", ""},
      {"cpu3_khz", "GET_SIMPLE", "3"},
      {"cpu12_load_pct", "cpu*_load_pct", "12"},
      {"cluster0-3_khz", "cluster*_khz", "0-3"},
      // The writer's name of a cluster with a gap.
      {"cluster0-1+4_khz", "cluster*_khz", "0-1+4"},
      {"cluster7_max_khz", "cluster*_max_khz", "7"},
      {"cluster4-7_load_pct", "cluster*_load_pct", "4-7"},
      {"gpu_max_khz", "gpu_max_khz", ""},
      {"temp_skin_therm_c", "temp_*_c", "skin_therm"},
      {"temp_hottest_c", "temp_hottest_c", ""},
      {"battery_mw", "battery_mw", ""},
      {"uptime_ms", "uptime_ms", ""},
      // No series of the monitor has these names.
      {"cpu_khz", "", ""},
      {"cpux_khz", "", ""},
      {"cpu0_max_khz", "", ""},
      {"cpu0_cluster", "", ""},
      {"cluster_khz", "", ""},
      {"clusterx_khz", "", ""},
      {"temp__c", "", ""},
      {"gpu_source", "", ""},
      {"layer", "", ""},
      {"state", "", ""},
  };
  std::string names;
  std::string values;
  for (const auto& c : cases) {
    names += std::string(names.empty() ? "" : ",") + R"({"name":")" + c.name + R"("})";
    values += values.empty() ? "1" : ",1";
  }
  const std::string text = R"({"perfprobe_recording":1,"series":[)" + names + "]}\n" +
                           R"({"t":1,"v":[)" + values + "]}\n" + kSummary;
  const Parsed p = parse(text);
  ASSERT_TRUE(p.rec.has_value()) << p.error;
  for (const auto& c : cases) {
    const Recording::Series* s = p.rec->find(c.name);
    const bool warned = std::any_of(p.warnings.begin(), p.warnings.end(), [&](const std::string& w) {
      return w.find("\"" + c.name + "\" is not one") != std::string::npos;
    });
    if (c.key.empty()) {
      EXPECT_EQ(s, nullptr) << c.name;
      EXPECT_TRUE(warned) << c.name << "\n" << joined(p.warnings);
      continue;
    }
    ASSERT_NE(s, nullptr) << c.name << "\n" << joined(p.warnings);
    EXPECT_FALSE(warned) << c.name;
    ASSERT_NE(s->row, nullptr) << c.name;
    EXPECT_EQ(s->row->key(), c.key) << c.name;
    EXPECT_EQ(s->item, c.item) << c.name;
    EXPECT_EQ(s->values, Values{1}) << c.name;
  }
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

}  // namespace
