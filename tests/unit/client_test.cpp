#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "replies.h"
#include "report.h"
#include "series.h"
#include "sources.h"

namespace perfprobe {

// Field by field in a failure's message.
void PrintTo(const FrameStats& s, std::ostream* os) {
  auto value = [](const std::optional<double>& v) { return v ? std::to_string(*v) : "NA"; };
  *os << "{state '" << s.state << "' fps " << value(s.fps) << " frames " << value(s.frames)
      << " window_ms " << value(s.windowMs) << " frame_ms " << value(s.frameMsP50) << "/"
      << value(s.frameMsP95) << "/" << value(s.frameMsMax) << " jank " << value(s.jank) << "/"
      << value(s.bigJank) << " missed_vsyncs " << value(s.missedVsyncs) << " refresh_hz "
      << value(s.refreshHz) << " jank_ms " << value(s.jankMs) << " layer "
      << (s.layer ? "'" + *s.layer + "'" : "NA") << "}";
}

}  // namespace perfprobe

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

// A GET_FRAMESTATS reply as the daemon writes it, each value in its line.
std::string statsReply(const std::string& state, const std::vector<std::string>& values,
                       const std::string& layer = "NA") {
  static const char* const names[] = {"fps",          "frames",       "window_ms",
                                      "frame_ms_p50", "frame_ms_p95", "frame_ms_max",
                                      "jank",         "big_jank",     "missed_vsyncs",
                                      "refresh_hz"};
  std::string reply = "state " + state + "\n";
  for (size_t i = 0; i < std::size(names); ++i) {
    reply += std::string(names[i]) + " " + (i < values.size() ? values[i] : "NA") + "\n";
  }
  reply += "layer " + layer + "\n";
  return reply + "jank_ms " + (values.size() > 10 ? values[10] : "NA") + "\n";
}

const std::string kLayer = "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#148";
const std::string kSteady =
    "state collecting\nfps 60.0\nframes 60\nwindow_ms 1000\nframe_ms_p50 16.67\n"
    "frame_ms_p95 16.68\nframe_ms_max 16.70\njank 0\nbig_jank 0\nmissed_vsyncs 0\n"
    "refresh_hz 60.0\nlayer " + kLayer + "\njank_ms 0.00\n";

TEST(ClientProtocol, ParsesFrameStatsLineByLine) {
  const FrameStats steady = {"collecting", 60.0, 60,  1000, 16.67, 16.68, 16.70,
                             0,            0,    0,   60.0, 0.0,   kLayer};
  const FrameStats idle = {"idle", {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
  FrameStats collecting = idle;
  collecting.state = "collecting";
  FrameStats firstLines = collecting;
  firstLines.fps = 60.0;
  FrameStats odd = steady;  // values that are not the daemon's numbers are missing
  odd.fps = odd.frames = odd.windowMs = odd.frameMsP50 = odd.frameMsP95 = odd.frameMsMax =
      odd.jank = odd.refreshHz = odd.jankMs = std::nullopt;
  odd.bigJank = 18446744073709551616.0;
  odd.missedVsyncs = 7;
  FrameStats named = idle;
  named.state = "no-layer";
  named.layer = "a b  c";
  const struct {
    std::string reply;
    std::optional<FrameStats> stats;
  } cases[] = {
      {kSteady, steady},
      {statsReply("idle", {}), idle},
      // Names it does not know, before, between and after, with or without
      // a value; a repeated name keeps its first value.
      {"vsync_offset 2\n" + kSteady.substr(0, 26) + "x\nfps 1.0\nstate idle\n" +
           kSteady.substr(26) + "next_metric 1 2 3\n",
       steady},
      // A line the daemon has not ended counts as absent.
      {kSteady.substr(0, 26), firstLines},
      {kSteady.substr(0, 25), collecting},
      {"state collecting", std::nullopt},
      {statsReply("collecting",
                  {"6O.0", "60.0", "-1", ".5", "5.", "1e3", " 1", "18446744073709551616", "7",
                   "60.0\r", "0x1"},
                  kLayer),
       odd},
      {statsReply("no-layer", {}, "a b  c"), named},
      // Without a state it is some other reply.
      {kSteady.substr(17), std::nullopt},
      {"state \n" + kSteady.substr(17), std::nullopt},
      {"state\ncollecting\n", std::nullopt},
      {"STATE collecting\n", std::nullopt},
      {"59", std::nullopt},
      {"success", std::nullopt},
      {"cpuFreq:300000", std::nullopt},
      {"", std::nullopt},
      {"\n\n\n", std::nullopt},
      {std::string("\0state idle\n", 12), std::nullopt},
      // A zero byte is one more byte of a name or a value.
      {std::string("state idle\nfps\0 1.0\nfps 2.0\0\n", 29), FrameStats{"idle", {}, {}, {}, {},
                                                                       {}, {}, {}, {}, {}, {}, {},
                                                                       {}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseFrameStats(c.reply), c.stats) << c.reply;
}

TEST(ClientProtocol, ParsesAnyBytesAsFrameStatsWithoutHarm) {
  // Every prefix of a reply: a state only once its line has ended, and each
  // value only once its own line has.
  for (size_t n = 0; n <= kSteady.size(); ++n) {
    const auto stats = parseFrameStats(kSteady.substr(0, n));
    ASSERT_EQ(stats.has_value(), n >= 17) << n;
    if (stats) {
      EXPECT_EQ(stats->jankMs.has_value(), n == kSteady.size()) << n;
    }
  }
  // Bytes from a fixed generator, weighted towards the reply's own.
  uint32_t seed = 12345;
  const std::string alphabet =
      std::string("state fps jank_ms layer NA 0123456789.\n\r \t") + std::string("\0\xff", 2);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const size_t size = round % 97;
    for (size_t i = 0; i < size; ++i) {
      seed = seed * 1103515245 + 12345;
      bytes += alphabet[(seed >> 16) % alphabet.size()];
    }
    const auto stats = parseFrameStats(bytes);
    if (stats) {
      EXPECT_NE(bytes.find("state "), std::string::npos) << bytes;
    }
  }
}

// One sample of the monitor's table: a frame rate and CPU values by number.
struct Row {
  double t;
  std::optional<int32_t> fps;
  Khzs cpus;
};

// The monitor's table of `cpus` CPUs. A row with fewer CPU values than that
// leaves the rest missing, as a shorter report does.
Table table(const std::vector<Row>& rows, size_t cpus) {
  Table t;
  t.kinds = {fpsKind(), cpuKind(cpus)};
  for (const Row& row : rows) {
    std::vector<Value> values = {row.fps ? Value(*row.fps) : std::nullopt};
    for (const Khz& khz : row.cpus) values.push_back(khz ? Value(double(*khz)) : std::nullopt);
    t.append(row.t, values);
  }
  return t;
}

// The figure of the series `series` of the table's kind `kind` that the
// JSON summary names `key`.
std::optional<double> figureOf(const Table& t, size_t kind, size_t series, const std::string& key,
                               double intervalS) {
  const Kind& k = t.kinds.at(kind);
  for (const Figure& f : k.figures) {
    if (f.key == key) return figure(k, k.series.at(series), f, intervalS);
  }
  ADD_FAILURE() << "no figure " << key;
  return std::nullopt;
}

constexpr size_t kFpsKind = 0;
constexpr size_t kCpuKind = 1;

TEST(ClientReport, SummarizesTheFrameRateAndEveryCpu) {
  std::vector<Row> rows;
  // 20 samples with a rate: 10, 20, ..., 200 shuffled; one without.
  const int order[] = {7, 3, 19, 0, 12, 5, 16, 9, 1, 14, 18, 2, 11, 6, 15, 4, 13, 8, 17, 10};
  for (int i = 0; i < 20; ++i) {
    rows.push_back({i + 1.0, (order[i] + 1) * 10, {1000000, std::nullopt}});
  }
  rows.push_back({21, std::nullopt, {3000000, std::nullopt}});
  const Table s = table(rows, 2);
  auto fps = [&](const char* key) { return figureOf(s, kFpsKind, 0, key, 0.5); };
  auto cpu = [&](size_t i, const char* key) { return figureOf(s, kCpuKind, i, key, 0.5); };
  EXPECT_EQ(s.size(), 21u);
  EXPECT_EQ(fps("samples"), 20.0);
  EXPECT_EQ(fps("min"), 10.0);
  EXPECT_EQ(fps("median"), 105.0);
  EXPECT_EQ(fps("mean"), 105.0);
  EXPECT_EQ(fps("p5"), 10.0);                // rank ceil(1.0) = 1
  EXPECT_EQ(fps("seconds_below_30"), 1.0);  // 10 and 20, half a second each
  ASSERT_EQ(s.kinds[kCpuKind].series.size(), 2u);
  EXPECT_DOUBLE_EQ(*cpu(0, "mean_mhz"), (20 * 1000.0 + 3000.0) / 21);
  EXPECT_EQ(cpu(0, "max_mhz"), 3000.0);
  EXPECT_EQ(cpu(1, "mean_mhz"), std::nullopt);
  EXPECT_EQ(cpu(1, "max_mhz"), std::nullopt);

  // The 5th percentile by nearest rank, and an odd count's median.
  std::vector<Row> more;
  for (int i = 1; i <= 41; ++i) more.push_back({double(i), i, {}});
  const Table m = table(more, 0);
  EXPECT_EQ(figureOf(m, kFpsKind, 0, "p5", 1.0), 3.0);  // ceil(41 * 0.05) = 3
  EXPECT_EQ(figureOf(m, kFpsKind, 0, "median", 1.0), 21.0);
  EXPECT_EQ(figureOf(m, kFpsKind, 0, "seconds_below_30", 1.0), 29.0);

  // Without a single rate: counts are 0, the rest is missing.
  const Table none = table({{1, std::nullopt, {}}}, 1);
  EXPECT_EQ(figureOf(none, kFpsKind, 0, "samples", 1.0), 0.0);
  EXPECT_EQ(figureOf(none, kFpsKind, 0, "seconds_below_30", 1.0), 0.0);
  EXPECT_EQ(figureOf(none, kFpsKind, 0, "min", 1.0), std::nullopt);
  EXPECT_EQ(figureOf(none, kFpsKind, 0, "p5", 1.0), std::nullopt);
}

TEST(ClientReport, WritesMissingValuesAsNaNeverAsZero) {
  const Table s = table({{1.0004, 59, {1785600, std::nullopt, 0}}}, 3);
  EXPECT_EQ(csvHeader(s), "time_s,fps,cpu0_khz,cpu1_khz,cpu2_khz\n");
  EXPECT_EQ(csvRow(s, 0), "1.000,59,1785600,NA,0\n");
  // A report with fewer CPUs than the columns: the rest is missing.
  EXPECT_EQ(csvRow(table({{2.5, std::nullopt, {}}}, 2), 0), "2.500,NA,NA,NA\n");
  EXPECT_EQ(csvHeader(table({}, 0)), "time_s,fps\n");

  EXPECT_EQ(liveLine(s, 0), "     1.0    59   1786     NA      0\n");
  EXPECT_EQ(liveHeader(s), "  time_s   fps   cpu0   cpu1   cpu2  (MHz)\n");
  EXPECT_EQ(liveHeader(table({}, 0)), "  time_s   fps\n");

  const auto json = nlohmann::json::parse(jsonSample(s, 0));
  EXPECT_EQ(json, nlohmann::json::parse(
                      R"({"time_s":1.0,"fps":59,"cpu_khz":[1785600,null,0]})"));
  EXPECT_EQ(jsonSample(table({{0.25, std::nullopt, {}}}, 1), 0),
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
  const Table s = table({{1, 59, {1785600, std::nullopt}}, {2, 28, {300000, std::nullopt}}}, 2);
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
  const Table none = table({{1, std::nullopt, {}}}, 0);
  EXPECT_EQ(summaryText(none, 1.0), "Summary: 1 samples, 0 with a frame rate\n");
  EXPECT_EQ(jsonSummary(none, 1.0),
            "{\"summary\":{\"samples\":1,\"fps\":{\"samples\":0,\"min\":null,\"median\":null,"
            "\"mean\":null,\"p5\":null,\"seconds_below_30\":0.0},\"cpus\":[]}}\n");
}

TEST(ClientReport, PlotScriptQuotesWhatItIsGivenAndNamesEmptyPanels) {
  const Table both = table({{1, 59, {1000, std::nullopt}}}, 2);
  const std::string script = plotScript("/tmp/d", "/x/it's.png", "monitor a'b_c", both);
  EXPECT_NE(script.find("set output '/x/it''s.png'\n"), std::string::npos) << script;
  EXPECT_NE(script.find("title 'monitor a''b_c' noenhanced"), std::string::npos) << script;
  EXPECT_NE(script.find("set terminal pngcairo size 1280,900 "), std::string::npos) << script;
  EXPECT_NE(script.find("set multiplot layout 2,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("plot '/tmp/d' using 1:2 with linespoints lw 2 pt 7 ps 0.6 title 'FPS', "
                        "30 with lines dashtype 2 lc rgb 'gray40' title '30 FPS'\n"),
            std::string::npos)
      << script;
  // Each CPU its own column in MHz; one without a value keeps its place in
  // the key.
  EXPECT_NE(script.find("plot '/tmp/d' using 1:(column(3)/1000.0) with lines lw 1.5 title "
                        "'cpu0', NaN with lines lw 1.5 title 'cpu1'\n"),
            std::string::npos)
      << script;
  EXPECT_EQ(script.find("set label"), std::string::npos) << script;
  // Only the bottom panel names the time axis.
  EXPECT_LT(script.find("set xlabel 'time (s)'"), script.find("CPU frequency"));
  EXPECT_GT(script.find("set xlabel 'time (s)'"), script.find("frames per second"));

  // gnuplot fails on a panel without a single value: such a panel says why.
  const std::string empty = plotScript("/tmp/d", "/x/p.png", "t",
                                       table({{1, std::nullopt, {std::nullopt}}}, 1));
  EXPECT_NE(empty.find("'no frame rate'"), std::string::npos) << empty;
  EXPECT_NE(empty.find("'no CPU frequency'"), std::string::npos) << empty;
  EXPECT_EQ(empty.find("/tmp/d"), std::string::npos) << empty;
  const std::string noCpu = plotScript("/tmp/d", "/x/p.png", "t", table({{1, 59, {}}}, 0));
  EXPECT_NE(noCpu.find("'no CPU listed'"), std::string::npos) << noCpu;
}

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
            (std::vector<std::string>{kGetSimple, kGetFps, kGetSimple, kGetFps, kGetSimple, kGetFps, kGetSimple, kGetFps, kGetSimple}));

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
    kind.unit = "pct";
    kind.decimals = 1;
    kind.shownUnit = "%";
    kind.figures = {{Figure::kMean, "mean", "mean"}, {Figure::kMax, "max", "max"}};
    kind.panel.ylabel = "busy (%)";
    kind.panel.style = "with lines";
    kind.series = {{"busy", "Busy", {}}};
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

// What the client sends for frame statistics: the keyword padded with
// spaces to the most the daemon reads, for the largest reply from afar.
const std::string kFrameStatsRequest = "GET_FRAMESTATS" + std::string(1024 - 14, ' ');
const std::string kStatsRequest = "GET_STATS" + std::string(1024 - 9, ' ');

TEST(ClientSources, TheFramesAreFrameStatsOnlyWhenTheDaemonGivesThem) {
  const struct {
    std::deque<std::string> probe;  // the replies to the start's one short try
    bool stats;
  } cases[] = {
      {{kSteady}, true},
      // Before its first tick, or idle, a daemon still gives frame statistics.
      {{statsReply("collecting", {})}, true},
      {{statsReply("idle", {})}, true},
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
                "big_jank,missed_vsyncs,refresh_hz,jank_ms,cpu0_khz\n"
                "1.000,60.0,60,1000,16.67,16.68,16.70,0,0,0,60.0,0.00,300000\n"
                "2.000,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,400000\n")
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

// A GET_STATS reply of three CPUs, cpu0-1 sharing a clock and cpu2 alone,
// and three thermal zones; `change` gives a name another value, or leaves
// its line out with "-", and `more` ends the reply.
std::string deviceReply(const std::map<std::string, std::string>& change = {},
                        const std::string& more = "") {
  static const std::pair<const char*, const char*> lines[] = {
      {"uptime_ms", "1000"},          {"cpu_load_pct", "50.0"},
      {"cpu0_load_pct", "40.0"},      {"cpu1_load_pct", "60.0"},
      {"cpu2_load_pct", "50.0"},      {"cpu0_khz", "1000000"},
      {"cpu1_khz", "1000000"},        {"cpu2_khz", "2000000"},
      {"cpu0_max_khz", "1800000"},    {"cpu1_max_khz", "1800000"},
      {"cpu2_max_khz", "2800000"},    {"cpu0_cluster", "0"},
      {"cpu1_cluster", "0"},          {"cpu2_cluster", "2"},
      {"gpu_khz", "500000"},          {"gpu_max_khz", "600000"},
      {"gpu_busy_pct", "20.0"},       {"gpu_source", "kgsl"},
      {"battery_pct", "80"},          {"battery_status", "Discharging"},
      {"battery_mv", "3900"},         {"battery_ma", "-500"},
      {"battery_mw", "-1950"},        {"battery_temp_c", "30.0"},
      {"mem_available_kb", "2000000"}, {"app_pids", "1"},
      {"app_threads", "80"},          {"app_rss_kb", "400000"},
      {"app_cpu_pct", "120.0"},       {"probe_cpu_pct", "0.5"},
      {"probe_rss_kb", "1200"},       {"temp_cpu_0_0_c", "50.0"},
      {"temp_skin_therm_c", "35.0"},  {"temp_battery_c", "30.5"},
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
Table deviceTable(Replies* probe, Replies* daemon) {
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
  // The clusters instead of each CPU, the load, the GPU, the hottest zone
  // and the power, each of these headed by its column.
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

  // Six panels: the rate, the clusters' clocks instead of each CPU's, the
  // load, the GPU, the hottest zone beside the skin's and the battery's,
  // and the power.
  const std::string script = plotScript("/tmp/d", "/x/p.png", "t", t);
  EXPECT_NE(script.find("set multiplot layout 6,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'CPU frequency (MHz)'\n"
                        "plot '/tmp/d' using 1:(column(6)/1000.0) with lines lw 1.5 title "
                        "'cpu0-1', '/tmp/d' using 1:(column(7)/1000.0) with lines lw 1.5 title "
                        "'cpu2'\n"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("set termoption noenhanced\n"), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'temperature (°C)'\n"
                        "plot '/tmp/d' using 1:20 with lines lw 1.5 title 'skin_therm', "
                        "'/tmp/d' using 1:21 with lines lw 1.5 title 'battery', "
                        "'/tmp/d' using 1:22 with lines lw 1.5 title 'hottest'\n"),
            std::string::npos)
      << script;
  for (const char* panel : {"'load (%)'", "'GPU frequency (MHz)'", "'battery power (mW)'"}) {
    EXPECT_NE(script.find(panel), std::string::npos) << panel;
  }
  EXPECT_EQ(script.find("title 'cpu0'"), std::string::npos) << script;
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

// A table of the frame statistics' kinds and `cpus` CPUs: each row is the
// eleven numbers of a reply in its order, then the CPUs in kHz.
Table statsTable(const std::vector<std::vector<Value>>& rows, size_t cpus) {
  Table t;
  t.kinds = frameStatsKinds();
  t.kinds.push_back(cpuKind(cpus));
  for (size_t i = 0; i < rows.size(); ++i) t.append(static_cast<double>(i + 1), rows[i]);
  return t;
}

const std::vector<Value> kNoStats(11);

TEST(ClientReport, JankAndStutterAreRatesOfTheWindowsSampled) {
  const Table t = statsTable(
      {
          {60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0},
          {55.0, 55, 1000, 16.67, 33.33, 150.0, 2, 1, 3, 60.0, 240.0},
          kNoStats,
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
      {{kNoStats}, "Summary: 1 samples, 0 with a frame rate\n"},
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
    const Table m = statsTable(c.rows, 0);
    EXPECT_EQ(summaryText(m, 1.0), c.text);
    const auto s = nlohmann::json::parse(jsonSummary(m, 1.0))["summary"];
    for (const char* key : {"jank", "big_jank", "missed_vsyncs"}) {
      EXPECT_TRUE(s[key]["per_10_min"].is_null()) << key << " " << c.text;
    }
    EXPECT_TRUE(s["jank_ms"]["stutter_pct"].is_null()) << c.text;
  }
}

TEST(ClientReport, FrameStatsReachEveryOutput) {
  const Table t = statsTable(
      {
          {60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0, 1785600, std::nullopt},
          {55.0, 55, 1000, 16.67, 33.33, 150.0, 2, 1, 3, 60.0, 240.0, 300000, std::nullopt},
          kNoStats,
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
            "missed_vsyncs,refresh_hz,jank_ms,cpu0_khz,cpu1_khz\n");
  EXPECT_EQ(csvRow(t, 1), "2.000,55.0,55,1000,16.67,33.33,150.00,2,1,3,60.0,240.00,300000,NA\n");
  EXPECT_EQ(csvRow(t, 2), "3.000,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA,NA\n");
  EXPECT_EQ(jsonSample(t, 1),
            "{\"time_s\":2.0,\"fps\":55.0,\"frames\":55,\"window_ms\":1000,\"frame_ms_p50\":16.67,"
            "\"frame_ms_p95\":33.33,\"frame_ms_max\":150.0,\"jank\":2,\"big_jank\":1,"
            "\"missed_vsyncs\":3,\"refresh_hz\":60.0,\"jank_ms\":240.0,"
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
            "\"cpus\":[{\"mean_mhz\":1042.8,\"max_mhz\":1785.6},"
            "{\"mean_mhz\":null,\"max_mhz\":null}]}}\n");

  // Three panels: the rate, the frame times with the jank marked on the
  // longest frame (column 7) where column 8 (jank) or 9 (big_jank) is above
  // 0, and the CPUs from column 13.
  const std::string script = plotScript("/tmp/d", "/x/p.png", "t", t);
  EXPECT_NE(script.find("size 1280,1350 "), std::string::npos) << script;
  EXPECT_NE(script.find("set multiplot layout 3,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'frame time (ms)'\nset yrange [0:*]\n"
                        "plot '/tmp/d' using 1:5 with lines lw 1.5 title 'p50', "
                        "'/tmp/d' using 1:6 with lines lw 1.5 title 'p95', "
                        "'/tmp/d' using 1:7 with lines lw 1.5 title 'max', "
                        "'/tmp/d' using 1:(column(8) > 0 ? column(7) : NaN) with points pt 7 "
                        "ps 1.2 lc rgb 'orange' title 'jank', "
                        "'/tmp/d' using 1:(column(9) > 0 ? column(7) : NaN) with points pt 5 "
                        "ps 1.6 lc rgb 'red' title 'big jank'\n"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("using 1:(column(13)/1000.0) with lines lw 1.5 title 'cpu0'"),
            std::string::npos)
      << script;
  EXPECT_EQ(script.find("set ylabel", script.find("frame time") + 1),
            script.find("set ylabel 'CPU frequency (MHz)'"))
      << script;

  // No sample with a jank frame: the marks keep their place in the key
  // without a point, which gnuplot would refuse.
  const Table smooth = statsTable({{60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0}}, 0);
  const std::string calm = plotScript("/tmp/d", "/x/p.png", "t", smooth);
  EXPECT_NE(calm.find("title 'max', NaN with points pt 7 ps 1.2 lc rgb 'orange' title 'jank', "
                      "NaN with points pt 5 ps 1.6 lc rgb 'red' title 'big jank'\n"),
            calm.npos)
      << calm;
  const std::string none = plotScript("/tmp/d", "/x/p.png", "t", statsTable({kNoStats}, 0));
  EXPECT_NE(none.find("'no frame time'"), none.npos) << none;
}

}  // namespace
