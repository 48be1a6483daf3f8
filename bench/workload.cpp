#include "workload.h"

#include "dumpsys_double/latency.h"

namespace workload {

namespace {

std::string layerName(int i, int layers, int matching) {
  // The matching layers are spread through the listing, as a game's
  // surfaces sit among the system's own.
  const int stride = layers / matching;
  if (i % stride == stride - 1 && i / stride < matching) {
    const int n = i / stride;
    if (n == 0)
      return std::string("SurfaceView - ") + kPackage + "/" + kPackage + ".GameActivity#0";
    return std::string(kPackage) + "/com.bench.game.Layer" + std::to_string(n) + "#" +
           std::to_string(n);
  }
  return systemLayerName(i);
}

}  // namespace

std::string systemLayerName(int i) {
  static const char* const kSystem[] = {"StatusBar",
                                        "NavigationBar0",
                                        "com.android.systemui.ImageWallpaper",
                                        "Dim Layer for - Task=12",
                                        "InputMethod",
                                        "ScreenDecorOverlay"};
  return std::string(kSystem[i % 6]) + "#" + std::to_string(i);
}

std::string listing(int layers, int matching) {
  std::string out;
  for (int i = 0; i < layers; ++i) out += layerName(i, layers, matching) + "\n";
  return out;
}

std::vector<std::string> matchingNames(int layers, int matching) {
  std::vector<std::string> names;
  for (int i = 0; i < layers; ++i) {
    std::string name = layerName(i, layers, matching);
    if (name.find(kPackage) != std::string::npos) names.push_back(name);
  }
  return names;
}

int matchingLayerFps(int index) {
  static const int kFps[] = {60, 30, 24, 50, 45, 20, 10, 55};
  return kFps[index % 8];
}

std::string latencyOutput(int fps) {
  // Some 83 minutes of uptime, a little into a second.
  const uint64_t start = 5000ULL * 1000000000ULL + 123456789ULL;
  const uint64_t period = 1000000000ULL / static_cast<uint64_t>(fps);
  std::vector<uint64_t> times;
  for (int i = 0; i < kTimingLines; ++i) times.push_back(start + static_cast<uint64_t>(i) * period);
  return dumpsys_double::timingLines(times);
}

std::vector<std::string> cpuFreqFiles(int cpus) {
  static const char* const kFreq[] = {"1804800", "1804800", "1497600", "1497600",
                                      "2419200", "2419200", "2841600", "300000"};
  std::vector<std::string> files;
  for (int i = 0; i < cpus; ++i) files.push_back(std::string(kFreq[i % 8]) + "\n");
  return files;
}

namespace {

const char* const kZoneTypes[] = {
    "cpu-0-0-usr", "cpu-0-1-usr", "cpu-0-2-usr", "cpu-0-3-usr", "cpu-1-0-usr", "cpu-1-1-usr",
    "cpu-1-2-usr", "cpu-1-3-usr", "gpuss-0",     "gpuss-1",     "aoss-0",      "nspss-0",
    "nspss-1",     "ddr",         "video",       "camera-0",    "mdmss-0",     "mdmss-1",
    "sys-therm-0", "sys-therm-1", "xo-therm",    "skin-therm",  "pa-therm",    "battery",
    "pm8550_tz",   "pm8550b_tz",  "pm8550vs_tz", "pmr735a_tz",  "cpu-1-4-usr", "cpu-1-5-usr",
    "cpu-1-6-usr", "cpu-1-7-usr", "cpuss-0",     "cpuss-1",     "cpuss-2",     "modem-lte-sub6",
    "chg-therm",   "usb",         "quiet-therm", "conn-therm"};
constexpr int kZones = 40;
constexpr int kStatCpus = 8;

std::string procStat() {
  std::string text = "cpu  4705 356 2894 214523 1321 0 172 0 0 0\n";
  for (int cpu = 0; cpu < kStatCpus; ++cpu) {
    text += "cpu" + std::to_string(cpu) + " 588 44 361 26815 165 0 21 0 0 0\n";
  }
  // A phone counts a few hundred interrupt lines.
  text += "intr 1742516";
  for (int i = 0; i < 600; ++i) text += " " + std::to_string(i % 7 == 0 ? 12345 + i : 0);
  text +=
      "\nctxt 3294738\nbtime 1765400000\nprocesses 42117\nprocs_running 2\nprocs_blocked 0\n"
      "softirq 916541 2 285713 3 22151 0 0 1045 338154 0 269473\n";
  return text;
}

std::string meminfo() {
  static const char* const kKeys[] = {
      "MemTotal",     "MemFree",        "MemAvailable", "Buffers",      "Cached",
      "SwapCached",   "Active",         "Inactive",     "Active(anon)", "Inactive(anon)",
      "Active(file)", "Inactive(file)", "Unevictable",  "Mlocked",      "SwapTotal",
      "SwapFree",     "Dirty",          "Writeback",    "AnonPages",    "Mapped",
      "Shmem",        "KReclaimable",   "Slab",         "SReclaimable", "SUnreclaim",
      "KernelStack",  "PageTables",     "CommitLimit",  "Committed_AS", "VmallocTotal",
      "VmallocUsed",  "CmaTotal",       "CmaFree"};
  std::string text;
  int64_t value = 7701234;
  for (const char* key : kKeys) {
    std::string label = std::string(key) + ":";
    label.resize(16, ' ');
    std::string number = std::to_string(value);
    text += label + std::string(number.size() < 8 ? 8 - number.size() : 0, ' ') + number + " kB\n";
    value = value / 3 + 1234;
  }
  return text;
}

std::string processStat(int pid, const std::string& comm) {
  return std::to_string(pid) + " (" + comm +
         ") S 700 700 0 0 -1 1077952832 120000 0 300 0 4500 1200 0 0 10 -10 87 0 123456 "
         "6543210496 123456 18446744073709551615 1 1 0 0 0 0 4612 1 1073775864 0 0 0 17 5 0 0 0 0 "
         "0\n";
}

}  // namespace

std::vector<File> phoneFiles(int appPid, int otherProcesses) {
  std::vector<File> files;
  const std::vector<std::string> freq = cpuFreqFiles(8);
  const char* const kMax[] = {"1804800\n", "1804800\n", "1804800\n", "1804800\n",
                              "2419200\n", "2419200\n", "2419200\n", "2841600\n"};
  for (int cpu = 0; cpu < 8; ++cpu) {
    const std::string dir = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/";
    files.push_back({dir + "scaling_cur_freq", freq[cpu]});
    files.push_back({dir + "cpuinfo_max_freq", kMax[cpu]});
  }
  files.push_back({"sys/devices/system/cpu/cpufreq/policy0/related_cpus", "0 1 2 3\n"});
  files.push_back({"sys/devices/system/cpu/cpufreq/policy4/related_cpus", "4 5 6\n"});
  files.push_back({"sys/devices/system/cpu/cpufreq/policy7/related_cpus", "7\n"});
  files.push_back({"sys/devices/system/cpu/online", "0-7\n"});
  files.push_back({"sys/devices/system/cpu/possible", "0-7\n"});
  const std::string kgsl = "sys/class/kgsl/kgsl-3d0/";
  files.push_back({kgsl + "gpuclk", "680000000\n"});
  files.push_back({kgsl + "max_gpuclk", "680000000\n"});
  files.push_back({kgsl + "gpu_busy_percentage", "37 %\n"});
  files.push_back({kgsl + "gpubusy", "  37012  100000\n"});
  const std::string battery = "sys/class/power_supply/battery/";
  files.push_back({battery + "capacity", "83\n"});
  files.push_back({battery + "status", "Discharging\n"});
  files.push_back({battery + "voltage_now", "3912000\n"});
  files.push_back({battery + "current_now", "-812000\n"});
  files.push_back({battery + "temp", "312\n"});
  files.push_back({"proc/stat", procStat()});
  files.push_back({"proc/meminfo", meminfo()});
  for (int zone = 0; zone < kZones; ++zone) {
    const std::string dir = "sys/class/thermal/thermal_zone" + std::to_string(zone) + "/";
    files.push_back({dir + "type", std::string(kZoneTypes[zone]) + "\n"});
    files.push_back({dir + "temp", std::to_string(38000 + zone * 317) + "\n"});
  }
  for (int device = 0; device < 10; ++device) {
    files.push_back({"sys/class/thermal/cooling_device" + std::to_string(device) + "/type",
                     "thermal-cpufreq-" + std::to_string(device) + "\n"});
  }
  if (appPid > 0) {
    const std::string dir = "proc/" + std::to_string(appPid) + "/";
    files.push_back({dir + "cmdline", std::string(kPackage) + std::string(1, '\0')});
    files.push_back({dir + "stat", processStat(appPid, "com.bench.game")});
    for (int i = 0; i < otherProcesses; ++i) {
      const int pid = appPid + 1 + i;
      const std::string other = "proc/" + std::to_string(pid) + "/";
      files.push_back({other + "cmdline", "/system/bin/surfaceflinger" + std::string(1, '\0')});
      files.push_back({other + "stat", processStat(pid, "surfaceflinger")});
    }
  }
  return files;
}

std::vector<std::string> statsReads(int appPid, bool collecting) {
  std::vector<std::string> reads = {"proc/stat"};
  for (const char* file : {"scaling_cur_freq", "cpuinfo_max_freq"}) {
    for (int cpu = 0; cpu < 8; ++cpu) {
      reads.push_back("sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/" + file);
    }
  }
  for (int policy : {0, 4, 7}) {
    reads.push_back("sys/devices/system/cpu/cpufreq/policy" + std::to_string(policy) +
                    "/related_cpus");
  }
  for (const char* file : {"gpuclk", "max_gpuclk", "gpu_busy_percentage"}) {
    reads.push_back(std::string("sys/class/kgsl/kgsl-3d0/") + file);
  }
  for (const char* file : {"capacity", "status", "voltage_now", "current_now", "temp"}) {
    reads.push_back(std::string("sys/class/power_supply/battery/") + file);
  }
  reads.push_back("proc/meminfo");
  // Once the processes have settled, only the app's own stat is read.
  if (collecting && appPid > 0) reads.push_back("proc/" + std::to_string(appPid) + "/stat");
  reads.push_back("proc/self/statm");
  for (int zone = 0; zone < kZones; ++zone) {
    for (const char* file : {"type", "temp"}) {
      reads.push_back("sys/class/thermal/thermal_zone" + std::to_string(zone) + "/" + file);
    }
  }
  return reads;
}

}  // namespace workload
