#include "stats/stats.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "fpsbench/parse.h"
#include "scoped_resource.h"
#include "stats/stats_parse.h"

namespace {

// CPUs past this have clocks but no load: the previous sample stays one
// fixed-size record whatever the device.
constexpr int kMaxCpus = 256;
// App processes whose CPU time is followed from one sample to the next; more
// are counted in every other figure.
constexpr size_t kMaxAppProcesses = 64;

constexpr uint64_t kNsPerSecond = 1000000000;

struct AppProcess {
  int pid = 0;
  uint64_t startTicks = 0;
  uint64_t cpuTicks = 0;
};

struct Sample {
  bool taken = false;
  uint64_t atNs = 0;
  std::array<CpuTimes, kMaxCpus + 1> cpus;  // [0] is the aggregate, [N + 1] cpuN
  std::bitset<kMaxCpus + 1> cpuRead;
  uint64_t probeUs = 0;
  // The app's processes, kept only while a collection runs.
  bool appTaken = false;
  uint64_t appCollection = 0;
  bool appAll = true;  // every matching process is in app
  size_t appCount = 0;
  std::array<AppProcess, kMaxAppProcesses> app;
};

// The previous sample and the one being taken, swapped at the end of each
// request.
Sample samples[2];
Sample* previous = &samples[0];
Sample* current = &samples[1];

// The whole text of a small kernel file in buf, without blocking on a FIFO
// planted in its place. One read: a sysfs attribute gives its whole text to
// the first read, and what does not fit in buf is no value of ours.
std::optional<std::string_view> readSmall(const std::string& path, char* buf, size_t size) {
  ScopedFile file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::nullopt;
  for (;;) {
    const ssize_t n = pread(file.get(), buf, size, 0);
    if (n >= 0) return std::string_view(buf, static_cast<size_t>(n));
    if (errno != EINTR) return std::nullopt;
  }
}

// A file of any length up to limit bytes, such as /proc/stat, whose size
// grows with the CPUs and interrupts.
bool readWhole(const std::string& path, std::string* out, size_t limit) {
  out->clear();
  ScopedFile file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return false;
  char buf[16384];
  while (out->size() < limit) {
    const ssize_t n = pread(file.get(), buf, sizeof buf, static_cast<off_t>(out->size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  return true;
}

std::optional<int64_t> readInteger(const std::string& path) {
  char buf[128];
  const std::optional<std::string_view> text = readSmall(path, buf, sizeof buf);
  if (!text) return std::nullopt;
  return parseInteger(*text);
}

// The numbers that follow prefix in the names of a folder's entries
// ("cpu" for cpu0, cpu12, ...), in ascending order.
std::vector<int> numberedEntries(const std::string& dirPath, std::string_view prefix) {
  std::vector<int> numbers;
  ScopedDir dir(opendir(dirPath.c_str()));
  if (!dir) return numbers;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    numbers.push_back(static_cast<int>(*parseInteger(digits)));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// A share of one core in tenths of a percent, rounded half up: busyNs of
// CPU time over elapsedNs.
std::optional<int64_t> shareTenths(uint64_t busyNs, uint64_t elapsedNs) {
  if (elapsedNs == 0) return std::nullopt;
  // Shares up to many cores over any interval above a microsecond fit.
  if (busyNs > UINT64_MAX / 2000) return std::nullopt;
  return static_cast<int64_t>((2000 * busyNs + elapsedNs) / (2 * elapsedNs));
}

// The time since the previous sample; 0 when the clock went back.
uint64_t sinceNs() { return current->atNs > previous->atNs ? current->atNs - previous->atNs : 0; }

class Reply {
 public:
  Reply() { text_.reserve(4096); }
  void text(std::string_view name, std::string_view value) {
    text_.append(name);
    text_ += ' ';
    text_.append(value);
    text_ += '\n';
  }
  void integer(std::string_view name, std::optional<int64_t> value) {
    text(name, value ? std::to_string(*value) : "NA");
  }
  void tenths(std::string_view name, std::optional<int64_t> value) {
    text(name, value ? tenthsText(*value) : "NA");
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string cpuName(int cpu, const char* field) { return "cpu" + std::to_string(cpu) + field; }

void readCpuTimes(const std::string& root, Sample* sample) {
  sample->cpuRead.reset();
  std::string text;
  if (!readWhole(root + "/proc/stat", &text, 1 << 20)) return;
  std::string_view rest(text);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    int cpu;
    CpuTimes times;
    if (!parseCpuLine(line, &cpu, &times)) {
      // The CPU lines come first; the rest (interrupts, context switches)
      // is not needed.
      if (line.substr(0, 3) != "cpu") break;
      continue;
    }
    if (cpu >= kMaxCpus) continue;
    sample->cpus[static_cast<size_t>(cpu + 1)] = times;
    sample->cpuRead.set(static_cast<size_t>(cpu + 1));
  }
}

std::optional<int64_t> loadSince(size_t slot) {
  if (!previous->taken || !previous->cpuRead.test(slot) || !current->cpuRead.test(slot)) {
    return std::nullopt;
  }
  return loadTenths(previous->cpus[slot], current->cpus[slot]);
}

void addCpus(const std::string& root, Reply* reply) {
  const std::string cpuDir = root + "/sys/devices/system/cpu";
  const std::vector<int> cpus = numberedEntries(cpuDir, "cpu");

  reply->tenths("cpu_load_pct", loadSince(0));
  for (int cpu : cpus) {
    reply->tenths(cpuName(cpu, "_load_pct"),
                  cpu < kMaxCpus ? loadSince(static_cast<size_t>(cpu + 1)) : std::nullopt);
  }
  for (int cpu : cpus) {
    const std::optional<int64_t> khz =
        readInteger(cpuDir + "/cpu" + std::to_string(cpu) + "/cpufreq/scaling_cur_freq");
    reply->integer(cpuName(cpu, "_khz"), khz);
  }
  for (int cpu : cpus) {
    const std::optional<int64_t> khz =
        readInteger(cpuDir + "/cpu" + std::to_string(cpu) + "/cpufreq/cpuinfo_max_freq");
    reply->integer(cpuName(cpu, "_max_khz"), khz);
  }

  // Each policy lists the CPUs it governs, offline ones included; kernels
  // without policy folders list them in each online CPU's cpufreq folder,
  // whose first CPU names the policy.
  std::vector<std::pair<int, std::string>> policies;
  const std::string policyDir = cpuDir + "/cpufreq";
  for (int policy : numberedEntries(policyDir, "policy")) {
    char buf[512];
    const std::optional<std::string_view> related = readSmall(
        policyDir + "/policy" + std::to_string(policy) + "/related_cpus", buf, sizeof buf);
    if (related) policies.emplace_back(policy, std::string(*related));
  }
  for (int cpu : cpus) {
    std::optional<int64_t> cluster;
    for (const auto& [policy, related] : policies) {
      if (cpuListHolds(related, cpu)) {
        cluster = policy;
        break;
      }
    }
    if (!cluster) {
      char buf[512];
      const std::optional<std::string_view> related = readSmall(
          cpuDir + "/cpu" + std::to_string(cpu) + "/cpufreq/related_cpus", buf, sizeof buf);
      if (related && cpuListHolds(*related, cpu)) {
        if (const std::optional<int> first = firstListedCpu(*related)) cluster = *first;
      }
    }
    reply->integer(cpuName(cpu, "_cluster"), cluster);
  }
}

std::optional<int64_t> readClockKHz(const std::string& path) {
  const std::optional<int64_t> raw = readInteger(path);
  return raw ? gpuClockKHz(*raw) : std::nullopt;
}

std::optional<int64_t> readPercent(const std::string& path) {
  char buf[128];
  const std::optional<std::string_view> text = readSmall(path, buf, sizeof buf);
  return text ? parsePercentTenths(*text) : std::nullopt;
}

struct Gpu {
  std::optional<int64_t> khz;
  std::optional<int64_t> maxKhz;
  std::optional<int64_t> busyTenths;
  bool answered() const { return khz || maxKhz || busyTenths; }
};

Gpu readKgsl(const std::string& dir) {
  Gpu gpu;
  gpu.khz = readClockKHz(dir + "/gpuclk");
  if (!gpu.khz) gpu.khz = readClockKHz(dir + "/devfreq/cur_freq");
  gpu.maxKhz = readClockKHz(dir + "/max_gpuclk");
  if (!gpu.maxKhz) gpu.maxKhz = readClockKHz(dir + "/devfreq/max_freq");
  gpu.busyTenths = readPercent(dir + "/gpu_busy_percentage");
  if (!gpu.busyTenths) {
    char buf[128];
    if (const std::optional<std::string_view> text = readSmall(dir + "/gpubusy", buf, sizeof buf)) {
      gpu.busyTenths = parseBusyCountersTenths(*text);
    }
  }
  return gpu;
}

Gpu readExynos(const std::string& dir) {
  Gpu gpu;
  gpu.khz = readClockKHz(dir + "/gpu_clock");
  gpu.maxKhz = readClockKHz(dir + "/gpu_max_clock");
  gpu.busyTenths = readPercent(dir + "/gpu_busy");
  return gpu;
}

// The first devfreq device, in name order, whose name says it is a GPU.
Gpu readDevfreq(const std::string& dir) {
  std::vector<std::string> names;
  {
    ScopedDir folder(opendir(dir.c_str()));
    if (!folder) return Gpu();
    while (const dirent* entry = readdir(folder.get())) {
      const std::string_view name(entry->d_name);
      if (name.find("gpu") != std::string_view::npos ||
          name.find("mali") != std::string_view::npos) {
        names.emplace_back(name);
      }
    }
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    Gpu gpu;
    gpu.khz = readClockKHz(dir + "/" + name + "/cur_freq");
    gpu.maxKhz = readClockKHz(dir + "/" + name + "/max_freq");
    if (gpu.answered()) return gpu;
  }
  return Gpu();
}

void addGpu(const std::string& root, Reply* reply) {
  // SELinux denies the shell these nodes on many builds, so a family whose
  // folder is there but unreadable gives way to the next.
  const char* source = "none";
  Gpu gpu = readKgsl(root + "/sys/class/kgsl/kgsl-3d0");
  if (gpu.answered()) {
    source = "kgsl";
  } else if ((gpu = readExynos(root + "/sys/kernel/gpu")).answered()) {
    source = "exynos";
  } else if ((gpu = readDevfreq(root + "/sys/class/devfreq")).answered()) {
    source = "devfreq";
  }
  reply->integer("gpu_khz", gpu.khz);
  reply->integer("gpu_max_khz", gpu.maxKhz);
  reply->tenths("gpu_busy_pct", gpu.busyTenths);
  reply->text("gpu_source", source);
}

// A status as one line of printable text.
std::string statusText(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::string status(text);
  for (char& c : status) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '_';
  }
  return status;
}

void addBattery(const std::string& root, Reply* reply) {
  const std::string dir = root + "/sys/class/power_supply/battery";
  BatteryRaw raw;
  raw.capacity = readInteger(dir + "/capacity");
  char buf[128];
  if (const std::optional<std::string_view> status = readSmall(dir + "/status", buf, sizeof buf)) {
    raw.status = statusText(*status);
  }
  raw.voltage = readInteger(dir + "/voltage_now");
  raw.current = readInteger(dir + "/current_now");
  raw.temp = readInteger(dir + "/temp");
  const Battery battery = normalizeBattery(raw);
  reply->integer("battery_pct", raw.capacity);
  reply->text("battery_status", raw.status.empty() ? "NA" : raw.status);
  reply->integer("battery_mv", battery.mv);
  reply->integer("battery_ma", battery.ma);
  reply->integer("battery_mw", battery.mw);
  reply->tenths("battery_temp_c", raw.temp);
}

void addMemory(const std::string& root, Reply* reply) {
  char buf[4096];
  const std::optional<std::string_view> text = readSmall(root + "/proc/meminfo", buf, sizeof buf);
  reply->integer("mem_available_kb", text ? keyedValue(*text, "MemAvailable") : std::nullopt);
}

int64_t pageKb() {
  static const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? size / 1024 : 4;
}

uint64_t nsPerTick() {
  static const long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? kNsPerSecond / static_cast<uint64_t>(ticks) : kNsPerSecond / 100;
}

void addApp(const std::string& root, const PackagePattern* app, uint64_t collection, Reply* reply) {
  current->appTaken = false;
  if (app == nullptr) {
    for (const char* name : {"app_pids", "app_threads", "app_rss_kb", "app_cpu_pct"}) {
      reply->text(name, "NA");
    }
    return;
  }
  current->appTaken = true;
  current->appCollection = collection;
  current->appAll = true;
  current->appCount = 0;
  const bool since = previous->appTaken && previous->appCollection == collection;

  int64_t pids = 0, threads = 0, rssPages = 0;
  uint64_t newTicks = 0;
  const std::string procDir = root + "/proc";
  ScopedDir dir(opendir(procDir.c_str()));
  while (dir) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9' || strspn(name, "0123456789") != strlen(name)) continue;
    const std::string pidDir = procDir + "/" + name;
    // The command line's first argument: the package, for an app that the
    // zygote started (its process name, which may end in ":service").
    char buf[512];
    const std::optional<std::string_view> cmdline =
        readSmall(pidDir + "/cmdline", buf, sizeof buf - 1);
    if (!cmdline || cmdline->empty() || cmdline->front() == '\0') continue;
    buf[cmdline->size()] = '\0';
    if (!app->matches(std::string(buf))) continue;

    char statBuf[1024];
    const std::optional<std::string_view> statText =
        readSmall(pidDir + "/stat", statBuf, sizeof statBuf);
    const std::optional<ProcessStat> stat = statText ? parseProcessStat(*statText) : std::nullopt;
    // Gone between its listing and its reading: not counted.
    if (!stat) continue;
    ++pids;
    threads += stat->threads;
    rssPages += stat->rssPages;

    const int pid = atoi(name);
    if (current->appCount == kMaxAppProcesses) {
      current->appAll = false;
      continue;
    }
    current->app[current->appCount++] = AppProcess{pid, stat->startTicks, stat->cpuTicks};
    if (!since) continue;
    const AppProcess* before = nullptr;
    for (size_t i = 0; i < previous->appCount; ++i) {
      const AppProcess& p = previous->app[i];
      if (p.pid == pid && p.startTicks == stat->startTicks) {
        before = &p;
        break;
      }
    }
    if (before != nullptr) {
      if (stat->cpuTicks > before->cpuTicks) newTicks += stat->cpuTicks - before->cpuTicks;
    } else if (previous->appAll) {
      // Not there at the previous sample: all its time is since.
      newTicks += stat->cpuTicks;
    }
  }
  reply->integer("app_pids", pids);
  reply->integer("app_threads", threads);
  reply->integer("app_rss_kb", rssPages * pageKb());
  reply->tenths("app_cpu_pct",
                since ? shareTenths(newTicks * nsPerTick(), sinceNs()) : std::nullopt);
}

uint64_t probeCpuUs() {
  uint64_t us = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage;
    if (getrusage(who, &usage) != 0) continue;
    for (const timeval& t : {usage.ru_utime, usage.ru_stime}) {
      us += static_cast<uint64_t>(t.tv_sec) * 1000000 + static_cast<uint64_t>(t.tv_usec);
    }
  }
  return us;
}

void addProbe(const std::string& root, Reply* reply) {
  current->probeUs = probeCpuUs();
  std::optional<int64_t> share;
  if (previous->taken && current->probeUs >= previous->probeUs) {
    share = shareTenths((current->probeUs - previous->probeUs) * 1000, sinceNs());
  }
  reply->tenths("probe_cpu_pct", share);

  char buf[256];
  std::optional<int64_t> rssKb;
  if (const std::optional<std::string_view> statm =
          readSmall(root + "/proc/self/statm", buf, sizeof buf)) {
    // size resident shared text lib data dt, in pages.
    std::string_view rest = *statm;
    const size_t space = rest.find(' ');
    if (space != std::string_view::npos) {
      rest.remove_prefix(space + 1);
      const std::optional<int64_t> pages = parseInteger(rest.substr(0, rest.find(' ')));
      if (pages) rssKb = *pages * pageKb();
    }
  }
  reply->integer("probe_rss_kb", rssKb);
}

void addThermal(const std::string& root, Reply* reply) {
  const std::string dir = root + "/sys/class/thermal";
  std::vector<std::string> names;
  for (int zone : numberedEntries(dir, "thermal_zone")) {
    const std::string zoneDir = dir + "/thermal_zone" + std::to_string(zone);
    char buf[128];
    // A zone is known by its type alone: its number differs from one
    // firmware build of the same phone to the next.
    const std::optional<std::string_view> type = readSmall(zoneDir + "/type", buf, sizeof buf);
    if (!type) continue;
    std::string name = uniqueZoneName(zoneName(*type), [&names](const std::string& candidate) {
      return std::find(names.begin(), names.end(), candidate) != names.end();
    });
    const std::optional<int64_t> temp = readInteger(zoneDir + "/temp");
    reply->tenths(name, temp ? std::optional<int64_t>(thermalTenths(*temp)) : std::nullopt);
    names.push_back(std::move(name));
  }
}

}  // namespace

uint64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

std::string readStats(const std::string& root, const PackagePattern* app, uint64_t collection,
                      uint64_t nowNs) {
  Reply reply;
  current->atNs = nowNs;
  reply.integer("uptime_ms", static_cast<int64_t>(current->atNs / 1000000));
  readCpuTimes(root, current);
  addCpus(root, &reply);
  addGpu(root, &reply);
  addBattery(root, &reply);
  addMemory(root, &reply);
  addApp(root, app, collection, &reply);
  addProbe(root, &reply);
  // Last, so that a reply cut to fit a distant peer loses zones and nothing
  // else.
  addThermal(root, &reply);
  current->taken = true;
  std::swap(previous, current);
  return reply.take();
}

void forgetStatsSample() {
  previous->taken = false;
  previous->appTaken = false;
}
