// The daemon's replies as the client reads them, from any bytes.
#include "replies.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "client_fixture.h"

namespace perfprobe {

// Field by field in a failure's message.
void PrintTo(const Reading::Field& f, std::ostream* os) {
  *os << f.name << "=" << (f.value ? "'" + *f.value + "'" : "NA");
}

}  // namespace perfprobe

namespace {

using namespace perfprobe;
using fixture::frameStatsReply;
using fixture::kLayer;
using fixture::kSteady;
using Khzs = std::vector<Khz>;
using Fields = std::vector<Reading::Field>;
using Text = std::optional<std::string>;

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

// The lines of a GET_FRAMESTATS reply in its order: the state, the ten
// numbers up to refresh_hz, the layer, jank_ms, the source and the phone's
// three counts, which are NA here.
Fields frameFields(const std::string& state, const std::vector<Text>& numbers, const Text& layer,
                   const Text& jankMs, const Text& source = {}) {
  static const char* const names[] = {"fps",          "frames",       "window_ms",
                                      "frame_ms_p50", "frame_ms_p95", "frame_ms_max",
                                      "jank",         "big_jank",     "missed_vsyncs",
                                      "refresh_hz"};
  Fields fields = {{"state", state}};
  for (size_t i = 0; i < std::size(names); ++i) {
    fields.push_back({names[i], i < numbers.size() ? numbers[i] : std::nullopt});
  }
  fields.push_back({"layer", layer});
  fields.push_back({"jank_ms", jankMs});
  fields.push_back({"source", source});
  for (const char* name : {"os_jank", "os_jank_app", "os_jank_sf"}) fields.push_back({name, {}});
  return fields;
}

TEST(ClientProtocol, ParsesFrameStatsLineByLine) {
  const Fields steady = frameFields("collecting",
                                    {"60.0", "60", "1000", "16.67", "16.68", "16.70", "0", "0",
                                     "0", "60.0"},
                                    kLayer, "0.00", "latency");
  Fields unknown = steady;  // names it does not know keep their place
  unknown.insert(unknown.begin(), Reading::Field{"vsync_offset", "2"});
  unknown.push_back(Reading::Field{"next_metric", "1 2 3"});
  const struct {
    std::string reply;
    std::optional<Fields> fields;
  } cases[] = {
      {kSteady, steady},
      {frameStatsReply("idle", {}), frameFields("idle", {}, {}, {})},
      // Names it does not know, before, between and after, with or without
      // a value; a repeated name keeps its first value.
      {"vsync_offset 2\n" + kSteady.substr(0, 26) + "x\nfps 1.0\nstate idle\n" +
           kSteady.substr(26) + "next_metric 1 2 3\n",
       unknown},
      // A line the daemon has not ended counts as absent.
      {kSteady.substr(0, 26), Fields{{"state", "collecting"}, {"fps", "60.0"}}},
      {kSteady.substr(0, 25), Fields{{"state", "collecting"}}},
      {"state collecting", std::nullopt},
      // Values that are not the daemon's numbers are missing; a count has no
      // point.
      {frameStatsReply("collecting",
                       {"6O.0", "60.0", "-1", ".5", "5.", "1e3", " 1", "18446744073709551616",
                        "7", "60.0\r", "0x1"},
                       kLayer),
       frameFields("collecting", {{}, {}, {}, {}, {}, {}, {}, "18446744073709551616", "7", {}},
                   kLayer, {})},
      {frameStatsReply("no-layer", {}, "a b  c"), frameFields("no-layer", {}, "a b  c", {})},
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
      {std::string("state idle\nfps\0 1.0\nfps 2.0\0\n", 29),
       Fields{{"state", "idle"}, {std::string("fps\0", 4), "1.0"}, {"fps", {}}}},
  };
  for (const auto& c : cases) {
    const auto stats = parseFrameStats(c.reply);
    ASSERT_EQ(stats.has_value(), c.fields.has_value()) << c.reply;
    EXPECT_EQ(isFrameStats(c.reply), c.fields.has_value()) << c.reply;
    if (!stats) continue;
    EXPECT_EQ(stats->fields, *c.fields) << c.reply;
  }
  // A number as the daemon wrote it, and as a number.
  const Reading reading = *parseFrameStats(kSteady);
  EXPECT_EQ(reading.text("frame_ms_max"), "16.70");
  EXPECT_EQ(reading.number("frame_ms_max"), 16.7);
  EXPECT_EQ(reading.number("layer"), std::nullopt);
  EXPECT_EQ(reading.text("layer"), kLayer);
}

TEST(ClientProtocol, ParsesAnyBytesAsFrameStatsWithoutHarm) {
  // Every prefix of a reply: a state only once its line has ended, and each
  // value only once its own line has.
  for (size_t n = 0; n <= kSteady.size(); ++n) {
    const auto stats = parseFrameStats(kSteady.substr(0, n));
    ASSERT_EQ(stats.has_value(), n >= 17) << n;
    if (stats) {
      EXPECT_EQ(stats->text("source").has_value(), n > kSteady.find("\nos_jank ")) << n;
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

TEST(ClientStats, ParsesTheReplyLineByLine) {
  const struct {
    std::string reply;
    std::optional<Fields> fields;
    std::optional<uint64_t> truncated;
  } cases[] = {
      {"uptime_ms 5\n", Fields{{"uptime_ms", "5"}}, {}},
      // NA is no value; the rest of the line is the value, spaces and all.
      {"uptime_ms NA\nbattery_status Not charging\n",
       Fields{{"uptime_ms", {}}, {"battery_status", "Not charging"}},
       {}},
      // Names it does not know keep their place; "truncated" is no field.
      {"fan_rpm 1200\nuptime_ms 5\ntruncated 12\nzz a  b\n",
       Fields{{"fan_rpm", "1200"}, {"uptime_ms", "5"}, {"zz", "a  b"}}, 12},
      {"uptime_ms 5\ntruncated x\n", Fields{{"uptime_ms", "5"}}, {}},
      // A repeated name keeps its first value; an unended line is absent,
      // and so is a line without a name or a value.
      {"uptime_ms 5\ncpu_load_pct 1.0\ncpu_load_pct 2.0\ngpu_khz 7",
       Fields{{"uptime_ms", "5"}, {"cpu_load_pct", "1.0"}},
       {}},
      {"uptime_ms 5\n 7\nlonely\n", Fields{{"uptime_ms", "5"}}, {}},
      // Without an uptime it is some other reply.
      {"cpu_load_pct 1.0\n", std::nullopt, {}},
      {"uptime_ms 5", std::nullopt, {}},
      {"state idle\nfps NA\n", std::nullopt, {}},
      {"success", std::nullopt, {}},
      {"cpuFreq:300000", std::nullopt, {}},
      {"", std::nullopt, {}},
  };
  for (const auto& c : cases) {
    const auto stats = parseDeviceStats(c.reply);
    ASSERT_EQ(stats.has_value(), c.fields.has_value()) << c.reply;
    EXPECT_EQ(isDeviceStats(c.reply), c.fields.has_value()) << c.reply;
    if (!stats) continue;
    EXPECT_EQ(stats->fields, *c.fields) << c.reply;
    EXPECT_EQ(stats->truncated, c.truncated) << c.reply;
  }
}

TEST(ClientStats, ReadsTheDaemonsNumbersOnly) {
  const struct {
    std::string text;
    std::optional<double> value;
  } cases[] = {
      {"0", 0},   {"37.5", 37.5}, {"-512", -512}, {"-1.5", -1.5}, {"1804800", 1804800}, {"NA", {}},
      {"", {}},   {"-", {}},      {"--1", {}},    {".5", {}},     {"5.", {}},           {"1e3", {}},
      {" 1", {}}, {"1 ", {}},     {"0x1", {}},    {"+1", {}},     {"1.2.3", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(statsNumber(c.text), c.value) << c.text;

  const Reading stats = *parseDeviceStats(fixture::kPhoneStats);
  EXPECT_EQ(stats.number("battery_ma"), -512.0);
  EXPECT_EQ(stats.number("battery_status"), std::nullopt);
  EXPECT_EQ(stats.number("app_pids"), std::nullopt);
  EXPECT_EQ(stats.number("no_such_name"), std::nullopt);
  EXPECT_EQ(stats.text("battery_status"), "Not charging");
}

TEST(ClientProtocol, ReadsDigitsAsAWholeNumberWithin64Bits) {
  const struct {
    std::string text;
    std::optional<uint64_t> value;
  } cases[] = {
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.0", std::nullopt},
      {std::string("1\0", 2), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseUnsigned(c.text), c.value) << c.text;
}

}  // namespace
