#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr int64_t kNsPerSecond = 1000000000;

// The wall clock at the monotonic clock's zero, in seconds since the epoch:
// a phone booted in November 2023.
constexpr int64_t kBootEpochSeconds = 1700000000;

// Lines of one latency output; SurfaceFlinger keeps this many frames a layer.
constexpr size_t kLatencySlots = 127;

// From fromNs after the app's start on (until the next step), fps frames a
// second; 0 draws nothing.
struct FpsStep {
  int64_t fromNs;
  int fps;
};

// The line SurfaceFlinger prints before a latency output when it could not
// take its lock in time.
enum class DumpPrefix { none, unresponsive, withoutLock };

// android=14qpr2: Android 14 QPR2 and QPR3, whose compositor front end lists
// no layer and answers --latency with the period alone; frames are in its
// time statistics.
constexpr int kAndroid14Qpr2 = 14;

// Which driver's files show the GPU.
enum class GpuFamily { kgsl, exynos, devfreq, none };

// How the kernel's thermal zones print a temperature: m°C, tenths or °C.
enum class ThermalUnit { milli, deci, degrees };

// Whether the charger is plugged in; held is plugged in but not charging.
enum class Charging { no, yes, held };

// device.conf; every member starts at its default.
struct DeviceConfig {
  std::string package = "com.example.game";
  std::string activity = ".MainActivity";
  int refreshHz = 60;
  std::vector<FpsStep> fps{{0, 60}};
  int64_t jitterNs = 0;
  int64_t stallEveryNs = 0;
  int64_t stallNs = 0;
  uint64_t seed = 1;
  // 7, 10 (Android 8 to 11), 12, 13, kAndroid14Qpr2 or 15: how the layers
  // are named and listed.
  int android = 13;
  // The most rows of a latency output, newest kept, none of them empty, as
  // builds that answer from the frame timeline print; 0: kLatencySlots rows,
  // empty slots "0 0 0" first.
  int latencyRows = 0;
  DumpPrefix prefix = DumpPrefix::none;
  // Of the latency outputs, those that get the prefix, chosen by time.
  int prefixPercent = 100;
  // dumpsys' line after a dump that outlived its 10 s timeout.
  bool timeoutSuffix = false;

  GpuFamily gpu = GpuFamily::kgsl;
  ThermalUnit thermalUnit = ThermalUnit::milli;
  // Once the hottest CPU zone reaches it, in tenths of °C; 0 never throttles.
  int throttleDeciC = 0;
  // The app's frame rate while throttled, in % of its schedule's.
  int throttleFpsPercent = 75;
  // How fast the zones follow the load.
  int64_t thermalTauNs = 25 * kNsPerSecond;
  // The battery's capacity when the app starts.
  int batteryPercent = 80;
  // current_now in mA rather than µA, positive while discharging.
  bool batteryMilliamps = false;
  bool batteryDischargingPositive = false;
  Charging charging = Charging::no;
  // Sorted, each below kMaxCpus.
  std::vector<int> offlineCpus;
  // Of the app's process, with its main thread.
  int appThreads = 4;
};

// "key=value" lines; whole-line "#" comments and blank lines are skipped. On
// an unknown key, a key given twice or a bad value: nullopt, and *error says
// which line and why.
std::optional<DeviceConfig> parseDeviceConfig(std::string_view text, std::string* error);

// "60" or "0:60,5:45,9:58" (seconds may have decimals).
std::optional<std::vector<FpsStep>> parseFpsSchedule(std::string_view text, std::string* error);

// The contents of the app file, and of the time statistics' files: a
// CLOCK_MONOTONIC time in ns, an optional line feed.
std::optional<int64_t> parseAppStart(std::string_view text);

// "package/activity", a leading "." of the activity standing for the package.
std::string windowName(const DeviceConfig& config);

// The refresh period the compositor reports, in ns.
int64_t refreshPeriodNs(const DeviceConfig& config);

}  // namespace sim
