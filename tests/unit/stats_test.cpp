#include "stats/stats.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "package_pattern.h"
#include "stats/stats_parse.h"

namespace {

namespace fs = std::filesystem;

TEST(StatsParse, NumbersAndPercents) {
  const struct {
    const char* text;
    std::optional<int64_t> integer;
    std::optional<int64_t> percentTenths;
  } cases[] = {
      {"1804800\n", 1804800, std::nullopt},  // no share is above 10^6 %
      {"  -40 \n", -40, std::nullopt},
      {"+7", 7, std::nullopt},
      {"37 %\n", std::nullopt, 370},  // Adreno's gpu_busy_percentage
      {" 42%\n", std::nullopt, 420},  // Exynos' gpu_busy
      {"42", 42, 420},
      {"12.56 %", std::nullopt, 125},
      {"", std::nullopt, std::nullopt},
      {"%", std::nullopt, std::nullopt},
      {"12 34", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
      {"123456789012345678", 123456789012345678, std::nullopt},
      {"1234567890123456789", std::nullopt, std::nullopt},  // 19 digits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseInteger(c.text), c.integer) << c.text;
    EXPECT_EQ(parsePercentTenths(c.text), c.percentTenths) << c.text;
  }
}

TEST(StatsParse, GpuBusyCountersAndClocks) {
  const struct {
    const char* text;
    std::optional<int64_t> tenths;
  } busy[] = {
      {"  12345  100000\n", 123},  // 12.345 %
      {"0 0\n", 0},                // the GPU is off
      {"  5 0", 0},
      {"1 3", 333},
      {"2 3", 667},
      {"100 100", 1000},
      {"150 100", 1000},
      {"12345", std::nullopt},
      {"a b", std::nullopt},
  };
  for (const auto& c : busy) EXPECT_EQ(parseBusyCountersTenths(c.text), c.tenths) << c.text;

  const struct {
    int64_t raw;
    std::optional<int64_t> khz;
  } clocks[] = {
      {585, 585000},                          // Exynos: MHz
      {9999, 9999000},     {585000, 585000},  // kHz
      {585000000, 585000},                    // Adreno and devfreq: Hz
      {257999999, 258000}, {0, 0},            // powered off
      {-1, std::nullopt},
  };
  for (const auto& c : clocks) EXPECT_EQ(gpuClockKHz(c.raw), c.khz) << c.raw;
}

TEST(StatsParse, ThermalUnitsByMagnitude) {
  const struct {
    int64_t raw;
    const char* celsius;
  } cases[] = {
      {45123, "45.1"}, {45150, "45.2"}, {-5050, "-5.1"}, {1001, "1.0"},    // milli
      {1000, "100.0"}, {451, "45.1"},   {151, "15.1"},   {-200, "-20.0"},  // tenths
      {150, "150.0"},  {45, "45.0"},    {-40, "-40.0"},  {0, "0.0"},       // degrees
      {-49, "-49.0"},  {-0, "0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(tenthsText(thermalTenths(c.raw)), c.celsius) << c.raw;
  EXPECT_EQ(tenthsText(-4), "-0.4");
}

TEST(StatsParse, ZoneNames) {
  EXPECT_EQ(zoneName("cpu-0-0-usr\n"), "temp_cpu_0_0_usr_c");
  EXPECT_EQ(zoneName("xo_therm"), "temp_xo_therm_c");
  EXPECT_EQ(zoneName("BAT THERM"), "temp_" + std::string(9, '_') + "_c");
  EXPECT_EQ(zoneName("pm8550b-tz\xff"), "temp_pm8550b_tz__c");
  EXPECT_EQ(zoneName(""), "temp__c");

  std::vector<std::string> given;
  for (const char* type : {"battery", "battery", "battery_2", "cpu-1", "cpu_1", "battery"}) {
    given.push_back(uniqueZoneName(zoneName(type), [&given](const std::string& name) {
      return std::find(given.begin(), given.end(), name) != given.end();
    }));
  }
  EXPECT_EQ(given,
            (std::vector<std::string>{"temp_battery_c", "temp_battery_2_c", "temp_battery_2_2_c",
                                      "temp_cpu_1_c", "temp_cpu_1_2_c", "temp_battery_3_c"}));
}

TEST(StatsParse, BatteryCurrentSignsAndUnits) {
  const struct {
    const char* status;
    std::optional<int64_t> voltage, current;
    std::optional<int64_t> mv, ma, mw;
  } cases[] = {
      // µA, as documented: + while charging.
      {"Discharging", 3900000, -500000, 3900, -500, -1950},
      {"Charging", 4200000, 1500000, 4200, 1500, 6300},
      // The opposite sign, as several vendors report it.
      {"Discharging", 3900000, 500000, 3900, -500, -1950},
      {"Charging", 4200000, -1500000, 4200, 1500, 6300},
      // mA, either sign.
      {"Discharging", 3900000, -500, 3900, -500, -1950},
      {"Discharging", 3900000, 500, 3900, -500, -1950},
      {"Charging", 4200000, -1500, 4200, 1500, 6300},
      {"Charging", 4200000, 19999, 4200, 19999, 83996},
      {"Charging", 4200000, 20000, 4200, 20, 84},
      // Other states keep the sign given.
      {"Full", 4350000, 0, 4350, 0, 0},
      {"Not charging", 4000000, -20000, 4000, -20, -80},
      {"Unknown", 4000000, 30000, 4000, 30, 120},
      // Rounding half away from zero, and a voltage in mV.
      {"Discharging", 3900499, -1500, 3900, -1500, -5851},
      {"Discharging", 3900, -1000, 3900, -1000, -3900},
      // No battery is that large: no power rather than an overflow.
      {"Charging", 8888888881, 1095012000, 8888889, 1095012, std::nullopt},
      // What could not be read.
      {"Discharging", std::nullopt, -500000, std::nullopt, -500, std::nullopt},
      {"", 3900000, std::nullopt, 3900, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    BatteryRaw raw;
    raw.status = c.status;
    raw.voltage = c.voltage;
    raw.current = c.current;
    const Battery battery = normalizeBattery(raw);
    const std::string what = std::string(c.status) + " " + std::to_string(c.current.value_or(-1));
    EXPECT_EQ(battery.mv, c.mv) << what;
    EXPECT_EQ(battery.ma, c.ma) << what;
    EXPECT_EQ(battery.mw, c.mw) << what;
  }
}

TEST(StatsParse, ProcStatLinesAndLoads) {
  int cpu = 0;
  CpuTimes times;
  ASSERT_TRUE(parseCpuLine("cpu  100 10 50 800 40 5 5 0 30 0", &cpu, &times));
  EXPECT_EQ(cpu, -1);
  EXPECT_EQ(times.total, 1010u);
  EXPECT_EQ(times.busy, 170u);  // guest time is in user time already
  ASSERT_TRUE(parseCpuLine("cpu11 1 2 3 4 5 6 7 8", &cpu, &times));
  EXPECT_EQ(cpu, 11);
  for (const char* bad : {"cpu0 1 2 3", "intr 1 2 3 4 5 6 7 8", "cpux 1 2 3 4 5 6 7 8",
                          "cpu0 1 2 3 4 5 6 -7 8", "cpu01"}) {
    EXPECT_FALSE(parseCpuLine(bad, &cpu, &times)) << bad;
  }
  EXPECT_EQ(loadTenths({100, 1000}, {150, 1100}), 500);
  EXPECT_EQ(loadTenths({100, 1000}, {101, 1003}), 333);
  EXPECT_EQ(loadTenths({100, 1000}, {100, 1000}), std::nullopt);  // no time passed
  EXPECT_EQ(loadTenths({100, 1000}, {10, 50}), std::nullopt);     // counters restarted
}

TEST(StatsParse, CpuListsAndProcessFiles) {
  const struct {
    const char* list;
    int cpu;
    bool holds;
  } lists[] = {
      {"0-3\n", 2, true}, {"0 1 2 3\n", 3, true}, {"4-6 7\n", 7, true}, {"0-3", 4, false},
      {"", 0, false},     {"0,2-3", 1, false},    {"0,2-3", 3, true},   {"x0-3", 1, false},
  };
  for (const auto& c : lists) EXPECT_EQ(cpuListHolds(c.list, c.cpu), c.holds) << c.list;
  EXPECT_EQ(firstListedCpu("4-6 7"), 4);
  EXPECT_EQ(firstListedCpu("\n"), std::nullopt);

  const std::string meminfo =
      "MemTotal:  7700000 kB\nXMemAvailable: 9 kB\nMemAvailable:    2345678 kB\n";
  EXPECT_EQ(keyedValue(meminfo, "MemAvailable"), 2345678);
  EXPECT_EQ(keyedValue("MemTotal: 1 kB\n", "MemAvailable"), std::nullopt);

  // A command name may hold spaces and parentheses.
  const std::optional<ProcessStat> stat = parseProcessStat(
      "4242 (Render) (x) ) S 1 2 3 4 5 6 7 8 9 10 250 50 0 0 20 0 12 0 7777 1000000 3000 "
      "18446744073709551615\n");
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->cpuTicks, 300u);
  EXPECT_EQ(stat->threads, 12);
  EXPECT_EQ(stat->startTicks, 7777u);
  EXPECT_EQ(stat->rssPages, 3000);
  EXPECT_FALSE(parseProcessStat("4242 (game) S 1 2 3"));
  EXPECT_FALSE(parseProcessStat("no parenthesis"));
}

// A phone's files under a fresh temporary root.
class Phone : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/stats-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    chmod(root_.c_str(), 0755);
    forgetStatsSample();
  }
  void TearDown() override {
    forgetStatsSample();
    fs::remove_all(root_);
  }

  void file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path, std::ios::binary) << content;
  }
  void cpu(int n, const std::string& cur, const std::string& max) {
    const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(n) + "/cpufreq/";
    file(dir + "scaling_cur_freq", cur);
    file(dir + "cpuinfo_max_freq", max);
  }
  void procStat(const std::string& lines) { file("/proc/stat", lines + "intr 1 2 3\nctxt 99\n"); }

  // A small phone: cpu0-1 little, cpu2 big and offline (no cpufreq, no
  // /proc/stat line), an Adreno GPU, three zones, a battery.
  void smallPhone() {
    cpu(0, "300000\n", "1800000\n");
    cpu(1, "300000\n", "1800000\n");
    fs::create_directories(root_ + "/sys/devices/system/cpu/cpu2");
    fs::create_directories(root_ + "/sys/devices/system/cpu/cpuidle");
    file("/sys/devices/system/cpu/online", "0-1\n");
    file("/sys/devices/system/cpu/cpufreq/policy0/related_cpus", "0 1\n");
    file("/sys/devices/system/cpu/cpufreq/policy2/related_cpus", "2\n");
    procStat(
        "cpu  200 0 100 1700 0 0 0 0 0 0\ncpu0 100 0 50 850 0 0 0 0 0 0\n"
        "cpu1 100 0 50 850 0 0 0 0 0 0\n");
    const std::string kgsl = "/sys/class/kgsl/kgsl-3d0/";
    file(kgsl + "gpuclk", "585000000\n");
    file(kgsl + "max_gpuclk", "680000000\n");
    file(kgsl + "gpu_busy_percentage", "37 %\n");
    file("/sys/class/thermal/thermal_zone0/type", "cpu-0-0-usr\n");
    file("/sys/class/thermal/thermal_zone0/temp", "45123\n");
    file("/sys/class/thermal/thermal_zone10/type", "battery\n");
    file("/sys/class/thermal/thermal_zone10/temp", "312\n");
    file("/sys/class/thermal/thermal_zone2/type", "battery\n");
    file("/sys/class/thermal/thermal_zone2/temp", "30\n");
    file("/sys/class/thermal/cooling_device0/type", "fan\n");
    const std::string battery = "/sys/class/power_supply/battery/";
    file(battery + "capacity", "83\n");
    file(battery + "status", "Discharging\n");
    file(battery + "voltage_now", "3912000\n");
    file(battery + "current_now", "512000\n");
    file(battery + "temp", "312\n");
    file("/proc/meminfo", "MemTotal: 7700000 kB\nMemAvailable:    2345678 kB\n");
  }

  std::string stats(uint64_t nowNs, const PackagePattern* app = nullptr, uint64_t id = 0) {
    return readStats(root_, app, id, nowNs);
  }

  std::string root_;
};

// The reply without the lines that depend on the test process itself.
std::string withoutProbe(const std::string& reply) {
  std::istringstream in(reply);
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.rfind("probe_", 0) == 0) continue;
    out += line + "\n";
  }
  return out;
}

TEST_F(Phone, ReplyOfASmallPhoneThenLoadsSinceIt) {
  smallPhone();
  const std::string expected =
      "uptime_ms 5000\n"
      "cpu_load_pct NA\n"
      "cpu0_load_pct NA\n"
      "cpu1_load_pct NA\n"
      "cpu2_load_pct NA\n"
      "cpu0_khz 300000\n"
      "cpu1_khz 300000\n"
      "cpu2_khz NA\n"
      "cpu0_max_khz 1800000\n"
      "cpu1_max_khz 1800000\n"
      "cpu2_max_khz NA\n"
      "cpu0_cluster 0\n"
      "cpu1_cluster 0\n"
      "cpu2_cluster 2\n"
      "gpu_khz 585000\n"
      "gpu_max_khz 680000\n"
      "gpu_busy_pct 37.0\n"
      "gpu_source kgsl\n"
      "battery_pct 83\n"
      "battery_status Discharging\n"
      "battery_mv 3912\n"
      "battery_ma -512\n"
      "battery_mw -2003\n"
      "battery_temp_c 31.2\n"
      "mem_available_kb 2345678\n"
      "app_pids NA\n"
      "app_threads NA\n"
      "app_rss_kb NA\n"
      "app_cpu_pct NA\n"
      "temp_cpu_0_0_usr_c 45.1\n"
      "temp_battery_c 30.0\n"
      "temp_battery_2_c 31.2\n";
  const std::string first = stats(5000000000);
  EXPECT_EQ(withoutProbe(first), expected);
  EXPECT_NE(first.find("probe_cpu_pct NA\nprobe_rss_kb "), std::string::npos) << first;

  // cpu0 busy 50 of 100 jiffies, cpu1 busy 1 of 3; cpu1 then goes offline.
  procStat(
      "cpu  251 0 100 1752 0 0 0 0 0 0\ncpu0 150 0 50 900 0 0 0 0 0 0\n"
      "cpu1 101 0 50 852 0 0 0 0 0 0\n");
  std::string second = stats(6000000000);
  EXPECT_NE(second.find("cpu_load_pct 49.5\ncpu0_load_pct 50.0\ncpu1_load_pct 33.3\n"
                        "cpu2_load_pct NA\n"),
            std::string::npos)
      << second;
  procStat("cpu  300 0 100 1803 0 0 0 0 0 0\ncpu0 199 0 50 951 0 0 0 0 0 0\n");
  second = stats(7000000000);
  EXPECT_NE(second.find("cpu_load_pct 49.0\ncpu0_load_pct 49.0\ncpu1_load_pct NA\n"),
            std::string::npos)
      << second;
}

// /proc/stat is read a page at a time only as far as its CPU lines: a line
// that the page's end cuts within "cpu" must not end the reading.
TEST_F(Phone, CpuLinesPastTheFirstPageOfProcStat) {
  constexpr int kCpus = 100;
  for (int n = 0; n < kCpus; ++n) cpu(n, "300000\n", "1800000\n");
  const auto procStatText = [](uint64_t busy, uint64_t idle, size_t pad) {
    std::string lines;
    for (int cpu = 0; cpu < kCpus; ++cpu) {
      lines += "cpu" + std::to_string(cpu) + " " + std::to_string(busy) + " 0 0 " +
               std::to_string(idle) + " 0 0 0 0 0 0\n";
    }
    return "cpu " + std::string(pad, ' ') + std::to_string(busy * kCpus) + " 0 0 " +
           std::to_string(idle * kCpus) + " 0 0 0 0 0 0\n" + lines + "intr 1 2 3\n";
  };
  // Pads the first line so that a CPU line starts two bytes before 4096.
  const std::string plain = procStatText(1000, 1000, 1);
  const size_t last = plain.rfind("\ncpu", 4093) + 1;
  const std::string first = procStatText(1000, 1000, 1 + 4094 - last);
  ASSERT_EQ(first.compare(4093, 4, "\ncpu"), 0) << "the fixture must cut a line within \"cpu\"";
  file("/proc/stat", first);
  stats(1000000000);
  file("/proc/stat", procStatText(1050, 1050, 1 + 4094 - last));
  const std::string reply = stats(2000000000);
  EXPECT_NE(reply.find("cpu_load_pct 50.0\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("cpu99_load_pct 50.0\n"), std::string::npos) << reply;
}

TEST_F(Phone, EachGpuFamilyAndNone) {
  const struct {
    const char* name;
    std::map<std::string, std::string> files;
    const char* lines;
  } families[] = {
      {"kgsl through devfreq and gpubusy",
       {{"/sys/class/kgsl/kgsl-3d0/devfreq/cur_freq", "257000000\n"},
        {"/sys/class/kgsl/kgsl-3d0/devfreq/max_freq", "900000000\n"},
        {"/sys/class/kgsl/kgsl-3d0/gpubusy", "       0        0\n"}},
       "gpu_khz 257000\ngpu_max_khz 900000\ngpu_busy_pct 0.0\ngpu_source kgsl\n"},
      {"exynos",
       {{"/sys/kernel/gpu/gpu_clock", "0\n"},
        {"/sys/kernel/gpu/gpu_max_clock", "702\n"},
        {"/sys/kernel/gpu/gpu_busy", " 42%\n"}},
       "gpu_khz 0\ngpu_max_khz 702000\ngpu_busy_pct 42.0\ngpu_source exynos\n"},
      {"devfreq, past a bus and a folder that is not a GPU",
       {{"/sys/class/devfreq/soc:qcom,cpubw/cur_freq", "1000\n"},
        {"/sys/class/devfreq/1c500000.mali/cur_freq", "848000000\n"},
        {"/sys/class/devfreq/1c500000.mali/max_freq", "848000000\n"},
        {"/sys/class/devfreq/0.gpu-empty/trans_stat", "x\n"}},
       "gpu_khz 848000\ngpu_max_khz 848000\ngpu_busy_pct NA\ngpu_source devfreq\n"},
      {"a kgsl folder with nothing readable gives way",
       {{"/sys/class/kgsl/kgsl-3d0/gpuclk", "busy\n"}, {"/sys/kernel/gpu/gpu_clock", "300\n"}},
       "gpu_khz 300000\ngpu_max_khz NA\ngpu_busy_pct NA\ngpu_source exynos\n"},
      {"none",
       {{"/sys/class/devfreq/ddr/cur_freq", "1\n"}},
       "gpu_khz NA\ngpu_max_khz NA\ngpu_busy_pct NA\ngpu_source none\n"},
  };
  for (const auto& family : families) {
    fs::remove_all(root_ + "/sys");
    for (const auto& [path, content] : family.files) file(path, content);
    const std::string reply = stats(1000000000);
    EXPECT_NE(reply.find(family.lines), std::string::npos) << family.name << ":\n" << reply;
  }
}

TEST_F(Phone, AppProcessesWhileCollecting) {
  smallPhone();
  const auto process = [this](int pid, const std::string& cmdline, const std::string& ticks,
                              int threads, int start, int rssPages) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    file(dir + "cmdline", cmdline);
    file(dir + "stat", std::to_string(pid) + " (x) S 1 1 1 0 -1 0 0 0 0 0 " + ticks + " 0 0 20 0 " +
                           std::to_string(threads) + " 0 " + std::to_string(start) + " 0 " +
                           std::to_string(rssPages) + " 0\n");
  };
  process(100, std::string("com.example.game\0--flag\0", 24), "100 50", 40, 500, 1000);
  process(101, std::string("com.example.game:remote\0", 24), "10 0", 8, 600, 200);
  process(102, std::string("com.example.other\0", 18), "999 999", 9, 700, 9);
  process(103, "", "0 0", 1, 2, 0);                                   // a kernel thread
  file("/proc/self/cmdline", std::string("com.example.game\0", 17));  // not a process
  const PackagePattern pattern("com.example.game");
  const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
  const std::string rss = "app_rss_kb " + std::to_string(1200 * pageKb) + "\n";

  std::string reply = stats(1000000000, &pattern, 1);
  EXPECT_NE(reply.find("app_pids 2\napp_threads 48\n" + rss + "app_cpu_pct NA\n"),
            std::string::npos)
      << reply;
  // 0.5 s later: 25 more ticks of pid 100 (250 ms), and a new process with
  // 5 ticks in all; pid 101 is gone.
  fs::remove_all(root_ + "/proc/101");
  process(100, std::string("com.example.game\0", 17), "110 65", 40, 500, 1000);
  process(104, std::string("com.example.game\0", 17), "5 0", 2, 900, 100);
  const long ticks = sysconf(_SC_CLK_TCK);
  reply = stats(1500000000, &pattern, 1);
  const int64_t tenths = 30 * 2000 / ticks;  // 30 ticks over 0.5 s
  EXPECT_NE(reply.find("app_pids 2\napp_threads 42\napp_rss_kb " + std::to_string(1100 * pageKb) +
                       "\napp_cpu_pct " + tenthsText(tenths) + "\n"),
            std::string::npos)
      << reply;
  // Another collection starts over; idle is NA again.
  reply = stats(2000000000, &pattern, 2);
  EXPECT_NE(reply.find("app_cpu_pct NA\n"), std::string::npos) << reply;
  reply = stats(2500000000);
  EXPECT_NE(reply.find("app_pids NA\napp_threads NA\napp_rss_kb NA\napp_cpu_pct NA\n"),
            std::string::npos)
      << reply;
}

// A process's first argument is read again until it has had time to
// settle (a fork before its exec, an app before it takes its package's
// name), and then kept; a new process of the same pid is read afresh.
TEST_F(Phone, AProcessIsMatchedOnceItsFirstArgumentHasSettled) {
  smallPhone();
  const auto process = [this](int pid, const std::string& argv0) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    file(dir + "cmdline", argv0 + std::string(1, '\0'));
    file(dir + "stat", std::to_string(pid) + " (x) S 1 1 1 0 -1 0 0 0 0 0 7 3 0 0 20 0 5 0 " +
                           std::to_string(pid) + " 0 100 0\n");
  };
  const PackagePattern pattern("com.example.game");
  const auto pids = [&](uint64_t atNs) {
    const std::string reply = stats(atNs, &pattern, 1);
    const size_t at = reply.find("app_pids ");
    return reply.substr(at + 9, reply.find('\n', at) - at - 9);
  };
  process(300, "zygote64");  // forked, not yet named
  process(301, "com.example.game");
  EXPECT_EQ(pids(1000000000), "1");
  process(300, "com.example.game");  // it takes the package's name
  EXPECT_EQ(pids(1500000000), "2");
  EXPECT_EQ(pids(3500000000), "2");  // decided 2.5 s after it was first seen
  // Settled: the command lines are no longer read.
  fs::remove(root_ + "/proc/300/cmdline");
  process(302, "com.example.other");
  EXPECT_EQ(pids(4500000000), "2");
  EXPECT_EQ(pids(7000000000), "2");
  fs::remove(root_ + "/proc/302/cmdline");
  EXPECT_EQ(pids(8000000000), "2");
  // The same pid, a new process: read again. The old folder stays until the
  // new one is made, so that the file system cannot give the new one its
  // inode, as procfs never does.
  fs::rename(root_ + "/proc/300", root_ + "/proc/gone");
  process(300, "com.example.other");
  fs::remove_all(root_ + "/proc/gone");
  EXPECT_EQ(pids(8500000000), "1");
  // A settled process that renames itself is not read again, until another
  // collection reads everything afresh.
  process(302, "com.example.game");
  EXPECT_EQ(pids(9000000000), "1");
  EXPECT_NE(readStats(root_, &pattern, 2, 9500000000).find("app_pids 2\n"), std::string::npos);
}

// Unreadable files as a vendor's SELinux policy makes them: each gives NA,
// and nothing else changes. Root reads through modes, so the reply is taken
// in a child that has given up root.
TEST_F(Phone, UnreadableFilesGiveNAAndNothingElse) {
  smallPhone();
  const std::string before = withoutProbe(stats(1000000000));
  const struct {
    const char* path;
    const char* line;
  } denied[] = {
      {"/sys/devices/system/cpu/cpu1/cpufreq/scaling_cur_freq", "cpu1_khz NA\n"},
      {"/sys/class/thermal/thermal_zone0/temp", "temp_cpu_0_0_usr_c NA\n"},
      {"/sys/class/power_supply/battery/current_now", "battery_ma NA\nbattery_mw NA\n"},
      {"/sys/class/power_supply/battery/status",
       "battery_status NA\nbattery_mv 3912\nbattery_ma 512\n"},
      {"/proc/meminfo", "mem_available_kb NA\n"},
  };
  for (const auto& d : denied) {
    chmod((root_ + d.path).c_str(), 0);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeFds[0]);
      if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
      forgetStatsSample();
      const std::string reply = withoutProbe(stats(1000000000));
      _exit(write(pipeFds[1], reply.data(), reply.size()) == static_cast<ssize_t>(reply.size())
                ? 0
                : 4);
    }
    close(pipeFds[1]);
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
      reply.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << d.path;
    chmod((root_ + d.path).c_str(), 0644);

    // Only the lines of the denied file differ, and they read NA.
    EXPECT_NE(reply.find(d.line), std::string::npos) << d.path << ":\n" << reply;
    std::istringstream a(before), b(reply);
    std::string lineA, lineB;
    int differing = 0;
    while (std::getline(a, lineA) && std::getline(b, lineB)) {
      if (lineA != lineB) ++differing;
      EXPECT_EQ(lineA.substr(0, lineA.find(' ')), lineB.substr(0, lineB.find(' '))) << d.path;
    }
    EXPECT_GE(differing, 1) << d.path;
    EXPECT_LE(differing, 3) << d.path;
  }
}

TEST_F(Phone, AFifoOrAFolderInAFilesPlaceDoesNotStall) {
  smallPhone();
  const std::string fifo = root_ + "/sys/class/kgsl/kgsl-3d0/gpuclk";
  fs::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  fs::remove(root_ + "/sys/class/thermal/thermal_zone0/temp");
  fs::create_directories(root_ + "/sys/class/thermal/thermal_zone0/temp");
  // A zone whose type cannot be read is named by its folder.
  const std::string type = root_ + "/sys/class/thermal/thermal_zone2/type";
  fs::remove(type);
  ASSERT_EQ(mkfifo(type.c_str(), 0644), 0);
  const std::string reply = stats(1000000000);
  EXPECT_NE(reply.find("gpu_khz NA\ngpu_max_khz 680000\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("temp_cpu_0_0_usr_c NA\ntemp_thermal_zone2_c 30.0\ntemp_battery_c 31.2\n"),
            std::string::npos)
      << reply;
}

}  // namespace
