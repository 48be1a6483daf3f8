// The simulated phone behind GET_STATS: its heat, throttling, battery and
// CPU counters as functions of the app's run, and the files that show them.
#include "device_model.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "device_config.h"
#include "fpsbench/latency.h"
#include "sim_fixture.h"
#include "surface_flinger.h"

namespace {

using sim::DeviceConfig;
using sim::kNsPerSecond;
using simtest::configOf;
using simtest::kBattery;
using simtest::kMs;
using simtest::kStart;
using simtest::sampleAt;

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

TEST(SimDevice, OfflineCpusAreTheDevicesAndLeaveOneOnline) {
  std::string error;
  EXPECT_FALSE(sim::offlineCpusFit(configOf("offline_cpus=4"), 4, &error));
  EXPECT_NE(error.find("no cpu4 among 4 CPUs"), std::string::npos) << error;
  EXPECT_FALSE(sim::offlineCpusFit(configOf("offline_cpus=0,1"), 2, &error));
  EXPECT_NE(error.find("one CPU at least stays online"), std::string::npos) << error;
  EXPECT_TRUE(sim::offlineCpusFit(configOf("offline_cpus=0,3"), 4, &error));
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

}  // namespace
