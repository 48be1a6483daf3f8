#include "stats/stats_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

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
  // Written over what the string held before.
  const auto named = [](std::string_view type) {
    std::string name = "temp_an_earlier_zone_of_a_longer_name_c";
    zoneName(type, &name);
    return name;
  };
  EXPECT_EQ(named("cpu-0-0-usr\n"), "temp_cpu_0_0_usr_c");
  EXPECT_EQ(named("xo_therm"), "temp_xo_therm_c");
  EXPECT_EQ(named("BAT THERM"), "temp_" + std::string(9, '_') + "_c");
  EXPECT_EQ(named("pm8550b-tz\xff"), "temp_pm8550b_tz__c");
  EXPECT_EQ(named(""), "temp__c");

  std::vector<std::string> given;
  for (const char* type : {"battery", "battery", "battery_2", "cpu-1", "cpu_1", "battery"}) {
    std::string name = named(type);
    makeZoneNameUnique(&name, [&given](const std::string& n) {
      return std::find(given.begin(), given.end(), n) != given.end();
    });
    given.push_back(name);
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

TEST(StatsParse, CoreSharesInTenthsRoundedHalfUp) {
  const struct {
    uint64_t busyNs, elapsedNs;
    std::optional<int64_t> tenths;
  } cases[] = {
      {250000000, 500000000, 500},   // half a core
      {1500000000, 500000000, 3000},  // three cores' worth
      {1, 3, 333},
      {2, 3, 667},
      {1, 2000, 1},    // 0.05 % rounds up
      {1, 2001, 0},
      {0, 1000, 0},
      {5, 0, std::nullopt},  // no time passed
      {UINT64_MAX / 2000, 1, static_cast<int64_t>(UINT64_MAX / 2000 * 1000)},
      {UINT64_MAX / 2000 + 1, 1, std::nullopt},  // beyond what fits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(coreShareTenths(c.busyNs, c.elapsedNs), c.tenths) << c.busyNs << " / " << c.elapsedNs;
  }
}

}  // namespace
