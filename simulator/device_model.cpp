#include "device_model.h"

#include <stdio.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace sim {
namespace {

// Holds a day of a device that flips between throttled and not every few
// seconds; past it the last stretch goes on.
constexpr int kMaxStretches = 100000;

// Frame rates above this lift the load no further.
constexpr int kMaxWorkFps = 120;

// The battery: a 4500 mAh cell of 0.12 Ω whose resting voltage climbs
// linearly from 3.45 V empty to 4.2 V full.
constexpr double kBatteryMah = 4500;
constexpr double kBatteryOhms = 0.12;
constexpr double kEmptyVolts = 3.45;
constexpr double kFullVolts = 4.2;
// What the phone draws with the screen on, and what the app adds at 60 fps.
constexpr double kIdleMa = 180;
constexpr double kAppMa = 900;
// What a charger puts in, and what still leaves a battery held by one.
constexpr double kChargerMa = 2500;
constexpr double kHeldMa = 30;

// The CPUs' load at rest, and the share of a core the app keeps busy at
// 60 fps on a CPU of each kind.
constexpr double kBaseLoad = 0.08;
constexpr double kSingleClusterShare = 0.45;
constexpr double kLittleShare = 0.25;
constexpr double kBigShare = 0.55;
constexpr double kPrimeShare = 0.7;
// schedutil asks for 1.25 times the utilisation.
constexpr double kGovernorHeadroom = 1.25;
// Now and then a burst of work sends a cluster to its top for one slot.
constexpr int64_t kBurstSlotNs = 200000000;
constexpr uint64_t kBurstOdds = 40;
constexpr double kTwoPi = 6.283185307179586;

// The GPU's work at 60 fps as a share of its top clock; its governor keeps
// the busy share under 85 %.
constexpr double kGpuDemand = 0.7;
constexpr double kGpuTargetBusy = 0.85;

// Memory of an 8 GB phone at rest, and what the app takes once loaded.
constexpr int64_t kMemTotalKb = 7613464;
constexpr int64_t kRestFreeKb = 612340;
constexpr int64_t kRestCachedKb = 2841200;
constexpr int64_t kRestAvailableKb = 3345000;
constexpr int64_t kAppStartKb = 600000;
constexpr int64_t kAppLoadedKb = 1200000;
constexpr int64_t kAppLoadKbPerSecond = 20000;

uint64_t mix(uint64_t a, uint64_t b) {
  uint64_t state = a ^ (b * 0x9e3779b97f4a7c15ULL);
  return nextRandom(&state);
}

double workOf(int fps) { return std::min(fps, kMaxWorkFps) / 60.0; }

double powerOf(int fps, bool throttled) {
  return workOf(fps) * (throttled ? kThrottledPower : 1.0);
}

int throttledFps(int fps, int percent) {
  return fps == 0 ? 0 : std::max(1, (fps * percent + 50) / 100);
}

// Into the battery, negative while discharging, at the app's power.
double batteryMa(Charging charging, double power) {
  const double draw = kIdleMa + kAppMa * power;
  switch (charging) {
    case Charging::yes:
      return kChargerMa - draw;
    case Charging::held:
      return -kHeldMa;
    case Charging::no:
      break;
  }
  return -draw;
}

std::string line(int64_t value) { return std::to_string(value) + "\n"; }

// "0-5,7" as the kernel prints a CPU mask.
std::string cpuMaskList(const std::vector<bool>& cpus) {
  std::string out;
  for (size_t i = 0; i < cpus.size();) {
    if (!cpus[i]) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j + 1 < cpus.size() && cpus[j + 1]) ++j;
    out += (out.empty() ? "" : ",") + std::to_string(i) + (j > i ? "-" + std::to_string(j) : "");
    i = j + 1;
  }
  return out + "\n";
}

std::string zoneTemp(double c, ThermalUnit unit) {
  const int64_t tenths = std::llround(c * 10);
  switch (unit) {
    case ThermalUnit::deci:
      return line(tenths);
    case ThermalUnit::degrees:
      return line(std::llround(c));
    case ThermalUnit::milli:
      break;
  }
  // Sensors resolve a tenth of a degree.
  return line(tenths * 100);
}

std::string freqList(const std::vector<int64_t>& freqs, int64_t divisor, bool descending) {
  std::string out;
  for (size_t i = 0; i < freqs.size(); ++i) {
    const int64_t f = freqs[descending ? freqs.size() - 1 - i : i] / divisor;
    out += std::to_string(f) + " ";
  }
  return out + "\n";
}

}  // namespace

std::vector<ThermalStretch> thermalTimeline(const DeviceConfig& config, int64_t untilNs) {
  const bool throttles = config.throttleDeciC > 0;
  const double onC = config.throttleDeciC / 10.0;
  const double offC = onC - kThrottleHysteresisC;
  const double tauNs = static_cast<double>(config.thermalTauNs);
  std::vector<ThermalStretch> stretches;
  size_t seg = 0;
  int64_t t = 0;
  double temp = kRestC;
  bool throttled = false;
  for (int i = 0; i < kMaxStretches; ++i) {
    const int scheduled = config.fps[seg].fps;
    const int fps = throttled ? throttledFps(scheduled, config.throttleFpsPercent) : scheduled;
    const double target = kRestC + kRiseC * powerOf(fps, throttled);
    stretches.push_back({t, fps, throttled, temp, target});
    const int64_t segEnd = seg + 1 < config.fps.size() ? config.fps[seg + 1].fromNs : INT64_MAX;
    int64_t crossing = INT64_MAX;
    if (throttles) {
      // The zone approaches its target without reaching it: it crosses an
      // edge only when the target lies beyond.
      const double edge = throttled ? offC : onC;
      const bool reaches = throttled ? target < edge && temp > edge : target > edge && temp < edge;
      if (reaches) {
        const double afterNs = std::ceil(tauNs * std::log((target - temp) / (target - edge)));
        if (afterNs < 1e17) crossing = t + std::max<int64_t>(static_cast<int64_t>(afterNs), 1);
      }
    }
    const int64_t next = std::min(segEnd, crossing);
    if (next == INT64_MAX || next > untilNs) break;
    temp = target + (temp - target) * std::exp(-static_cast<double>(next - t) / tauNs);
    t = next;
    if (next == crossing) throttled = !throttled;
    if (next == segEnd) ++seg;
  }
  return stretches;
}

double stretchTempC(const ThermalStretch& stretch, int64_t sinceStartNs, int64_t tauNs) {
  return stretch.targetC +
         (stretch.startC - stretch.targetC) * std::exp(-static_cast<double>(sinceStartNs) / tauNs);
}

std::vector<FpsStep> drawnSchedule(const DeviceConfig& config, int64_t untilNs) {
  if (config.throttleDeciC == 0) return config.fps;
  std::vector<FpsStep> steps;
  for (const ThermalStretch& s : thermalTimeline(config, untilNs))
    steps.push_back({s.fromNs, s.fps});
  return steps;
}

std::vector<int64_t> gpuFreqsHz(GpuFamily family) {
  constexpr int64_t kMHz = 1000000;
  switch (family) {
    case GpuFamily::kgsl:
      // An Adreno's power levels.
      return {220 * kMHz, 285 * kMHz, 350 * kMHz, 443 * kMHz, 545 * kMHz, 615 * kMHz, 680 * kMHz};
    case GpuFamily::exynos:
    case GpuFamily::devfreq: {
      // A Mali's operating points.
      std::vector<int64_t> freqs;
      for (const int64_t mhz : {151, 202, 251, 302, 351, 400, 471, 510, 572, 627, 701, 760, 848})
        freqs.push_back(mhz * kMHz);
      return freqs;
    }
    case GpuFamily::none:
      break;
  }
  return {};
}

size_t cappedIndex(const std::vector<int64_t>& freqs) {
  const double cap = kThrottleCap * static_cast<double>(freqs.back());
  size_t index = 0;
  while (index + 1 < freqs.size() && static_cast<double>(freqs[index + 1]) <= cap) ++index;
  return index;
}

const std::vector<ThermalZone>& thermalZones() {
  // The zones of a recent Snapdragon phone, in its order. Its CPU zones sit
  // on the cores and follow them, the prime core's being the hottest; the
  // board's sensors follow at a distance.
  static const std::vector<ThermalZone> zones{
      {"aoss-0", 34.6, 0.55, false},
      {"cpu-0-0-0", 34.8, 0.82, true},
      {"cpu-0-1-0", 34.7, 0.80, true},
      {"cpu-0-2-0", 34.9, 0.83, true},
      {"cpu-0-3-0", 34.8, 0.81, true},
      {"cpuss-0", 34.9, 0.85, true},
      {"cpuss-1", 34.8, 0.86, true},
      {"cpu-1-0-0", 34.9, 0.93, true},
      {"cpu-1-1-0", 34.9, 0.95, true},
      {"cpu-1-2-0", 35.0, 0.94, true},
      {"cpu-1-3-0", 34.8, 0.92, true},
      {"cpu-1-4-0", 34.9, 0.96, true},
      {"cpu-1-5-0", 34.9, 0.95, true},
      {"cpu-1-6-0", 35.0, 0.97, true},
      {"cpu-1-7-0", 35.0, 1.0, true},
      {"gpuss-0", 34.7, 0.90, false},
      {"gpuss-1", 34.6, 0.88, false},
      {"gpuss-2", 34.7, 0.89, false},
      {"gpuss-3", 34.6, 0.87, false},
      {"nspss-0", 34.2, 0.45, false},
      {"nspss-1", 34.3, 0.44, false},
      {"nspss-2", 34.2, 0.46, false},
      {"video", 34.1, 0.50, false},
      {"ddr", 35.2, 0.62, false},
      {"camera-0", 33.9, 0.48, false},
      {"mdmss-0", 33.8, 0.40, false},
      {"mdmss-1", 33.7, 0.41, false},
      {"aoss-1", 34.4, 0.52, false},
      {"pm8550_tz", 37.5, 0.50, false},
      {"pm8550b_tz", 36.8, 0.35, false},
      {"pm8550vs_c_tz", 37.1, 0.45, false},
      {"pmr735d_tz", 35.9, 0.30, false},
      {"pm8550b-ibat-lvl0", 30.4, 0.28, false},
      {"xo-therm", 32.6, 0.45, false},
      {"skin-therm", 31.5, 0.35, false},
      {"sdm-therm", 33.2, 0.50, false},
      {"quiet-therm", 31.8, 0.32, false},
      {"battery", 30.2, 0.28, false},
      {"battery", 30.0, 0.27, false},
      {"VIRTUAL-SKIN", 31.9, 0.36, false},
      {"socd", 30.0, 0.20, false},
      {"usb", 30.8, 0.15, false},
  };
  return zones;
}

std::vector<CoolingDevice> coolingDevices(const std::vector<Cluster>& clusters) {
  std::vector<CoolingDevice> devices;
  for (size_t i = 0; i < clusters.size(); ++i)
    devices.push_back({"thermal-cpufreq-" + std::to_string(i), clusters[i].firstCpu, false});
  devices.push_back({"thermal-devfreq-0", -1, true});
  devices.push_back({"battery", -1, false});
  devices.push_back({"cdsp", -1, false});
  return devices;
}

bool offlineCpusFit(const DeviceConfig& config, int cpus, std::string* error) {
  for (const int cpu : config.offlineCpus) {
    if (cpu >= cpus) {
      *error = "offline_cpus: there is no cpu" + std::to_string(cpu) + " among " +
               std::to_string(cpus) + " CPUs";
      return false;
    }
  }
  if (static_cast<int>(config.offlineCpus.size()) >= cpus) {
    *error = "offline_cpus: one CPU at least stays online";
    return false;
  }
  return true;
}

DeviceSample sampleDevice(const DeviceConfig& config, int cpus, std::optional<int64_t> appStartNs,
                          uint64_t seed, int64_t nowNs) {
  DeviceSample s;
  double chargeMah = 0;
  double sinceStartS = 0;
  if (appStartNs && nowNs >= *appStartNs) {
    s.appRunning = true;
    const int64_t since = nowNs - *appStartNs;
    sinceStartS = static_cast<double>(since) / kNsPerSecond;
    const std::vector<ThermalStretch> timeline = thermalTimeline(config, since);
    for (size_t i = 0; i < timeline.size(); ++i) {
      const int64_t end = i + 1 < timeline.size() ? timeline[i + 1].fromNs : since;
      const double hours = static_cast<double>(end - timeline[i].fromNs) / kNsPerSecond / 3600;
      chargeMah +=
          batteryMa(config.charging, powerOf(timeline[i].fps, timeline[i].throttled)) * hours;
    }
    const ThermalStretch& now = timeline.back();
    s.fps = now.fps;
    s.throttled = now.throttled;
    s.hottestCpuC = stretchTempC(now, since - now.fromNs, config.thermalTauNs);
    s.power = powerOf(now.fps, now.throttled);
  }
  const double work = workOf(s.fps);
  const double seconds = static_cast<double>(nowNs) / kNsPerSecond;
  const uint64_t slot = static_cast<uint64_t>(nowNs / kBurstSlotNs);

  const std::vector<Cluster> clusters = clustersFor(cpus);
  s.online.assign(static_cast<size_t>(cpus), true);
  for (const int cpu : config.offlineCpus) {
    if (cpu < cpus) s.online[static_cast<size_t>(cpu)] = false;
  }
  s.load.assign(static_cast<size_t>(cpus), 0.0);
  for (size_t ci = 0; ci < clusters.size(); ++ci) {
    const Cluster& c = clusters[ci];
    const double share = clusters.size() == 1 ? kSingleClusterShare
                         : ci == 0            ? kLittleShare
                         : ci == 1            ? kBigShare
                                              : kPrimeShare;
    double util = 0;
    for (int cpu = c.firstCpu; cpu < c.firstCpu + c.cpuCount; ++cpu) {
      if (!s.online[static_cast<size_t>(cpu)]) continue;
      // Two slow waves of other work, out of step on every CPU.
      const uint64_t h = mix(seed, static_cast<uint64_t>(cpu));
      const double phase1 = static_cast<double>(h % 6283) / 1000;
      const double phase2 = static_cast<double>(h / 6283 % 6283) / 1000;
      const double noise = 0.03 * std::sin(kTwoPi * seconds / 7.3 + phase1) +
                           0.03 * std::sin(kTwoPi * seconds / 2.9 + phase2);
      const double load = std::clamp(kBaseLoad + share * work + noise, 0.0, 1.0);
      s.load[static_cast<size_t>(cpu)] = load;
      util = std::max(util, load);
    }
    const std::vector<int64_t>& freqs = c.freqsKHz;
    const size_t top = freqs.size() - 1;
    const size_t cap = s.throttled ? cappedIndex(freqs) : top;
    const double wanted = kGovernorHeadroom * util * static_cast<double>(freqs.back());
    size_t index = 0;
    while (index < top && static_cast<double>(freqs[index]) < wanted) ++index;
    if (mix(seed ^ 0x6275727374ULL, slot * 64 + ci) % kBurstOdds == 0) index = top;
    s.curKHz.push_back(freqs[std::min(index, cap)]);
    s.maxKHz.push_back(freqs[cap]);
    s.capSteps.push_back(top - cap);
  }

  const std::vector<int64_t> gpu = gpuFreqsHz(config.gpu);
  if (!gpu.empty()) {
    const size_t top = gpu.size() - 1;
    const size_t cap = s.throttled ? cappedIndex(gpu) : top;
    s.gpuMaxHz = gpu[cap];
    s.gpuCapSteps = top - cap;
    s.gpuHz = gpu.front();
    // Nothing to draw: the GPU sleeps.
    s.gpuOn = s.appRunning && s.fps > 0;
    if (s.gpuOn) {
      const double demandHz = kGpuDemand * work * static_cast<double>(gpu.back());
      size_t index = 0;
      while (index < top && demandHz / static_cast<double>(gpu[index]) > kGpuTargetBusy) ++index;
      index = std::min(index, cap);
      s.gpuHz = gpu[index];
      const double jitter = static_cast<double>(mix(seed ^ 0x677075ULL, slot) % 61) / 10 - 3;
      s.gpuBusyPct = std::clamp(100 * demandHz / static_cast<double>(s.gpuHz) + jitter, 1.0, 100.0);
    }
  }

  for (const ThermalZone& zone : thermalZones())
    s.zoneC.push_back(zone.restC + zone.share * (s.hottestCpuC - kRestC));
  const auto battery =
      std::find_if(thermalZones().begin(), thermalZones().end(),
                   [](const ThermalZone& z) { return z.type == std::string("battery"); });
  s.batteryC = s.zoneC[static_cast<size_t>(battery - thermalZones().begin())];

  const double percent = config.batteryPercent + chargeMah / kBatteryMah * 100;
  s.batteryPct = static_cast<int>(std::clamp<double>(std::round(percent), 0, 100));
  double intoMa = batteryMa(config.charging, s.power);
  switch (config.charging) {
    case Charging::yes:
      s.batteryStatus = s.batteryPct == 100 ? "Full" : "Charging";
      if (s.batteryPct == 100) intoMa = 0;
      break;
    case Charging::held:
      s.batteryStatus = "Not charging";
      break;
    case Charging::no:
      s.batteryStatus = "Discharging";
      break;
  }
  const double restVolts =
      kEmptyVolts + (kFullVolts - kEmptyVolts) * std::clamp(percent, 0.0, 100.0) / 100;
  s.batteryMicrovolts = std::llround((restVolts + kBatteryOhms * intoMa / 1000) * 1e6);
  s.batteryMicroamps = std::llround(intoMa * 1000);

  const int64_t appKb =
      s.appRunning
          ? std::min<int64_t>(kAppLoadedKb,
                              kAppStartKb + static_cast<int64_t>(sinceStartS * kAppLoadKbPerSecond))
          : 0;
  const int64_t wobbleKb = static_cast<int64_t>(mix(seed ^ 0x6d656dULL, slot / 5) % 4001) - 2000;
  s.memFreeKb = kRestFreeKb - appKb * 3 / 10 + wobbleKb;
  s.cachedKb = kRestCachedKb - appKb / 2;
  s.memAvailableKb = kRestAvailableKb - appKb + wobbleKb;
  return s;
}

std::vector<TreeEntry> deviceTree(const DeviceConfig& config, int cpus,
                                  const DeviceSample& sample) {
  using Kind = TreeEntry::Kind;
  std::vector<TreeEntry> tree;
  const auto dir = [&tree](std::string path) { tree.push_back({Kind::dir, std::move(path), ""}); };
  const auto file = [&tree](std::string path, std::string content) {
    tree.push_back({Kind::file, std::move(path), std::move(content)});
  };
  for (const char* d : {"sys", "sys/devices", "sys/devices/system", "sys/devices/system/cpu"})
    dir(d);

  const std::string cpuDir = "sys/devices/system/cpu/";
  const std::vector<Cluster> clusters = clustersFor(cpus);
  std::map<std::string, size_t> clusterOf;
  for (size_t i = 0; i < clusters.size(); ++i)
    clusterOf["cpufreq/policy" + std::to_string(clusters[i].firstCpu) + "/"] = i;
  for (TreeEntry entry : cpuTree(cpus)) {
    const size_t slash = entry.path.rfind('/');
    const std::string name = entry.path.substr(slash + 1);
    const auto policy = clusterOf.find(entry.path.substr(0, slash + 1));
    if (policy != clusterOf.end()) {
      const size_t ci = policy->second;
      if (name == "scaling_cur_freq") entry.content = line(sample.curKHz[ci]);
      if (name == "scaling_max_freq") entry.content = line(sample.maxKHz[ci]);
      if (name == "affected_cpus") {
        std::string online;
        const Cluster& c = clusters[ci];
        for (int cpu = c.firstCpu; cpu < c.firstCpu + c.cpuCount; ++cpu) {
          if (sample.online[static_cast<size_t>(cpu)])
            online += (online.empty() ? "" : " ") + std::to_string(cpu);
        }
        entry.content = online + "\n";
      }
    } else if (entry.path.compare(0, 3, "cpu") == 0 && slash != std::string::npos &&
               entry.path[3] >= '0' && entry.path[3] <= '9') {
      // An offline CPU's cpufreq link goes with it, as on older kernels.
      const size_t cpu = std::stoul(entry.path.substr(3, slash - 3));
      if (!sample.online[cpu]) {
        if (name == "cpufreq") continue;
        if (name == "online") entry.content = "0\n";
      }
    } else if (entry.path == "online") {
      entry.content = cpuMaskList(sample.online);
    }
    entry.path = cpuDir + entry.path;
    tree.push_back(std::move(entry));
  }

  dir("sys/class");
  dir("sys/class/thermal");
  const std::vector<ThermalZone>& zones = thermalZones();
  for (size_t k = 0; k < zones.size(); ++k) {
    const std::string zone = "sys/class/thermal/thermal_zone" + std::to_string(k);
    dir(zone);
    file(zone + "/type", std::string(zones[k].type) + "\n");
    file(zone + "/temp", zoneTemp(sample.zoneC[k], config.thermalUnit));
    file(zone + "/mode", "enabled\n");
    file(zone + "/policy", "step_wise\n");
  }
  const std::vector<CoolingDevice> cooling = coolingDevices(clusters);
  const size_t gpuSteps = gpuFreqsHz(config.gpu).size();
  for (size_t k = 0; k < cooling.size(); ++k) {
    const CoolingDevice& d = cooling[k];
    size_t maxState = 4;
    size_t curState = 0;
    if (d.policy >= 0) {
      const auto ci = static_cast<size_t>(
          std::find_if(clusters.begin(), clusters.end(),
                       [&d](const Cluster& c) { return c.firstCpu == d.policy; }) -
          clusters.begin());
      maxState = clusters[ci].freqsKHz.size() - 1;
      curState = sample.capSteps[ci];
    } else if (d.gpu) {
      if (gpuSteps == 0) continue;
      maxState = gpuSteps - 1;
      curState = sample.gpuCapSteps;
    }
    const std::string dev = "sys/class/thermal/cooling_device" + std::to_string(k);
    dir(dev);
    file(dev + "/type", d.type + "\n");
    file(dev + "/cur_state", line(static_cast<int64_t>(curState)));
    file(dev + "/max_state", line(static_cast<int64_t>(maxState)));
  }

  const std::vector<int64_t> gpu = gpuFreqsHz(config.gpu);
  char text[64];
  switch (config.gpu) {
    case GpuFamily::kgsl: {
      const std::string kgsl = "sys/class/kgsl/kgsl-3d0";
      dir("sys/class/kgsl");
      dir(kgsl);
      dir(kgsl + "/devfreq");
      const int busy = static_cast<int>(std::lround(sample.gpuBusyPct));
      snprintf(text, sizeof text, "%d %%\n", busy);
      file(kgsl + "/gpu_busy_percentage", text);
      // Busy and total µs of the driver's last window; both 0 while off.
      const long long total = sample.gpuOn ? 100000 : 0;
      const long long busyUs = sample.gpuOn ? std::llround(sample.gpuBusyPct * 1000) : 0;
      snprintf(text, sizeof text, "%7lld %7lld\n", busyUs, total);
      file(kgsl + "/gpubusy", text);
      file(kgsl + "/gpuclk", line(sample.gpuHz));
      file(kgsl + "/max_gpuclk", line(sample.gpuMaxHz));
      file(kgsl + "/devfreq/cur_freq", line(sample.gpuHz));
      file(kgsl + "/devfreq/max_freq", line(sample.gpuMaxHz));
      file(kgsl + "/devfreq/available_frequencies", freqList(gpu, 1, false));
      file(kgsl + "/gpu_model", "Adreno740v2\n");
      file(kgsl + "/num_pwrlevels", line(static_cast<int64_t>(gpu.size())));
      file(kgsl + "/thermal_pwrlevel", line(static_cast<int64_t>(sample.gpuCapSteps)));
      break;
    }
    case GpuFamily::exynos: {
      const std::string mali = "sys/kernel/gpu";
      dir("sys/kernel");
      dir(mali);
      constexpr int64_t kMHz = 1000000;
      file(mali + "/gpu_clock", line(sample.gpuOn ? sample.gpuHz / kMHz : 0));
      file(mali + "/gpu_max_clock", line(sample.gpuMaxHz / kMHz));
      file(mali + "/gpu_min_clock", line(gpu.front() / kMHz));
      snprintf(text, sizeof text, "%3d%%\n", static_cast<int>(std::lround(sample.gpuBusyPct)));
      file(mali + "/gpu_busy", text);
      file(mali + "/gpu_freq_table", freqList(gpu, kMHz, true));
      file(mali + "/gpu_model", "Mali-G78\n");
      file(mali + "/gpu_governor", "Interactive\n");
      break;
    }
    case GpuFamily::devfreq: {
      dir("sys/class/devfreq");
      // The memory bus scales too, and is no GPU.
      const std::string bus = "sys/class/devfreq/17000010.devfreq_mif";
      dir(bus);
      const int64_t busHz = sample.appRunning ? 1539000000 : 421000000;
      file(bus + "/cur_freq", line(busHz));
      file(bus + "/max_freq", line(3172000000));
      file(bus + "/min_freq", line(421000000));
      file(bus + "/governor", "interactive\n");
      const std::string mali = "sys/class/devfreq/1f000000.mali";
      dir(mali);
      file(mali + "/cur_freq", line(sample.gpuHz));
      file(mali + "/max_freq", line(sample.gpuMaxHz));
      file(mali + "/min_freq", line(gpu.front()));
      file(mali + "/available_frequencies", freqList(gpu, 1, false));
      file(mali + "/governor", "simple_ondemand\n");
      break;
    }
    case GpuFamily::none:
      break;
  }

  dir("sys/class/power_supply");
  const std::string battery = "sys/class/power_supply/battery";
  dir(battery);
  file(battery + "/type", "Battery\n");
  file(battery + "/present", "1\n");
  file(battery + "/technology", "Li-ion\n");
  file(battery + "/health", "Good\n");
  file(battery + "/capacity", line(sample.batteryPct));
  file(battery + "/status", sample.batteryStatus + "\n");
  file(battery + "/voltage_now", line(sample.batteryMicrovolts));
  int64_t current = sample.batteryMicroamps;
  if (config.batteryMilliamps) current = current / 1000;
  if (config.batteryDischargingPositive) current = -current;
  file(battery + "/current_now", line(current));
  file(battery + "/temp", line(std::llround(sample.batteryC * 10)));
  file(battery + "/charge_full_design", line(static_cast<int64_t>(kBatteryMah * 1000)));
  const std::string usb = "sys/class/power_supply/usb";
  dir(usb);
  file(usb + "/type", "USB\n");
  file(usb + "/online", config.charging == Charging::no ? "0\n" : "1\n");
  return tree;
}

namespace {

// Of the busy time, and of the idle time.
constexpr std::pair<CpuTimes::Field, double> kBusyShares[] = {{CpuTimes::user, 0.62},
                                                              {CpuTimes::nice, 0.03},
                                                              {CpuTimes::system, 0.25},
                                                              {CpuTimes::irq, 0.03},
                                                              {CpuTimes::softirq, 0.07}};
constexpr std::pair<CpuTimes::Field, double> kIdleShares[] = {{CpuTimes::idle, 0.98},
                                                              {CpuTimes::iowait, 0.02}};
// USER_HZ.
constexpr int64_t kNsPerTick = 10000000;
// Since boot the first cores, where the system's own work lands, were the busiest.
double bootLoad(size_t cpu) { return 0.12 - 0.01 * static_cast<double>(cpu % 5); }

std::string statLine(const std::string& name, const CpuTimes& t) {
  std::string out = name;
  for (const uint64_t v : t.ticks) out += " " + std::to_string(v);
  return out + "\n";
}

}  // namespace

ProcStat::ProcStat(std::vector<bool> online)
    : online_(std::move(online)), cpus_(online_.size()), carry_(online_.size()) {}

ProcStat ProcStat::sinceBoot(std::vector<bool> online, int64_t uptimeNs) {
  ProcStat stat(std::move(online));
  std::vector<double> load(stat.online_.size());
  for (size_t cpu = 0; cpu < load.size(); ++cpu) load[cpu] = bootLoad(cpu);
  stat.advance(load, uptimeNs);
  return stat;
}

void ProcStat::advance(const std::vector<double>& load, int64_t elapsedNs) {
  if (elapsedNs <= 0) return;
  const double ticks = static_cast<double>(elapsedNs) / kNsPerTick;
  for (size_t cpu = 0; cpu < cpus_.size() && cpu < load.size(); ++cpu) {
    if (!online_[cpu]) continue;
    const double busy = std::clamp(load[cpu], 0.0, 1.0) * ticks;
    const auto add = [&](CpuTimes::Field field, double amount) {
      const double sum = carry_[cpu][field] + amount;
      const double whole = std::floor(sum);
      cpus_[cpu].ticks[field] += static_cast<uint64_t>(whole);
      carry_[cpu][field] = sum - whole;
    };
    for (const auto& [field, share] : kBusyShares) add(field, share * busy);
    for (const auto& [field, share] : kIdleShares) add(field, share * (ticks - busy));
  }
}

bool ProcStat::resumeFrom(std::string_view text) {
  const auto parsed = parseProcStat(text);
  if (!parsed) return false;
  for (size_t cpu = 0; cpu < cpus_.size(); ++cpu) {
    const bool listed = cpu < parsed->cpus.size() && parsed->cpus[cpu].has_value();
    if (listed != online_[cpu]) return false;
  }
  if (parsed->cpus.size() > cpus_.size()) return false;
  for (size_t cpu = 0; cpu < cpus_.size(); ++cpu) {
    cpus_[cpu] = parsed->cpus[cpu].value_or(CpuTimes());
    carry_[cpu] = {};
  }
  return true;
}

CpuTimes ProcStat::total() const {
  CpuTimes sum;
  for (const CpuTimes& t : cpus_) {
    for (size_t f = 0; f < CpuTimes::kFields; ++f) sum.ticks[f] += t.ticks[f];
  }
  return sum;
}

std::string ProcStat::text(int64_t uptimeNs) const {
  const CpuTimes sum = total();
  // The aggregate's name is padded to the width of "cpuN".
  std::string out = statLine("cpu ", sum);
  for (size_t cpu = 0; cpu < cpus_.size(); ++cpu) {
    if (online_[cpu]) out += statLine("cpu" + std::to_string(cpu), cpus_[cpu]);
  }
  const uint64_t busy = sum.ticks[CpuTimes::user] + sum.ticks[CpuTimes::system];
  const uint64_t irqs = busy * 211 + sum.ticks[CpuTimes::irq] * 97;
  out += "intr " + std::to_string(irqs) + " 0 0 0 0\n";
  out += "ctxt " + std::to_string(busy * 389) + "\n";
  out += "btime " + std::to_string(kBootEpochSeconds) + "\n";
  out += "processes " + std::to_string(900 + uptimeNs / kNsPerSecond / 4) + "\n";
  out += "procs_running 2\nprocs_blocked 0\n";
  out += "softirq " + std::to_string(sum.ticks[CpuTimes::softirq] * 53) + " 0 0 0 0\n";
  return out;
}

std::optional<ParsedStat> parseProcStat(std::string_view text) {
  ParsedStat parsed;
  bool sawTotal = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view l = text.substr(pos, end - pos);
    pos = end + 1;
    if (l.compare(0, 3, "cpu") != 0) continue;
    size_t i = 3;
    std::optional<size_t> cpu;
    if (i < l.size() && l[i] >= '0' && l[i] <= '9') {
      size_t n = 0;
      for (; i < l.size() && l[i] >= '0' && l[i] <= '9'; ++i) {
        n = n * 10 + static_cast<size_t>(l[i] - '0');
        if (n >= static_cast<size_t>(kMaxCpus)) return std::nullopt;
      }
      cpu = n;
    }
    CpuTimes times;
    size_t fields = 0;
    while (i < l.size()) {
      if (l[i] != ' ') return std::nullopt;
      while (i < l.size() && l[i] == ' ') ++i;
      if (i == l.size()) break;
      if (fields == CpuTimes::kFields) return std::nullopt;
      uint64_t v = 0;
      size_t digits = 0;
      for (; i < l.size() && l[i] >= '0' && l[i] <= '9'; ++i, ++digits) {
        if (digits == 19) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(l[i] - '0');
      }
      if (digits == 0) return std::nullopt;
      times.ticks[fields++] = v;
    }
    // Kernels before 2.6.33 print fewer than ten; four at least.
    if (fields < 4) return std::nullopt;
    if (!cpu) {
      parsed.total = times;
      sawTotal = true;
      continue;
    }
    if (parsed.cpus.size() <= *cpu) parsed.cpus.resize(*cpu + 1);
    parsed.cpus[*cpu] = times;
  }
  if (!sawTotal) return std::nullopt;
  return parsed;
}

std::string memInfoText(const DeviceSample& s) {
  const int64_t anon = kMemTotalKb - s.memFreeKb - s.cachedKb - 812000;
  const std::pair<const char*, int64_t> rows[] = {
      {"MemTotal:", kMemTotalKb},
      {"MemFree:", s.memFreeKb},
      {"MemAvailable:", s.memAvailableKb},
      {"Buffers:", 12480},
      {"Cached:", s.cachedKb},
      {"SwapCached:", 20412},
      {"Active:", anon / 2 + s.cachedKb / 2},
      {"Inactive:", anon / 2 + s.cachedKb / 2},
      {"Active(anon):", anon / 2},
      {"Inactive(anon):", anon / 2},
      {"Active(file):", s.cachedKb / 2},
      {"Inactive(file):", s.cachedKb / 2},
      {"Unevictable:", 215320},
      {"Mlocked:", 215320},
      {"SwapTotal:", 4194300},
      {"SwapFree:", 3287124},
      {"Dirty:", 1124},
      {"Writeback:", 0},
      {"AnonPages:", anon},
      {"Mapped:", 980344},
      {"Shmem:", 41236},
      {"KReclaimable:", 301552},
      {"Slab:", 592940},
      {"SReclaimable:", 160372},
      {"SUnreclaim:", 432568},
      {"KernelStack:", 78912},
      {"PageTables:", 151220},
      {"CommitLimit:", 8001032},
      {"Committed_AS:", 132487104},
      {"VmallocTotal:", 263061440},
      {"VmallocUsed:", 301244},
      {"VmallocChunk:", 0},
      {"CmaTotal:", 204800},
      {"CmaFree:", 3440},
  };
  std::string out;
  char row[64];
  // The kernel pads each name to 16 columns and each value to 8.
  for (const auto& [name, kb] : rows) {
    snprintf(row, sizeof row, "%-16s%8lld kB\n", name, static_cast<long long>(kb));
    out += row;
  }
  return out;
}

}  // namespace sim
