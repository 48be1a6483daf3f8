// The simulated phone's configuration: its keys, their defaults, and the
// reasons a bad value is refused.
#include "device_config.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

using sim::DeviceConfig;
using sim::kNsPerSecond;
using simtest::configOf;
using simtest::kMs;

TEST(SimConfig, EmptyOrCommentOnlyGivesTheDefaults) {
  for (const std::string text : {"", "\n\n", "# nothing set\n  \n\t# indented comment\n"}) {
    const DeviceConfig config = configOf(text);
    EXPECT_EQ(config.package, "com.example.game");
    EXPECT_EQ(sim::windowName(config), "com.example.game/com.example.game.MainActivity");
    EXPECT_EQ(config.refreshHz, 60);
    EXPECT_EQ(sim::refreshPeriodNs(config), 16666666);
    ASSERT_EQ(config.fps.size(), 1u);
    EXPECT_EQ(config.fps[0].fromNs, 0);
    EXPECT_EQ(config.fps[0].fps, 60);
    EXPECT_EQ(config.jitterNs, 0);
    EXPECT_EQ(config.stallEveryNs, 0);
    EXPECT_EQ(config.stallNs, 0);
    EXPECT_EQ(config.seed, 1u);
    EXPECT_EQ(config.android, 13);
    EXPECT_EQ(config.latencyRows, 0);
    EXPECT_EQ(config.prefix, sim::DumpPrefix::none);
    EXPECT_EQ(config.prefixPercent, 100);
    EXPECT_FALSE(config.timeoutSuffix);
  }
}

TEST(SimConfig, ReadsEveryKey) {
  const DeviceConfig config = configOf(
      "# a slow phone\r\n"
      "package = org.test.app\r\n"
      "activity=org.other.Main\n"
      "refresh_hz=90\n"
      "fps=0:30, 2.5:0 ,10.000000001:1000\n"
      "jitter_ms=2.5\n"
      "stall_every_s=1.5\n"
      "stall_ms=250\n"
      "android=15\n"
      "prefix=without_lock\n"
      "prefix_percent=0\n"
      "timeout_suffix=1\n"
      "seed=18446744073709551615");
  EXPECT_EQ(sim::windowName(config), "org.test.app/org.other.Main");
  EXPECT_EQ(sim::refreshPeriodNs(config), 11111111);
  ASSERT_EQ(config.fps.size(), 3u);
  EXPECT_EQ(config.fps[1].fromNs, 2500000000);
  EXPECT_EQ(config.fps[1].fps, 0);
  EXPECT_EQ(config.fps[2].fromNs, 10000000001);
  EXPECT_EQ(config.fps[2].fps, 1000);
  EXPECT_EQ(config.jitterNs, 2500000);
  EXPECT_EQ(config.stallEveryNs, 1500000000);
  EXPECT_EQ(config.stallNs, 250 * kMs);
  EXPECT_EQ(config.seed, UINT64_MAX);
  EXPECT_EQ(config.android, 15);
  EXPECT_EQ(config.prefix, sim::DumpPrefix::withoutLock);
  EXPECT_EQ(config.prefixPercent, 0);
  EXPECT_TRUE(config.timeoutSuffix);
  EXPECT_EQ(configOf("prefix=unresponsive").prefix, sim::DumpPrefix::unresponsive);
  for (const int version : {7, 10, 12, 13, 15})
    EXPECT_EQ(configOf("android=" + std::to_string(version)).android, version);
  EXPECT_EQ(configOf("android=14qpr2").android, sim::kAndroid14Qpr2);
  for (const int rows : {1, 64, 127})
    EXPECT_EQ(configOf("latency_rows=" + std::to_string(rows)).latencyRows, rows);
}

TEST(SimConfig, WindowNameJoinsPackageAndActivity) {
  const struct {
    std::string conf;
    std::string window;
  } cases[] = {
      {"package=a.b\nactivity=.Main", "a.b/a.b.Main"},
      {"package=a.b\nactivity=x.y.Main", "a.b/x.y.Main"},
      // Quotes, "$" and spaces stay as they are, for quoting tests of the daemon.
      {"package=it's $(x) app\nactivity=.A", "it's $(x) app/it's $(x) app.A"},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::windowName(configOf(c.conf)), c.window) << c.conf;
}

TEST(SimConfig, BadValuesAreRefusedWithLineAndReason) {
  const struct {
    std::string conf;
    std::string reason;  // part of the error
  } cases[] = {
      {"colour=blue", "line 1: colour: unknown key"},
      {"# ok\nfps 60", "line 2: expected key=value"},
      {"fps=1001", "fps: expected a frame rate"},
      {"fps=abc", "fps: expected a frame rate"},
      {"fps=-1", "fps: expected a frame rate"},
      {"fps=5:60", "must start at second 0"},
      {"fps=0:60,5:45,5:50", "increase strictly"},
      {"fps=0:60,5:45,3:50", "increase strictly"},
      {"fps=0:60,", "not SECONDS:FPS"},
      {"fps=0:60;5:45", "needs seconds"},
      {"fps=0:60,1.0000000001:30", "needs seconds"},
      {"fps=0:60,2.:30", "needs seconds"},
      {"fps=0:60,2:60.5", "needs seconds"},
      {"refresh_hz=0", "refresh_hz: expected"},
      {"refresh_hz=60.5", "refresh_hz: expected"},
      {"refresh_hz=", "refresh_hz: expected"},
      {"jitter_ms=-1", "jitter_ms: expected milliseconds"},
      {"jitter_ms=1e3", "jitter_ms: expected milliseconds"},
      {"stall_every_s=x", "stall_every_s: expected seconds"},
      {"seed=-3", "seed: expected"},
      {"seed=18446744073709551616", "seed: expected"},
      {"package=a/b", "package: must be non-empty"},
      {"activity=", "activity: must be non-empty"},
      {"fps=60\nfps=30", "line 2: fps: given twice"},
      {"stall_every_s=1\nstall_ms=1000", "stall_ms must be shorter"},
      {"android=11", "android: expected 7, 10, 12, 13, 14qpr2 or 15"},
      {"android=", "android: expected"},
      // Only QPR2 and later builds of 14 have the new front end.
      {"android=14", "android: expected"},
      {"android=14QPR2", "android: expected"},
      {"latency_rows=0", "latency_rows: expected a whole number from 1 to 127"},
      {"latency_rows=128", "latency_rows: expected"},
      {"latency_rows=64.0", "latency_rows: expected"},
      {"prefix=Unresponsive", "prefix: expected none, unresponsive or without_lock"},
      {"prefix=", "prefix: expected"},
      {"prefix_percent=101", "prefix_percent: expected a whole number from 0 to 100"},
      {"prefix_percent=50.5", "prefix_percent: expected"},
      {"timeout_suffix=2", "timeout_suffix: expected 0 or 1"},
      {"timeout_suffix=yes", "timeout_suffix: expected 0 or 1"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(sim::parseDeviceConfig(c.conf, &error).has_value()) << c.conf;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.conf << " -> " << error;
  }
}

TEST(SimConfig, AppStartIsDecimalNanoseconds) {
  const struct {
    std::string text;
    std::optional<int64_t> start;
  } cases[] = {
      {"123456789\n", 123456789},
      {"0", 0},
      {"", std::nullopt},
      {"\n", std::nullopt},
      {"12a\n", std::nullopt},
      {"-5", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::parseAppStart(c.text), c.start) << c.text;
}

TEST(SimDeviceConfig, ReadsTheDeviceKeys) {
  const DeviceConfig defaults = configOf("");
  EXPECT_EQ(defaults.gpu, sim::GpuFamily::kgsl);
  EXPECT_EQ(defaults.thermalUnit, sim::ThermalUnit::milli);
  EXPECT_EQ(defaults.throttleDeciC, 0);
  EXPECT_EQ(defaults.throttleFpsPercent, 75);
  EXPECT_EQ(defaults.thermalTauNs, 25 * kNsPerSecond);
  EXPECT_EQ(defaults.batteryPercent, 80);
  EXPECT_FALSE(defaults.batteryMilliamps);
  EXPECT_FALSE(defaults.batteryDischargingPositive);
  EXPECT_EQ(defaults.charging, sim::Charging::no);
  EXPECT_TRUE(defaults.offlineCpus.empty());
  EXPECT_EQ(defaults.appThreads, 4);

  const DeviceConfig c = configOf(
      "gpu=devfreq\nthermal_unit=deci\nthrottle_c=42.5\nthrottle_fps_pct=50\n"
      "thermal_tau_s=0.5\nbattery_pct=100\nbattery_current_unit=ma\n"
      "battery_current_sign=discharging_positive\ncharging=hold\noffline_cpus=7, 2\n"
      "app_threads=64");
  EXPECT_EQ(c.gpu, sim::GpuFamily::devfreq);
  EXPECT_EQ(c.thermalUnit, sim::ThermalUnit::deci);
  EXPECT_EQ(c.throttleDeciC, 425);
  EXPECT_EQ(c.throttleFpsPercent, 50);
  EXPECT_EQ(c.thermalTauNs, kNsPerSecond / 2);
  EXPECT_EQ(c.batteryPercent, 100);
  EXPECT_TRUE(c.batteryMilliamps);
  EXPECT_TRUE(c.batteryDischargingPositive);
  EXPECT_EQ(c.charging, sim::Charging::held);
  EXPECT_EQ(c.offlineCpus, (std::vector<int>{2, 7}));
  EXPECT_EQ(c.appThreads, 64);
  EXPECT_EQ(configOf("gpu=exynos").gpu, sim::GpuFamily::exynos);
  EXPECT_EQ(configOf("gpu=none").gpu, sim::GpuFamily::none);
  EXPECT_EQ(configOf("thermal_unit=degrees").thermalUnit, sim::ThermalUnit::degrees);
  EXPECT_EQ(configOf("charging=1").charging, sim::Charging::yes);
}

TEST(SimDeviceConfig, BadDeviceValuesAreRefusedWithLineAndReason) {
  const struct {
    std::string conf;
    std::string reason;  // part of the error
  } cases[] = {
      {"gpu=adreno", "line 1: gpu: expected kgsl, exynos, devfreq or none"},
      {"gpu=KGSL", "gpu: expected"},
      {"# c\n\nthermal_unit=celsius", "line 3: thermal_unit: expected milli, deci or degrees"},
      {"throttle_c=35", "throttle_c: expected °C above 35"},
      {"throttle_c=45.25", "throttle_c: expected"},
      {"throttle_c=151", "throttle_c: expected"},
      {"throttle_c=", "throttle_c: expected"},
      {"throttle_fps_pct=0", "throttle_fps_pct: expected a whole number from 1 to 100"},
      {"throttle_fps_pct=101", "throttle_fps_pct: expected"},
      {"thermal_tau_s=0.09", "thermal_tau_s: expected seconds from 0.1"},
      {"thermal_tau_s=3601", "thermal_tau_s: expected"},
      {"battery_pct=0", "battery_pct: expected"},
      {"battery_current_unit=A", "battery_current_unit: expected ua or ma"},
      {"battery_current_sign=positive", "battery_current_sign: expected charging_positive or"},
      {"charging=yes", "charging: expected 0, 1 or hold"},
      {"offline_cpus=64", "offline_cpus: expected CPU numbers below 64"},
      {"offline_cpus=1,1", "offline_cpus: expected"},
      {"offline_cpus=1-3", "offline_cpus: expected"},
      {"offline_cpus=", "offline_cpus: expected"},
      {"app_threads=0", "app_threads: expected a whole number from 1 to 64"},
      {"app_threads=65", "app_threads: expected"},
      {"gpu=kgsl\ngpu=none", "line 2: gpu: given twice"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(sim::parseDeviceConfig(c.conf, &error).has_value()) << c.conf;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.conf << " -> " << error;
  }
}

}  // namespace
