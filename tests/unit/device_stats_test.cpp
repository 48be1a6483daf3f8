// GET_STATS as `perfprobe stats` and `cpu` show it: the CPUs, their
// clusters and the zones of a reply, as text and as JSON.
#include "device_stats.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "catalog.h"
#include "client_fixture.h"
#include "replies.h"

namespace perfprobe {

void PrintTo(const Core& c, std::ostream* os) {
  *os << "{cpu" << c.cpu << " cluster " << (c.cluster ? std::to_string(*c.cluster) : "NA") << "}";
}

void PrintTo(const Cluster& c, std::ostream* os) { *os << c.name; }

}  // namespace perfprobe

namespace {

using namespace perfprobe;
using fixture::kPhoneStats;

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
    EXPECT_EQ(clusters(cores(*parseDeviceStats(reply(c.cpus)))), c.clusters) << c.what;
  }
}

TEST(ClientStats, ReadsEveryCpuAndZone) {
  // Names that only look like a CPU's are someone else's.
  const std::string odd =
      "uptime_ms 1\ncpu_khz 1\ncpu01_khz 2\ncpu1_foo 3\ncpux_khz 4\ncpu1234567_khz 5\n"
      "cpu12_khz 6\ncpu2_cluster x\ncpu2_load_pct 9.5\ntemp__c 1\ntemp_c 2\ntemp_a_c NA\n";
  const Reading stats = *parseDeviceStats(odd);
  EXPECT_EQ(cores(stats), (std::vector<Core>{{2, {}}, {12, {}}}));
  EXPECT_EQ(cpuTable(stats),
            "cpu    clock kHz  max kHz  cluster  load %\n"
            "cpu2          NA       NA       NA     9.5\n"
            "cpu12          6       NA       NA      NA\n");
  EXPECT_EQ(zones(stats), (std::vector<Zone>{{"a", {}}}));

  const Reading phone = *parseDeviceStats(kPhoneStats);
  EXPECT_EQ(cores(phone), (std::vector<Core>{{0, 0}, {1, 0}, {2, 2}, {3, {}}}));
  EXPECT_EQ(zones(phone), (std::vector<Zone>{{"cpu_0_0", 45.2},
                                             {"skin_therm", 33.5},
                                             {"battery", -1.5},
                                             {"gpuss_0", {}},
                                             {"xo_therm", 47.9}}));
}

// A line's row decides whether it is a number, a text or one the client
// does not know.
TEST(ClientStats, KnowsEachLineByItsFieldOrFamily) {
  const struct {
    std::string name;
    std::string key;  // of the row; empty: none
  } cases[] = {
      {"uptime_ms", "uptime_ms"},
      {"cpu_load_pct", "cpu_load_pct"},
      {"cpu3_khz", "cpu*_khz"},
      {"cpu3_max_khz", "cpu*_max_khz"},
      {"cpu3_cluster", "cpu*_cluster"},
      {"cpu3_load_pct", "cpu*_load_pct"},
      {"cpu123456_khz", "cpu*_khz"},
      {"gpu_source", "gpu_source"},
      {"battery_status", "battery_status"},
      {"temp_skin_therm_c", "temp_*_c"},
      {"temp_c_c", "temp_*_c"},
      // A CPU's number has no leading zero and at most six digits; a zone
      // has a name.
      {"cpu03_khz", ""},
      {"cpu1234567_khz", ""},
      {"cpux_khz", ""},
      {"cpu_khz", ""},
      {"temp__c", ""},
      {"temp_c", ""},
      {"fan_rpm", ""},
      {"truncated", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    const Metric* row = statsRowOf(c.name);
    EXPECT_EQ(row != nullptr ? row->key() : "", c.key) << c.name;
  }
}

TEST(ClientStats, ShowsTheWholeReplyAsTextAndAsJson) {
  const Reading stats = *parseDeviceStats(kPhoneStats);
  EXPECT_EQ(cpuTable(stats),
            "cpu   clock kHz  max kHz  cluster  load %\n"
            "cpu0    1804800  1804800        0    40.0\n"
            "cpu1    1804800  1804800        0    35.0\n"
            "cpu2    2419200  2841600        2    60.0\n"
            "cpu3         NA       NA       NA      NA\n");
  // Within a section, the lines in the reply's order.
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
            "  clock                   585000 kHz\n"
            "  max                     680000 kHz\n"
            "  busy                      37.0 %\n"
            "  source                    kgsl\n"
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
