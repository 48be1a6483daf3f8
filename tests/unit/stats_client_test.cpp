#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "device_stats.h"

namespace perfprobe {

void PrintTo(const CoreStats& c, std::ostream* os) {
  auto value = [](const std::optional<double>& v) { return v ? std::to_string(*v) : "NA"; };
  *os << "{cpu" << c.cpu << " " << value(c.khz) << "/" << value(c.maxKhz) << " kHz cluster "
      << (c.cluster ? std::to_string(*c.cluster) : "NA") << " load " << value(c.loadPct) << "}";
}

void PrintTo(const Cluster& c, std::ostream* os) { *os << c.name; }

}  // namespace perfprobe

namespace {

using namespace perfprobe;
using Fields = std::vector<DeviceStats::Field>;

// A phone of four CPUs, cpu3 offline, in the daemon's order, with a name
// that a newer daemon might add and two zones left out for a distant peer.
const std::string kReply =
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

  const DeviceStats stats = *parseDeviceStats(kReply);
  EXPECT_EQ(stats.number("battery_ma"), -512.0);
  EXPECT_EQ(stats.number("battery_status"), std::nullopt);
  EXPECT_EQ(stats.number("app_pids"), std::nullopt);
  EXPECT_EQ(stats.number("no_such_name"), std::nullopt);
  EXPECT_EQ(stats.text("battery_status"), "Not charging");
}

TEST(ClientStats, GroupsTheCpusThatShareAClock) {
  // Each CPU's clock and cluster by number, "khz/cluster", as the daemon
  // writes them.
  auto reply = [](const std::vector<std::string>& cpus) {
    std::string text = "uptime_ms 1\n";
    for (size_t i = 0; i < cpus.size(); ++i) {
      const std::string cpu = "cpu" + std::to_string(i);
      const size_t slash = cpus[i].find('/');
      text += cpu + "_khz " + cpus[i].substr(0, slash) + "\n" + cpu + "_cluster " +
              cpus[i].substr(slash + 1) + "\n";
    }
    return text;
  };
  const struct {
    std::string what;
    std::vector<std::string> cpus;
    std::vector<Cluster> clusters;
  } cases[] = {
      {"three clusters, the prime core alone",
       {"1/0", "1/0", "1/0", "1/0", "2/4", "2/4", "2/4", "3/7"},
       {{"cpu0-3", {0, 1, 2, 3}}, {"cpu4-6", {4, 5, 6}}, {"cpu7", {7}}}},
      // An offline core whose cluster is unknown stands alone, and its
      // cluster keeps the others with a gap.
      {"an offline core",
       {"1/0", "1/0", "1/0", "1/0", "2/4", "2/4", "NA/NA", "2/4"},
       {{"cpu0-3", {0, 1, 2, 3}}, {"cpu4-5+7", {4, 5, 7}}, {"cpu6", {6}}}},
      {"no cpufreq policies", {"1/NA", "1/NA"}, {{"cpu0", {0}}, {"cpu1", {1}}}},
      // Clusters come in the order of their first CPUs, cpu10 after cpu9.
      {"twelve CPUs",
       {"1/0", "1/0", "1/0", "1/0", "1/4", "1/4", "1/4", "1/4", "1/8", "1/8", "1/0", "1/8"},
       {{"cpu0-3+10", {0, 1, 2, 3, 10}}, {"cpu4-7", {4, 5, 6, 7}}, {"cpu8-9+11", {8, 9, 11}}}},
      {"none", {}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clusters(coreStats(*parseDeviceStats(reply(c.cpus)))), c.clusters) << c.what;
  }
}

TEST(ClientStats, ReadsEveryCpuAndZone) {
  // Names that only look like a CPU's are someone else's.
  const std::string odd =
      "uptime_ms 1\ncpu_khz 1\ncpu01_khz 2\ncpu1_foo 3\ncpux_khz 4\ncpu1234567_khz 5\n"
      "cpu12_khz 6\ncpu2_cluster x\ncpu2_load_pct 9.5\ntemp__c 1\ntemp_c 2\ntemp_a_c NA\n";
  const DeviceStats stats = *parseDeviceStats(odd);
  EXPECT_EQ(coreStats(stats), (std::vector<CoreStats>{{2, {}, {}, {}, 9.5}, {12, 6, {}, {}, {}}}));
  EXPECT_EQ(zones(stats), (std::vector<Zone>{{"a", {}}}));

  const DeviceStats phone = *parseDeviceStats(kReply);
  EXPECT_EQ(coreStats(phone), (std::vector<CoreStats>{{0, 1804800, 1804800, 0, 40.0},
                                                      {1, 1804800, 1804800, 0, 35.0},
                                                      {2, 2419200, 2841600, 2, 60.0},
                                                      {3, {}, {}, {}, {}}}));
  EXPECT_EQ(zones(phone), (std::vector<Zone>{{"cpu_0_0", 45.2},
                                             {"skin_therm", 33.5},
                                             {"battery", -1.5},
                                             {"gpuss_0", {}},
                                             {"xo_therm", 47.9}}));
}

TEST(ClientStats, ShowsTheWholeReplyAsTextAndAsJson) {
  const DeviceStats stats = *parseDeviceStats(kReply);
  EXPECT_EQ(cpuTable(coreStats(stats)),
            "cpu   clock kHz  max kHz  cluster  load %\n"
            "cpu0    1804800  1804800        0    40.0\n"
            "cpu1    1804800  1804800        0    35.0\n"
            "cpu2    2419200  2841600        2    60.0\n"
            "cpu3         NA       NA       NA      NA\n");
  EXPECT_EQ(statsText(stats),
            "Device\n"
            "  uptime                  123456 ms\n"
            "  memory available       2345678 kB\n"
            "CPU\n"
            "  load                      37.5 %\n"
            "  cpu   clock kHz  max kHz  cluster  load %\n"
            "  cpu0    1804800  1804800        0    40.0\n"
            "  cpu1    1804800  1804800        0    35.0\n"
            "  cpu2    2419200  2841600        2    60.0\n"
            "  cpu3         NA       NA       NA      NA\n"
            "GPU\n"
            "  source                    kgsl\n"
            "  clock                   585000 kHz\n"
            "  max                     680000 kHz\n"
            "  busy                      37.0 %\n"
            "Battery\n"
            "  level                       83 %\n"
            "  status            Not charging\n"
            "  voltage                   3912 mV\n"
            "  current                   -512 mA\n"
            "  power                    -2003 mW\n"
            "  temperature               31.2 °C\n"
            "App\n"
            "  processes                   NA\n"
            "  threads                     NA\n"
            "  rss                         NA\n"
            "  cpu                         NA\n"
            "perfprobed\n"
            "  cpu                        0.3 %\n"
            "  rss                       1234 kB\n"
            "Temperatures, hottest first\n"
            "  xo_therm                  47.9 °C\n"
            "  cpu_0_0                   45.2 °C\n"
            "  skin_therm                33.5 °C\n"
            "  battery                   -1.5 °C\n"
            "  gpuss_0                     NA\n"
            "Other\n"
            "  fan_mode          quiet please\n"
            "(2 temperatures left out: the daemon holds a reply to a distant peer to three times "
            "its request)\n");
  EXPECT_EQ(statsJson(stats),
            "{\"uptime_ms\":123456,\"cpu_load_pct\":37.5,\"cpu0_load_pct\":40.0,"
            "\"cpu1_load_pct\":35.0,\"cpu2_load_pct\":60.0,\"cpu3_load_pct\":null,"
            "\"cpu0_khz\":1804800,\"cpu1_khz\":1804800,\"cpu2_khz\":2419200,\"cpu3_khz\":null,"
            "\"cpu0_max_khz\":1804800,\"cpu1_max_khz\":1804800,\"cpu2_max_khz\":2841600,"
            "\"cpu3_max_khz\":null,\"cpu0_cluster\":0,\"cpu1_cluster\":0,\"cpu2_cluster\":2,"
            "\"cpu3_cluster\":null,\"gpu_khz\":585000,\"gpu_max_khz\":680000,"
            "\"gpu_busy_pct\":37.0,\"gpu_source\":\"kgsl\",\"battery_pct\":83,"
            "\"battery_status\":\"Not charging\",\"battery_mv\":3912,\"battery_ma\":-512,"
            "\"battery_mw\":-2003,\"battery_temp_c\":31.2,\"mem_available_kb\":2345678,"
            "\"app_pids\":null,\"app_threads\":null,\"app_rss_kb\":null,\"app_cpu_pct\":null,"
            "\"probe_cpu_pct\":0.3,\"probe_rss_kb\":1234,\"fan_mode\":\"quiet please\","
            "\"temp_cpu_0_0_c\":45.2,\"temp_skin_therm_c\":33.5,\"temp_battery_c\":-1.5,"
            "\"temp_gpuss_0_c\":null,\"temp_xo_therm_c\":47.9,\"truncated\":2}\n");
}

TEST(ClientStats, JsonKeepsEachNamesType) {
  const struct {
    std::string line;  // after the uptime
    std::string json;  // of that name
  } cases[] = {
      // A status or a source that reads like a number stays a string.
      {"gpu_source 3", "\"3\""},
      {"battery_status NA", "null"},
      // One of the daemon's numbers that is not one is null, never a
      // string under a name that holds numbers.
      {"gpu_khz 12x", "null"},
      {"temp_cpu_c 4O.0", "null"},
      {"cpu7_cluster -", "null"},
      // A name it does not know: a number when it reads as one, else as it
      // came.
      {"fan_rpm 1200", "1200"},
      {"fan_rpm -0.5", "-0.5"},
      {"fan_rpm 12 00", "\"12 00\""},
      {"fan_rpm NA", "null"},
      // Beyond 64 bits a count is a plain number.
      {"fan_rpm 99999999999999999999", "1e+20"},
  };
  for (const auto& c : cases) {
    const std::string name = c.line.substr(0, c.line.find(' '));
    const auto json =
        nlohmann::json::parse(statsJson(*parseDeviceStats("uptime_ms 1\n" + c.line + "\n")));
    EXPECT_EQ(json[name].dump(), c.json) << c.line;
  }
}

}  // namespace
