#pragma once

#include <stdint.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cpu_model.h"
#include "device_config.h"

namespace sim {

// What the hottest CPU zone reads at rest, and the most the app's load
// lifts it (at 60 fps; 120 fps and above lift it twice as much).
constexpr double kRestC = 35.0;
constexpr double kRiseC = 20.0;
// Throttling ends this much below throttle_c, so that it does not flap.
constexpr double kThrottleHysteresisC = 3.0;
// Capped clocks draw this share of the power at the same load.
constexpr double kThrottledPower = 0.6;
// The caps: the fastest step at most this share of the top one.
constexpr double kThrottleCap = 0.7;

// A stretch of the app's run in which nothing changes the heat: from fromNs
// after the app's start, it draws fps frames a second (throttled already),
// and the hottest CPU zone moves from startC toward targetC.
struct ThermalStretch {
  int64_t fromNs;
  int fps;
  bool throttled;
  double startC;
  double targetC;
};

// The stretches that begin by untilNs after the app's start (>= 0), in
// order: a new one at each step of the fps schedule and each time the
// hottest zone crosses throttle_c, or its hysteresis on the way down.
// Bounded in length; the last one lasts for ever.
std::vector<ThermalStretch> thermalTimeline(const DeviceConfig& config, int64_t untilNs);

// The hottest CPU zone sinceStartNs into a stretch: the first-order step
// response toward its target.
double stretchTempC(const ThermalStretch& stretch, int64_t sinceStartNs, int64_t tauNs);

// The frames the app draws, throttling applied: config.fps with the
// throttled stretches that begin by untilNs after the start.
std::vector<FpsStep> drawnSchedule(const DeviceConfig& config, int64_t untilNs);

// The GPU: its family, its clock table in Hz, ascending.
std::vector<int64_t> gpuFreqsHz(GpuFamily family);

// The fastest step of an ascending table that the throttle cap allows.
size_t cappedIndex(const std::vector<int64_t>& freqs);

// One thermal zone as the device lists it: its type, what it reads at rest,
// and which share of the hottest CPU zone's rise it follows.
struct ThermalZone {
  const char* type;
  double restC;
  double share;
  bool cpu;
};
const std::vector<ThermalZone>& thermalZones();

// A cooling device; cpufreq ones name the policy they cap, the GPU's -1.
struct CoolingDevice {
  std::string type;
  int policy;  // first CPU of the policy, or -1
  bool gpu;
};
std::vector<CoolingDevice> coolingDevices(const std::vector<Cluster>& clusters);

// The device at one moment, as a pure function of the configuration, the
// app's start (none: not running) and the monotonic time.
struct DeviceSample {
  bool appRunning = false;
  int fps = 0;  // drawn now, throttled
  bool throttled = false;
  double hottestCpuC = kRestC;
  // 0 at rest, 1 at 60 fps, up to 2; lower under the caps.
  double power = 0;
  std::vector<bool> online;      // per CPU
  std::vector<double> load;      // per CPU, 0..1; 0 when offline
  std::vector<int64_t> curKHz;   // per cluster
  std::vector<int64_t> maxKHz;   // per cluster: the cap
  std::vector<size_t> capSteps;  // per cluster: table steps the cap takes off
  bool gpuOn = false;
  int64_t gpuHz = 0;
  int64_t gpuMaxHz = 0;
  size_t gpuCapSteps = 0;
  double gpuBusyPct = 0;
  std::vector<double> zoneC;  // per thermal zone
  int batteryPct = 0;
  std::string batteryStatus;
  int64_t batteryMicrovolts = 0;
  // Into the battery; negative while discharging.
  int64_t batteryMicroamps = 0;
  double batteryC = 0;
  int64_t memAvailableKb = 0;
  int64_t memFreeKb = 0;
  int64_t cachedKb = 0;
};

// cpus: 1..kMaxCpus; seed moves the CPU loads' noise and bursts.
DeviceSample sampleDevice(const DeviceConfig& config, int cpus, std::optional<int64_t> appStartNs,
                          uint64_t seed, int64_t nowNs);

// Whether the CPUs the configuration takes offline fit a device of cpus CPUs
// and leave one online; *error says why not.
bool offlineCpusFit(const DeviceConfig& config, int cpus, std::string* error);

// Everything under ROOT/sys that a reader of the device looks at (CPUs,
// thermal zones and cooling devices, the GPU of the configured family, the
// battery), paths relative to ROOT, a folder before what it holds.
std::vector<TreeEntry> deviceTree(const DeviceConfig& config, int cpus, const DeviceSample& sample);

// One line of /proc/stat, in USER_HZ ticks.
struct CpuTimes {
  enum Field { user, nice, system, idle, iowait, irq, softirq, steal, guest, guestNice, kFields };
  std::array<uint64_t, kFields> ticks{};
};

// The CPU lines of /proc/stat, kept growing: each interval adds its busy and
// idle ticks to each online CPU, split among the fields in fixed shares,
// the fractions carried over so that no field ever goes back.
class ProcStat {
 public:
  // online: per CPU. Starts from ticks, or all zero.
  explicit ProcStat(std::vector<bool> online);

  // A device up for uptimeNs at a light load.
  static ProcStat sinceBoot(std::vector<bool> online, int64_t uptimeNs);

  // Adds elapsedNs at these loads (0..1, per CPU); offline CPUs stay.
  void advance(const std::vector<double>& load, int64_t elapsedNs);

  // Starts from a /proc/stat: false (and unchanged) unless it holds a line
  // for each online CPU and none for an offline one.
  bool resumeFrom(std::string_view text);

  const std::vector<CpuTimes>& cpus() const { return cpus_; }
  CpuTimes total() const;

  // "cpu  ..." then "cpuN ..." per online CPU, then the kernel's other lines.
  std::string text(int64_t uptimeNs) const;

 private:
  std::vector<bool> online_;
  std::vector<CpuTimes> cpus_;
  std::vector<std::array<double, CpuTimes::kFields>> carry_;
};

// The CPU lines of a /proc/stat: per N the line cpuN, none when absent; the
// aggregate in *total. nullopt when a cpu line is malformed.
struct ParsedStat {
  CpuTimes total;
  std::vector<std::optional<CpuTimes>> cpus;
};
std::optional<ParsedStat> parseProcStat(std::string_view text);

// /proc/meminfo as the kernel prints it ("MemAvailable:    2345678 kB").
std::string memInfoText(const DeviceSample& sample);

}  // namespace sim
