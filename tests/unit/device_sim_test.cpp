// The simulated phone behind GET_STATS: its heat, throttling, battery and
// CPU counters as functions of the app's run, and the tree it writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_config.h"
#include "device_files.h"
#include "device_model.h"
#include "fpsbench/latency.h"
#include "surface_flinger.h"

namespace {

namespace fs = std::filesystem;
using sim::DeviceConfig;
using sim::kNsPerSecond;

constexpr int64_t kMs = 1000000;
// An app start far from the clock's zero, as on a phone up for a while.
constexpr int64_t kStart = 5000 * kNsPerSecond;

DeviceConfig configOf(const std::string& text) {
  std::string error;
  const auto config = sim::parseDeviceConfig(text, &error);
  EXPECT_TRUE(config.has_value()) << text << ": " << error;
  return config.value_or(DeviceConfig());
}

sim::DeviceSample sampleAt(const DeviceConfig& config, double secondsAfterStart, int cpus = 8) {
  return sim::sampleDevice(config, cpus, kStart, 1,
                           kStart + static_cast<int64_t>(secondsAfterStart * kNsPerSecond));
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of its own for each test, removed at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/perfprobe-device-test-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    path_ = tmpl;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

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
  std::string error;
  EXPECT_FALSE(sim::offlineCpusFit(configOf("offline_cpus=4"), 4, &error));
  EXPECT_NE(error.find("no cpu4 among 4 CPUs"), std::string::npos) << error;
  EXPECT_FALSE(sim::offlineCpusFit(configOf("offline_cpus=0,1"), 2, &error));
  EXPECT_NE(error.find("one CPU at least stays online"), std::string::npos) << error;
  EXPECT_TRUE(sim::offlineCpusFit(configOf("offline_cpus=0,3"), 4, &error));
}

// The hottest zone follows a first-order step response: toward
// 35 + 20 * fps/60 °C while the app draws, back toward 35 °C at rest.
TEST(SimThermal, HeatsUnderLoadAndCoolsAtRest) {
  const DeviceConfig config = configOf("fps=0:60,60:0");
  const auto expected = [](double s) {
    const double at60 = 35 + 20 * (1 - std::exp(-60.0 / 25));
    return s <= 60 ? 35 + 20 * (1 - std::exp(-s / 25))
                   : 35 + (at60 - 35) * std::exp(-(s - 60) / 25);
  };
  double last = 0;
  for (double s = 0; s <= 200; s += 2.5) {
    const sim::DeviceSample sample = sampleAt(config, s);
    EXPECT_NEAR(sample.hottestCpuC, expected(s), 1e-6) << s << " s";
    if (s > 0 && s <= 60) {
      EXPECT_GT(sample.hottestCpuC, last) << s << " s";
    } else if (s > 62.5) {
      EXPECT_LT(sample.hottestCpuC, last) << s << " s";
    }
    last = sample.hottestCpuC;
  }
  // 25 s in, the zones have gone 63 % of the way; the board's follow at a distance.
  const sim::DeviceSample warm = sampleAt(config, 25);
  const sim::DeviceSample rest = sim::sampleDevice(config, 8, std::nullopt, 1, kStart);
  EXPECT_EQ(rest.hottestCpuC, sim::kRestC);
  double hottestZone = 0;
  for (size_t k = 0; k < sim::thermalZones().size(); ++k) {
    const sim::ThermalZone& zone = sim::thermalZones()[k];
    EXPECT_NEAR(rest.zoneC[k], zone.restC, 1e-9) << zone.type;
    EXPECT_GT(warm.zoneC[k], rest.zoneC[k]) << zone.type;
    if (zone.cpu) hottestZone = std::max(hottestZone, warm.zoneC[k]);
  }
  EXPECT_DOUBLE_EQ(hottestZone, warm.hottestCpuC);
  EXPECT_LT(warm.batteryC - rest.batteryC, (warm.hottestCpuC - sim::kRestC) / 2);
}

// At 60 fps, throttle_c=45 is reached 25 ln 2 s in; then the clocks are
// capped and the app draws 45 fps, whose lower power settles the zone at
// 35 + 20 * 0.75 * 0.6 = 44 °C: above the release 3 °C below, so it stays.
TEST(SimThermal, ThrottlesPastTheThresholdCapsTheClocksAndLowersTheFrameRate) {
  const DeviceConfig config = configOf("throttle_c=45");
  const std::vector<sim::ThermalStretch> timeline =
      sim::thermalTimeline(config, 600 * kNsPerSecond);
  ASSERT_EQ(timeline.size(), 2u);
  const int64_t crossing = timeline[1].fromNs;
  EXPECT_NEAR(static_cast<double>(crossing) / kNsPerSecond, 25 * std::log(2.0), 1e-6);
  EXPECT_NEAR(timeline[1].startC, 45, 1e-6);
  EXPECT_TRUE(timeline[1].throttled);
  EXPECT_EQ(timeline[1].fps, 45);
  EXPECT_NEAR(timeline[1].targetC, 44, 1e-9);

  const double crossingS = static_cast<double>(crossing) / kNsPerSecond;
  const sim::DeviceSample before = sampleAt(config, crossingS - 0.001);
  const sim::DeviceSample after = sampleAt(config, crossingS + 0.001);
  EXPECT_FALSE(before.throttled);
  EXPECT_TRUE(after.throttled);
  EXPECT_EQ(before.maxKHz, (std::vector<int64_t>{1804800, 2419200, 2841600}));
  EXPECT_EQ(after.maxKHz, (std::vector<int64_t>{1171200, 1670400, 1881600}));
  EXPECT_EQ(after.capSteps, (std::vector<size_t>{5, 6, 6}));
  EXPECT_EQ(before.gpuMaxHz, 680000000);
  EXPECT_EQ(after.gpuMaxHz, 443000000);
  EXPECT_EQ(before.fps, 60);
  EXPECT_EQ(after.fps, 45);
  EXPECT_NEAR(sampleAt(config, 600).hottestCpuC, 44, 0.01);
  for (double s = crossingS; s < crossingS + 60; s += 0.7) {
    const sim::DeviceSample sample = sampleAt(config, s);
    for (size_t c = 0; c < sample.curKHz.size(); ++c) {
      ASSERT_LE(sample.curKHz[c], sample.maxKHz[c]) << s << " s";
    }
    ASSERT_LE(sample.gpuHz, sample.gpuMaxHz) << s << " s";
  }

  // The compositor shows it: 60 frames a second before, 45 after.
  const auto presented = [&config](double fromS, double toS) {
    return sim::presentedFrames(config, kStart, kStart + static_cast<int64_t>(fromS * 1e9),
                                kStart + static_cast<int64_t>(toS * 1e9))
        .size();
  };
  EXPECT_NEAR(presented(crossingS - 6, crossingS - 1), 300, 1);
  EXPECT_NEAR(presented(crossingS + 1, crossingS + 6), 225, 1);
  const auto rateAt = [&config](double s) {
    return layerRateFromOutput(sim::latencyOutput(config, kStart,
                                                  kStart + static_cast<int64_t>(s * 1e9),
                                                  sim::frameLayerName(config, kStart)));
  };
  EXPECT_EQ(rateAt(crossingS - 0.5), 59);
  EXPECT_EQ(rateAt(crossingS + 4), 44);
  // Throttling off, the same schedule goes on at 60.
  EXPECT_EQ(sim::thermalTimeline(configOf(""), 600 * kNsPerSecond).size(), 1u);
}

// A threshold whose throttled level lies below its release flips the caps
// on and off, each time at its edge, and the frames follow every flip.
TEST(SimThermal, ThrottlingFlipsWithHysteresis) {
  const DeviceConfig config = configOf("throttle_c=51\nthermal_tau_s=5");
  const std::vector<sim::ThermalStretch> timeline =
      sim::thermalTimeline(config, 300 * kNsPerSecond);
  ASSERT_GT(timeline.size(), 10u);
  for (size_t i = 1; i < timeline.size(); ++i) {
    const sim::ThermalStretch& s = timeline[i];
    EXPECT_NE(s.throttled, timeline[i - 1].throttled) << i;
    EXPECT_NEAR(s.startC, s.throttled ? 51 : 48, 1e-6) << i;
    EXPECT_EQ(s.fps, s.throttled ? 45 : 60) << i;
    EXPECT_GT(s.fromNs, timeline[i - 1].fromNs) << i;
  }
  const std::vector<sim::FpsStep> drawn = sim::drawnSchedule(config, 300 * kNsPerSecond);
  ASSERT_EQ(drawn.size(), timeline.size());
  // The schedule up to a time is what the longer one holds up to it.
  const std::vector<sim::FpsStep> shorter = sim::drawnSchedule(config, 100 * kNsPerSecond);
  ASSERT_LT(shorter.size(), drawn.size());
  for (size_t i = 0; i < shorter.size(); ++i) {
    EXPECT_EQ(shorter[i].fromNs, drawn[i].fromNs);
    EXPECT_EQ(shorter[i].fps, drawn[i].fps);
  }
}

std::map<std::string, std::string> filesOf(const std::vector<sim::TreeEntry>& tree) {
  std::map<std::string, std::string> files;
  for (const sim::TreeEntry& e : tree) {
    if (e.kind == sim::TreeEntry::Kind::file) files[e.path] = e.content;
  }
  return files;
}

const std::string kBattery = "sys/class/power_supply/battery/";

// Ten minutes of a 60 fps app draw 180 + 900 mA: 180 mAh, 4 % of 4500 mAh.
TEST(SimBattery, CurrentInTheConfiguredUnitAndSign) {
  const struct {
    std::string conf;
    std::string current;
    std::string status;
    int capacity;
  } cases[] = {
      {"", "-1080000", "Discharging", 76},
      {"battery_current_unit=ma", "-1080", "Discharging", 76},
      {"battery_current_sign=discharging_positive", "1080000", "Discharging", 76},
      {"battery_current_unit=ma\nbattery_current_sign=discharging_positive", "1080", "Discharging",
       76},
      // 2500 mA in, less the 1080 the phone draws: 1420 mA for 10 minutes.
      {"charging=1", "1420000", "Charging", 85},
      {"charging=1\nbattery_current_unit=ma\nbattery_current_sign=discharging_positive", "-1420",
       "Charging", 85},
      {"charging=hold", "-30000", "Not charging", 80},
      {"charging=1\nbattery_pct=99", "0", "Full", 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf);
    const DeviceConfig config = configOf(c.conf);
    const auto files = filesOf(sim::deviceTree(config, 8, sampleAt(config, 600)));
    EXPECT_EQ(files.at(kBattery + "current_now"), c.current + "\n");
    EXPECT_EQ(files.at(kBattery + "status"), c.status + "\n");
    EXPECT_EQ(files.at(kBattery + "capacity"), std::to_string(c.capacity) + "\n");
    const int64_t microvolts = std::stoll(files.at(kBattery + "voltage_now"));
    EXPECT_GT(microvolts, 3400000);
    EXPECT_LT(microvolts, 4400000);
  }
  // Under the load the voltage sags, a little, and the capacity only falls.
  const DeviceConfig config;
  const sim::DeviceSample rest = sim::sampleDevice(config, 8, std::nullopt, 1, kStart);
  const sim::DeviceSample busy = sampleAt(config, 0);
  EXPECT_LT(busy.batteryMicrovolts, rest.batteryMicrovolts);
  EXPECT_GT(busy.batteryMicrovolts, rest.batteryMicrovolts - 150000);
  EXPECT_LT(busy.batteryMicroamps, rest.batteryMicroamps);
  int last = 100;
  for (int s = 0; s <= 3600; s += 60) {
    const int pct = sampleAt(config, s).batteryPct;
    EXPECT_LE(pct, last) << s;
    last = pct;
  }
  EXPECT_EQ(last, 80 - 24);
}

TEST(SimDevice, LoadsClocksAndMemoryFollowTheApp) {
  const DeviceConfig config;
  const sim::DeviceSample rest =
      sim::sampleDevice(config, 8, std::nullopt, 1, kStart + 30 * kNsPerSecond);
  const sim::DeviceSample busy = sampleAt(config, 30);
  const sim::DeviceSample paused = sampleAt(configOf("fps=0:60,10:0"), 30);
  EXPECT_FALSE(rest.gpuOn);
  EXPECT_FALSE(paused.gpuOn);
  EXPECT_TRUE(busy.gpuOn);
  EXPECT_GT(busy.gpuBusyPct, 50);
  EXPECT_GT(busy.gpuHz, rest.gpuHz);
  for (size_t cpu = 0; cpu < 8; ++cpu) {
    EXPECT_GT(busy.load[cpu], rest.load[cpu] + 0.2) << cpu;
    EXPECT_LE(busy.load[cpu], 1.0) << cpu;
  }
  EXPECT_LT(busy.memAvailableKb, rest.memAvailableKb - 500000);
  // An offline CPU does no work.
  const sim::DeviceSample offline = sampleAt(configOf("offline_cpus=3"), 30);
  EXPECT_FALSE(offline.online[3]);
  EXPECT_EQ(offline.load[3], 0);
}

TEST(SimProcStat, AggregateIsTheSumAndCountersNeverGoBack) {
  std::vector<bool> online(8, true);
  online[5] = false;
  sim::ProcStat stat = sim::ProcStat::sinceBoot(online, 3600 * kNsPerSecond);
  uint64_t seed = 7;
  std::vector<sim::CpuTimes> last = stat.cpus();
  int64_t uptime = 3600 * kNsPerSecond;
  for (int step = 0; step < 2000; ++step) {
    std::vector<double> load(8);
    for (double& l : load) l = static_cast<double>(sim::nextRandom(&seed) % 1001) / 1000;
    // From a nanosecond to 300 ms, so that fractions of a tick carry over.
    const int64_t elapsed = 1 + static_cast<int64_t>(sim::nextRandom(&seed) % (300 * kMs));
    stat.advance(load, elapsed);
    uptime += elapsed;
    const auto parsed = sim::parseProcStat(stat.text(uptime));
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->cpus.size(), 8u);
    sim::CpuTimes sum;
    for (size_t cpu = 0; cpu < 8; ++cpu) {
      ASSERT_EQ(parsed->cpus[cpu].has_value(), cpu != 5) << cpu;
      if (!parsed->cpus[cpu]) continue;
      for (size_t f = 0; f < sim::CpuTimes::kFields; ++f) {
        ASSERT_GE(parsed->cpus[cpu]->ticks[f], last[cpu].ticks[f]) << cpu << " field " << f;
        sum.ticks[f] += parsed->cpus[cpu]->ticks[f];
      }
    }
    ASSERT_EQ(parsed->total.ticks, sum.ticks);
    last = stat.cpus();
  }
  // A steady load shows as its share of the ticks, to a tick.
  const sim::ProcStat before = stat;
  stat.advance(std::vector<double>(8, 0.25), 10 * kNsPerSecond);
  for (size_t cpu = 0; cpu < 8; ++cpu) {
    uint64_t busy = 0;
    uint64_t all = 0;
    for (size_t f = 0; f < sim::CpuTimes::kFields; ++f) {
      const uint64_t d = stat.cpus()[cpu].ticks[f] - before.cpus()[cpu].ticks[f];
      all += d;
      if (f != sim::CpuTimes::idle && f != sim::CpuTimes::iowait) busy += d;
    }
    EXPECT_NEAR(static_cast<double>(all), cpu == 5 ? 0 : 1000, 7) << cpu;
    EXPECT_NEAR(static_cast<double>(busy), cpu == 5 ? 0 : 250, 5) << cpu;
  }
  // Its own text resumes it; a device with other CPUs online does not.
  sim::ProcStat resumed(online);
  ASSERT_TRUE(resumed.resumeFrom(stat.text(uptime)));
  EXPECT_EQ(resumed.text(uptime), stat.text(uptime));
  sim::ProcStat allOnline(std::vector<bool>(8, true));
  EXPECT_FALSE(allOnline.resumeFrom(stat.text(uptime)));
  sim::ProcStat fewer(std::vector<bool>(4, true));
  EXPECT_FALSE(fewer.resumeFrom(stat.text(uptime)));
}

TEST(SimProcStat, ParsesTheKernelsLinesOnly) {
  const struct {
    std::string text;
    bool ok;
  } cases[] = {
      {"cpu  1 2 3 4 5 6 7 8 9 10\ncpu0 1 2 3 4 5 6 7 8 9 10\nintr 5 0 0\n", true},
      // Before 2.6.33 fewer counters.
      {"cpu  1 2 3 4\ncpu0 1 2 3 4\n", true},
      {"cpu0 1 2 3 4 5 6 7 8 9 10\n", false},
      {"cpu  1 2 3\n", false},
      {"cpu  1 2 3 4 5 6 7 8 9 10 11\n", false},
      {"cpu  1 2 x 4\n", false},
      {"cpu  1 2 -3 4\n", false},
      {"cpu  1 2 3 4\ncpu64 1 2 3 4\n", false},
      {"cpu  1 2 3 4\ncpu1\t1 2 3 4\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::parseProcStat(c.text).has_value(), c.ok) << c.text;
  const auto parsed = sim::parseProcStat("cpu  9 0 0 9\ncpu3 1 2 3 4 5 6 7 8 9 10\n");
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->cpus.size(), 4u);
  EXPECT_FALSE(parsed->cpus[0].has_value());
  EXPECT_EQ(parsed->cpus[3]->ticks[sim::CpuTimes::guestNice], 10u);
}

// The paths the daemon reads per GPU family, with the shapes of their values.
struct GpuCase {
  std::string conf;
  std::map<std::string, std::string> files;  // path -> regex of the content
  std::vector<std::string> absent;
};

TEST(SimDeviceTree, WritesAWholePhoneUnderARoot) {
  const std::string hz = "[1-9][0-9]{8}\n";
  const GpuCase cases[] = {
      {"",
       {{"sys/class/kgsl/kgsl-3d0/gpuclk", hz},
        {"sys/class/kgsl/kgsl-3d0/max_gpuclk", "680000000\n"},
        {"sys/class/kgsl/kgsl-3d0/gpu_busy_percentage", "[0-9]{1,3} %\n"},
        {"sys/class/kgsl/kgsl-3d0/gpubusy", " {0,6}[0-9]{1,6}  100000\n"},
        {"sys/class/kgsl/kgsl-3d0/devfreq/cur_freq", hz},
        {"sys/class/kgsl/kgsl-3d0/devfreq/max_freq", "680000000\n"}},
       {"sys/kernel/gpu", "sys/class/devfreq"}},
      {"gpu=exynos",
       {{"sys/kernel/gpu/gpu_clock", "[1-9][0-9]{2}\n"},
        {"sys/kernel/gpu/gpu_max_clock", "848\n"},
        {"sys/kernel/gpu/gpu_busy", "[ 0-9]{3}%\n"}},
       {"sys/class/kgsl", "sys/class/devfreq"}},
      {"gpu=devfreq",
       {{"sys/class/devfreq/1f000000.mali/cur_freq", hz},
        {"sys/class/devfreq/1f000000.mali/max_freq", "848000000\n"},
        {"sys/class/devfreq/17000010.devfreq_mif/cur_freq", "[1-9][0-9]{8,9}\n"}},
       {"sys/class/kgsl", "sys/kernel/gpu"}},
      {"gpu=none", {}, {"sys/class/kgsl", "sys/kernel/gpu", "sys/class/devfreq"}},
  };
  for (const GpuCase& c : cases) {
    SCOPED_TRACE(c.conf);
    const TempDir root;
    const DeviceConfig config = configOf(c.conf + "\noffline_cpus=6");
    std::string error;
    ASSERT_TRUE(
        sim::makeDevice(root.path(), config, 8, kStart, 1, kStart + 20 * kNsPerSecond, &error))
        << error;
    for (const auto& [path, shape] : c.files) {
      const std::string content = readAll(root.path() / path);
      EXPECT_TRUE(std::regex_match(content, std::regex(shape))) << path << ": " << content;
    }
    for (const std::string& path : c.absent) EXPECT_FALSE(fs::exists(root.path() / path)) << path;
  }

  const TempDir root;
  std::string error;
  ASSERT_TRUE(sim::makeDevice(root.path(), configOf("offline_cpus=6"), 8, kStart, 1,
                              kStart + 20 * kNsPerSecond, &error))
      << error;
  const fs::path cpu = root.path() / "sys/devices/system/cpu";
  EXPECT_EQ(readAll(cpu / "online"), "0-5,7\n");
  EXPECT_EQ(readAll(cpu / "cpu6/online"), "0\n");
  EXPECT_FALSE(fs::exists(cpu / "cpu6/cpufreq"));
  EXPECT_EQ(readAll(cpu / "cpu5/cpufreq/scaling_max_freq"), "2419200\n");
  EXPECT_EQ(readAll(cpu / "cpufreq/policy4/related_cpus"), "4 5 6\n");
  EXPECT_EQ(readAll(cpu / "cpufreq/policy4/affected_cpus"), "4 5\n");

  const fs::path thermal = root.path() / "sys/class/thermal";
  std::multiset<std::string> types;
  size_t zones = 0;
  for (; fs::exists(thermal / ("thermal_zone" + std::to_string(zones))); ++zones) {
    const fs::path zone = thermal / ("thermal_zone" + std::to_string(zones));
    const std::string type = readAll(zone / "type");
    types.insert(type.substr(0, type.size() - 1));
    const std::string temp = readAll(zone / "temp");
    ASSERT_TRUE(std::regex_match(temp, std::regex("[1-9][0-9]{2}00\n"))) << zone << ": " << temp;
  }
  EXPECT_GE(zones, 40u);
  EXPECT_EQ(types.count("battery"), 2u);
  for (const char* type :
       {"cpu-1-7-0", "gpuss-0", "xo-therm", "skin-therm", "pm8550_tz", "VIRTUAL-SKIN"}) {
    EXPECT_EQ(types.count(type), 1u) << type;
  }
  EXPECT_TRUE(fs::exists(thermal / "cooling_device0/cur_state"));
  EXPECT_EQ(readAll(thermal / "cooling_device0/type"), "thermal-cpufreq-0\n");

  for (const char* name : {"capacity", "status", "voltage_now", "current_now", "temp"})
    EXPECT_TRUE(fs::exists(root.path() / kBattery / name)) << name;
  EXPECT_TRUE(
      std::regex_match(readAll(root.path() / kBattery / "temp"), std::regex("3[0-9]{2}\n")));

  const std::string stat = readAll(root.path() / "proc/stat");
  EXPECT_TRUE(std::regex_search(stat, std::regex("^cpu  ([0-9]+ ){9}[0-9]+\n")));
  EXPECT_EQ(stat.find("cpu6 "), std::string::npos);
  EXPECT_NE(stat.find("\ncpu7 "), std::string::npos);
  const std::string meminfo = readAll(root.path() / "proc/meminfo");
  EXPECT_TRUE(std::regex_search(meminfo, std::regex("^MemTotal:        7613464 kB\n")));
  EXPECT_TRUE(std::regex_search(meminfo, std::regex("\nMemAvailable: +[0-9]{7} kB\n")));
}

// Run again over the same root: sys/ files are new files (a reader of the
// old one is undisturbed), proc/ files the same ones, whole and cut to
// length, and their counters do not go back.
TEST(SimDeviceTree, ProcFilesAreRewrittenInPlaceAndSysFilesReplaced) {
  const TempDir root;
  const DeviceConfig config;
  std::string error;
  ASSERT_TRUE(sim::makeDevice(root.path(), config, 4, std::nullopt, 1, kStart, &error)) << error;
  const fs::path stat = root.path() / "proc/stat";
  const fs::path meminfo = root.path() / "proc/meminfo";
  const fs::path temp = root.path() / "sys/class/thermal/thermal_zone1/temp";
  std::ofstream(meminfo, std::ios::app) << std::string(5000, 'x');
  const auto inode = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_ino;
  };
  const ino_t statInode = inode(stat);
  const ino_t memInode = inode(meminfo);
  const ino_t tempInode = inode(temp);
  const auto before = sim::parseProcStat(readAll(stat));
  ASSERT_TRUE(before.has_value());

  ASSERT_TRUE(sim::makeDevice(root.path(), config, 4, kStart, 1, kStart + kNsPerSecond, &error))
      << error;
  EXPECT_EQ(inode(stat), statInode);
  EXPECT_EQ(inode(meminfo), memInode);
  EXPECT_NE(inode(temp), tempInode);
  EXPECT_EQ(readAll(meminfo),
            sim::memInfoText(sim::sampleDevice(config, 4, kStart, 1, kStart + kNsPerSecond)));
  EXPECT_EQ(before->total.ticks, sim::parseProcStat(readAll(stat))->total.ticks);

  // The walk adds each second's hundred ticks to each CPU.
  sim::DeviceWalk walk;
  ASSERT_TRUE(walk.open(root.path(), config, 1, kStart + kNsPerSecond, &error)) << error;
  EXPECT_EQ(walk.cpus(), 4);
  for (int s = 2; s <= 6; ++s) {
    ASSERT_TRUE(walk.step(config, kStart, kStart + s * kNsPerSecond, &error)) << error;
  }
  EXPECT_EQ(inode(stat), statInode);
  const auto after = sim::parseProcStat(readAll(stat));
  ASSERT_TRUE(after.has_value());
  for (size_t cpu = 0; cpu < 4; ++cpu) {
    uint64_t added = 0;
    for (size_t f = 0; f < sim::CpuTimes::kFields; ++f)
      added += after->cpus[cpu]->ticks[f] - before->cpus[cpu]->ticks[f];
    EXPECT_NEAR(static_cast<double>(added), 500, 7) << cpu;
  }
  const sim::DeviceSample now = sim::sampleDevice(config, 4, kStart, 1, kStart + 6 * kNsPerSecond);
  EXPECT_EQ(readAll(root.path() / "sys/devices/system/cpu/cpufreq/policy0/scaling_cur_freq"),
            std::to_string(now.curKHz[0]) + "\n");
}

TEST(SimDeviceTree, ThermalUnitsScaleTheZones) {
  const struct {
    std::string conf;
    std::string shape;
  } cases[] = {
      {"", "[1-9][0-9]{2}00\n"},
      {"thermal_unit=deci", "[1-9][0-9]{2}\n"},
      {"thermal_unit=degrees", "[1-9][0-9]\n"},
  };
  for (const auto& c : cases) {
    const DeviceConfig config = configOf(c.conf);
    const sim::DeviceSample sample = sampleAt(config, 40);
    const auto files = filesOf(sim::deviceTree(config, 8, sample));
    // Zone 14 is the hottest CPU zone.
    const std::string temp = files.at("sys/class/thermal/thermal_zone14/temp");
    EXPECT_TRUE(std::regex_match(temp, std::regex(c.shape))) << c.conf << ": " << temp;
    const double scale = c.conf.empty() ? 1000 : c.conf == "thermal_unit=deci" ? 10 : 1;
    EXPECT_NEAR(std::stod(temp) / scale, sample.hottestCpuC, 0.5) << c.conf;
  }
}

// The app's process, through the built binary beside this test's.
class SimAppProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    sim_ = fs::path(std::string(exe, static_cast<size_t>(n))).parent_path().parent_path() /
           "bin/perfprobe-sim";
    if (!fs::exists(sim_)) GTEST_SKIP() << "no " << sim_ << ": build perfprobe-sim first";
    setenv("PERFPROBE_SIM_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("PERFPROBE_SIM_DIR"); }

  int run(const std::string& args) { return system((sim_.string() + " " + args).c_str()); }
  pid_t appPid() { return static_cast<pid_t>(std::stol(readAll(dir_.path() / "app_pid"))); }

  static bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t paren = line.rfind(')');
    return line.at(paren + 2) == 'Z';
  }
  static bool waitEnded(pid_t pid) {
    for (int i = 0; i < 1000 && !ended(pid); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ended(pid);
  }

  TempDir dir_;
  fs::path sim_;
};

TEST_F(SimAppProcess, RunsAsThePackageUntilStoppedOrItsStartGoes) {
  std::ofstream(dir_.path() / "device.conf") << "package=org.example.a_long_game\napp_threads=3\n";
  ASSERT_EQ(run("app start --process"), 0);
  const pid_t pid = appPid();
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string cmdline = readAll(proc + "/cmdline");
  EXPECT_EQ(cmdline.substr(0, cmdline.find('\0')), "org.example.a_long_game");
  EXPECT_EQ(cmdline.find_first_not_of('\0', cmdline.find('\0')), std::string::npos) << cmdline;
  EXPECT_EQ(readAll(proc + "/comm"), "ple.a_long_game\n");
  const std::string status = readAll(proc + "/status");
  EXPECT_NE(status.find("\nThreads:\t3\n"), std::string::npos) << status;
  std::smatch rss;
  ASSERT_TRUE(std::regex_search(status, rss, std::regex("\nVmRSS:\\s+([0-9]+) kB")));
  EXPECT_GT(std::stol(rss[1]), 30 * 1024);
  EXPECT_NE(status.find("\nPPid:\t"), std::string::npos);
  EXPECT_EQ(status.find("\nPPid:\t" + std::to_string(getpid()) + "\n"), std::string::npos);

  ASSERT_EQ(run("app stop"), 0);
  EXPECT_TRUE(ended(pid));
  EXPECT_FALSE(fs::exists(dir_.path() / "app_pid"));
  EXPECT_FALSE(fs::exists(dir_.path() / "app"));

  // Without its start it leaves by itself; a new start ends the last one's.
  ASSERT_EQ(run("app start --process"), 0);
  const pid_t orphan = appPid();
  fs::remove(dir_.path() / "app");
  EXPECT_TRUE(waitEnded(orphan));
  ASSERT_EQ(run("app start --process"), 0);
  const pid_t first = appPid();
  ASSERT_EQ(run("app start --process"), 0);
  EXPECT_TRUE(ended(first));
  EXPECT_NE(appPid(), first);
  ASSERT_EQ(run("app stop"), 0);
}

}  // namespace
