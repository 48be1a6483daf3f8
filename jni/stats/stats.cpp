#include "stats/stats.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "package_pattern.h"
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

// A path built in place, part by part: a reply reads a hundred files or
// more, and the strings of their paths would cost more than their reading.
// A path too long for it names no file.
class Path {
 public:
  explicit Path(std::string_view base) { add(base); }
  // Appends part; returns the length before it, for cut().
  size_t add(std::string_view part) {
    const size_t before = len_;
    if (len_ + part.size() < sizeof buf_) {
      memcpy(buf_ + len_, part.data(), part.size());
      len_ += part.size();
    } else {
      len_ = sizeof buf_;
    }
    return before;
  }
  size_t add(int64_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return add(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void cut(size_t len) { len_ = len; }
  const char* c_str() {
    if (len_ >= sizeof buf_) return "";
    buf_[len_] = '\0';
    return buf_;
  }

 private:
  char buf_[512];
  size_t len_ = 0;
};

// The whole text of a small kernel file in buf, without blocking on a FIFO
// planted in its place. One read: a sysfs attribute gives its whole text to
// the first read, and what does not fit in buf is no value of ours.
std::optional<std::string_view> readSmall(const char* path, char* buf, size_t size) {
  ScopedFile file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::nullopt;
  for (;;) {
    const ssize_t n = pread(file.get(), buf, size, 0);
    if (n >= 0) return std::string_view(buf, static_cast<size_t>(n));
    if (errno != EINTR) return std::nullopt;
  }
}

// The CPU lines at the head of /proc/stat: read a page at a time until a
// line of another kind has come, so that the interrupt counts after them,
// thousands of numbers on a phone, are not copied.
bool readCpuLines(const char* path, std::string* out) {
  out->clear();
  ScopedFile file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return false;
  constexpr size_t kChunk = 4096;
  // Far more than any CPU count needs.
  constexpr size_t kLimit = 1 << 20;
  while (out->size() < kLimit) {
    const size_t at = out->size();
    out->resize(at + kChunk);
    const ssize_t n = pread(file.get(), &(*out)[at], kChunk, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) {
      out->resize(at);
      continue;
    }
    out->resize(at + static_cast<size_t>(n < 0 ? 0 : n));
    if (n <= 0) return n == 0;
    // Done once a line that is not a CPU's has begun; a line cut by the end
    // of the page within "cpu" is not yet known.
    for (size_t line = out->find('\n', at == 0 ? 0 : at - 1); line != std::string::npos;
         line = out->find('\n', line + 1)) {
      const std::string_view next = std::string_view(*out).substr(line + 1, 3);
      if (!next.empty() && std::string_view("cpu").substr(0, next.size()) != next) return true;
    }
  }
  return true;
}

std::optional<int64_t> readInteger(const char* path) {
  char buf[128];
  const std::optional<std::string_view> text = readSmall(path, buf, sizeof buf);
  if (!text) return std::nullopt;
  return parseInteger(*text);
}

// The numbers that follow prefix in the names of a folder's entries
// ("cpu" for cpu0, cpu12, ...), in ascending order.
std::vector<int> listNumberedEntries(const std::string& dirPath, std::string_view prefix) {
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

// A listing kept while its folder stays as it was. Listing a folder takes
// five system calls and a stat one: sysfs counts a folder's subfolders in
// its link count (CPUs, policies and zones are folders), and any folder's
// times move when an entry comes or goes.
struct Listing {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  nlink_t links = 0;
  timespec mtime = {};
  timespec ctime = {};
  std::vector<int> numbers;
};

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

const std::vector<int>& numberedEntries(Listing* listing, const std::string& dirPath,
                                        std::string_view prefix) {
  struct stat st;
  if (stat(dirPath.c_str(), &st) != 0) {
    listing->path.clear();
    listing->numbers.clear();
    return listing->numbers;
  }
  if (listing->path != dirPath || listing->dev != st.st_dev || listing->ino != st.st_ino ||
      listing->links != st.st_nlink || !sameTime(listing->mtime, st.st_mtim) ||
      !sameTime(listing->ctime, st.st_ctim)) {
    listing->numbers = listNumberedEntries(dirPath, prefix);
    listing->path = dirPath;
    listing->dev = st.st_dev;
    listing->ino = st.st_ino;
    listing->links = st.st_nlink;
    listing->mtime = st.st_mtim;
    listing->ctime = st.st_ctim;
  }
  return listing->numbers;
}

Listing cpuListing, policyListing, zoneListing;

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
    if (!value) return text(name, "NA");
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, *value).ptr;
    text(name, std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void tenths(std::string_view name, std::optional<int64_t> value) {
    if (!value) return text(name, "NA");
    char digits[24];
    char* end = digits;
    uint64_t magnitude = static_cast<uint64_t>(*value);
    if (*value < 0) {
      *end++ = '-';
      magnitude = 0 - magnitude;
    }
    end = std::to_chars(end, digits + sizeof digits - 2, magnitude / 10).ptr;
    *end++ = '.';
    *end++ = static_cast<char>('0' + magnitude % 10);
    text(name, std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  // A CPU's line: "cpu" N field.
  void cpu(int n, std::string_view field, std::optional<int64_t> value, bool tenths) {
    char name[48] = "cpu";
    const auto end = std::to_chars(name + 3, name + 24, n).ptr;
    memcpy(end, field.data(), std::min(field.size(), size_t{23}));
    const std::string_view full(
        name, static_cast<size_t>(end - name) + std::min(field.size(), size_t{23}));
    if (tenths) {
      this->tenths(full, value);
    } else {
      integer(full, value);
    }
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

void readCpuTimes(const std::string& root, Sample* sample) {
  sample->cpuRead.reset();
  // Kept between requests, so that its buffer is not made anew each time.
  static std::string text;
  Path path(root);
  path.add("/proc/stat");
  if (!readCpuLines(path.c_str(), &text)) return;
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
  Path path(root);
  path.add("/sys/devices/system/cpu");
  const std::string cpuDir = path.c_str();
  const std::vector<int>& cpus = numberedEntries(&cpuListing, cpuDir, "cpu");

  reply->tenths("cpu_load_pct", loadSince(0));
  for (int cpu : cpus) {
    reply->cpu(cpu, "_load_pct",
               cpu < kMaxCpus ? loadSince(static_cast<size_t>(cpu + 1)) : std::nullopt, true);
  }
  for (const char* file : {"scaling_cur_freq", "cpuinfo_max_freq"}) {
    for (int cpu : cpus) {
      const size_t base = path.add("/cpu");
      path.add(cpu);
      path.add("/cpufreq/");
      path.add(file);
      reply->cpu(cpu, file[0] == 's' ? "_khz" : "_max_khz", readInteger(path.c_str()), false);
      path.cut(base);
    }
  }

  // Each policy lists the CPUs it governs, offline ones included; kernels
  // without policy folders list them in each online CPU's cpufreq folder,
  // whose first CPU names the policy.
  struct Policy {
    int number;
    char related[256];
    size_t len;
  };
  std::vector<Policy> policies;
  const size_t base = path.add("/cpufreq");
  for (int policy : numberedEntries(&policyListing, path.c_str(), "policy")) {
    const size_t folder = path.add("/policy");
    path.add(policy);
    path.add("/related_cpus");
    Policy p;
    p.number = policy;
    if (const std::optional<std::string_view> related =
            readSmall(path.c_str(), p.related, sizeof p.related)) {
      p.len = related->size();
      policies.push_back(p);
    }
    path.cut(folder);
  }
  path.cut(base);
  for (int cpu : cpus) {
    std::optional<int64_t> cluster;
    for (const Policy& policy : policies) {
      if (cpuListHolds(std::string_view(policy.related, policy.len), cpu)) {
        cluster = policy.number;
        break;
      }
    }
    if (!cluster) {
      char buf[256];
      const size_t folder = path.add("/cpu");
      path.add(cpu);
      path.add("/cpufreq/related_cpus");
      const std::optional<std::string_view> related = readSmall(path.c_str(), buf, sizeof buf);
      path.cut(folder);
      if (related && cpuListHolds(*related, cpu)) {
        if (const std::optional<int> first = firstListedCpu(*related)) cluster = *first;
      }
    }
    reply->cpu(cpu, "_cluster", cluster, false);
  }
}

std::optional<int64_t> readClockKHz(Path* dir, std::string_view file) {
  const size_t base = dir->add(file);
  const std::optional<int64_t> raw = readInteger(dir->c_str());
  dir->cut(base);
  return raw ? gpuClockKHz(*raw) : std::nullopt;
}

std::optional<int64_t> readPercent(Path* dir, std::string_view file) {
  char buf[128];
  const size_t base = dir->add(file);
  const std::optional<std::string_view> text = readSmall(dir->c_str(), buf, sizeof buf);
  dir->cut(base);
  return text ? parsePercentTenths(*text) : std::nullopt;
}

struct Gpu {
  std::optional<int64_t> khz;
  std::optional<int64_t> maxKhz;
  std::optional<int64_t> busyTenths;
  bool answered() const { return khz || maxKhz || busyTenths; }
};

Gpu readKgsl(Path* dir) {
  Gpu gpu;
  gpu.khz = readClockKHz(dir, "/gpuclk");
  if (!gpu.khz) gpu.khz = readClockKHz(dir, "/devfreq/cur_freq");
  gpu.maxKhz = readClockKHz(dir, "/max_gpuclk");
  if (!gpu.maxKhz) gpu.maxKhz = readClockKHz(dir, "/devfreq/max_freq");
  gpu.busyTenths = readPercent(dir, "/gpu_busy_percentage");
  if (!gpu.busyTenths) {
    char buf[128];
    const size_t base = dir->add("/gpubusy");
    if (const std::optional<std::string_view> text = readSmall(dir->c_str(), buf, sizeof buf)) {
      gpu.busyTenths = parseBusyCountersTenths(*text);
    }
    dir->cut(base);
  }
  return gpu;
}

Gpu readExynos(Path* dir) {
  Gpu gpu;
  gpu.khz = readClockKHz(dir, "/gpu_clock");
  gpu.maxKhz = readClockKHz(dir, "/gpu_max_clock");
  gpu.busyTenths = readPercent(dir, "/gpu_busy");
  return gpu;
}

// The first devfreq device, in name order, whose name says it is a GPU.
Gpu readDevfreq(Path* dir) {
  std::vector<std::string> names;
  {
    ScopedDir folder(opendir(dir->c_str()));
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
    const size_t base = dir->add("/");
    dir->add(name);
    Gpu gpu;
    gpu.khz = readClockKHz(dir, "/cur_freq");
    gpu.maxKhz = readClockKHz(dir, "/max_freq");
    dir->cut(base);
    if (gpu.answered()) return gpu;
  }
  return Gpu();
}

void addGpu(const std::string& root, Reply* reply) {
  // SELinux denies the shell these nodes on many builds, so a family whose
  // folder is there but unreadable gives way to the next.
  const char* source = "none";
  Path kgsl(root), exynos(root), devfreq(root);
  kgsl.add("/sys/class/kgsl/kgsl-3d0");
  exynos.add("/sys/kernel/gpu");
  devfreq.add("/sys/class/devfreq");
  Gpu gpu = readKgsl(&kgsl);
  if (gpu.answered()) {
    source = "kgsl";
  } else if ((gpu = readExynos(&exynos)).answered()) {
    source = "exynos";
  } else if ((gpu = readDevfreq(&devfreq)).answered()) {
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
  Path path(root);
  path.add("/sys/class/power_supply/battery/");
  auto number = [&path](std::string_view file) {
    const size_t base = path.add(file);
    const std::optional<int64_t> value = readInteger(path.c_str());
    path.cut(base);
    return value;
  };
  BatteryRaw raw;
  raw.capacity = number("capacity");
  char buf[128];
  const size_t base = path.add("status");
  if (const std::optional<std::string_view> status = readSmall(path.c_str(), buf, sizeof buf)) {
    raw.status = statusText(*status);
  }
  path.cut(base);
  raw.voltage = number("voltage_now");
  raw.current = number("current_now");
  raw.temp = number("temp");
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
  Path path(root);
  path.add("/proc/meminfo");
  const std::optional<std::string_view> text = readSmall(path.c_str(), buf, sizeof buf);
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

// What the app's scan knew of each process it saw, in pid order: whether
// the pattern matches its first argument. Reading every process's command
// line is most of a reply's cost on a phone of hundreds of processes, and a
// process keeps its first argument, but for the moment after its start: a
// fork runs its parent's command line until it calls exec, and an app
// forked by the zygote reads "zygote64" until it takes its package's name.
// So a decision is read again at every request until one was made
// kSettledNs after the process was first seen, and is kept from then on. A
// process is known by its pid and the inode of its /proc folder, which a
// new process of the same pid does not share.
struct Seen {
  int pid;
  ino_t ino;
  uint64_t firstNs;
  uint64_t decidedNs;
  bool matches;
};
constexpr uint64_t kSettledNs = 2 * kNsPerSecond;
std::vector<Seen> seen, seenNext;
uint64_t seenCollection = 0;

const Seen* known(int pid, ino_t ino) {
  const auto at = std::lower_bound(seen.begin(), seen.end(), pid,
                                   [](const Seen& s, int p) { return s.pid < p; });
  return at != seen.end() && at->pid == pid && at->ino == ino ? &*at : nullptr;
}

void addApp(const std::string& root, const PackagePattern* app, uint64_t collection, Reply* reply) {
  current->appTaken = false;
  if (app == nullptr) {
    for (const char* name : {"app_pids", "app_threads", "app_rss_kb", "app_cpu_pct"}) {
      reply->text(name, "NA");
    }
    seen.clear();
    return;
  }
  current->appTaken = true;
  current->appCollection = collection;
  current->appAll = true;
  current->appCount = 0;
  const bool since = previous->appTaken && previous->appCollection == collection;
  // The decisions are the pattern's: another collection starts afresh.
  if (seenCollection != collection) seen.clear();
  seenCollection = collection;
  seenNext.clear();

  int64_t pids = 0, threads = 0, rssPages = 0;
  uint64_t newTicks = 0;
  Path path(root);
  path.add("/proc");
  ScopedDir dir(opendir(path.c_str()));
  std::string argv0;
  while (dir) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9' || strspn(name, "0123456789") != strlen(name)) continue;
    const int pid = atoi(name);
    const size_t base = path.add("/");
    path.add(name);

    const Seen* seenBefore = known(pid, entry->d_ino);
    Seen now{pid, entry->d_ino, seenBefore ? seenBefore->firstNs : current->atNs, current->atNs,
             false};
    if (seenBefore != nullptr && seenBefore->decidedNs - seenBefore->firstNs >= kSettledNs) {
      now = *seenBefore;
    } else {
      // The command line's first argument: the package, for an app that the
      // zygote started (its process name, which may end in ":service").
      const size_t pidDir = path.add("/cmdline");
      char buf[512];
      const std::optional<std::string_view> cmdline = readSmall(path.c_str(), buf, sizeof buf);
      path.cut(pidDir);
      // Gone, or closed to us: nothing to keep.
      if (!cmdline) {
        path.cut(base);
        continue;
      }
      // A kernel thread or a zombie has none.
      argv0.assign(cmdline->data(), strnlen(cmdline->data(), cmdline->size()));
      now.matches = !argv0.empty() && app->matches(argv0);
    }
    seenNext.push_back(now);
    if (!now.matches) {
      path.cut(base);
      continue;
    }

    char statBuf[1024];
    path.add("/stat");
    const std::optional<std::string_view> statText =
        readSmall(path.c_str(), statBuf, sizeof statBuf);
    path.cut(base);
    const std::optional<ProcessStat> stat = statText ? parseProcessStat(*statText) : std::nullopt;
    // Gone between its listing and its reading: not counted.
    if (!stat) continue;
    ++pids;
    threads += stat->threads;
    rssPages += stat->rssPages;

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
  // /proc lists processes in pid order; any other folder is put in it.
  if (!std::is_sorted(seenNext.begin(), seenNext.end(),
                      [](const Seen& a, const Seen& b) { return a.pid < b.pid; })) {
    std::sort(seenNext.begin(), seenNext.end(),
              [](const Seen& a, const Seen& b) { return a.pid < b.pid; });
  }
  seen.swap(seenNext);
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
  Path path(root);
  path.add("/proc/self/statm");
  if (const std::optional<std::string_view> statm = readSmall(path.c_str(), buf, sizeof buf)) {
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
  Path path(root);
  path.add("/sys/class/thermal");
  // Kept between requests for their buffers.
  static std::vector<std::string> names;
  size_t given = 0;
  for (int zone : numberedEntries(&zoneListing, path.c_str(), "thermal_zone")) {
    const size_t base = path.add("/thermal_zone");
    path.add(zone);
    const size_t zoneDir = path.add("/type");
    char buf[128];
    // A zone is known by its type alone: its number differs from one
    // firmware build of the same phone to the next.
    std::optional<std::string_view> type = readSmall(path.c_str(), buf, sizeof buf);
    path.cut(zoneDir);
    // A zone whose type cannot be read is still a line: named by its folder,
    // the only name it has.
    char folder[32];
    if (!type) {
      const int n = snprintf(folder, sizeof folder, "thermal_zone%d", zone);
      type = std::string_view(folder, n > 0 ? static_cast<size_t>(n) : 0);
    }
    const auto taken = [&](const std::string& candidate) {
      return std::find(names.begin(), names.begin() + static_cast<ptrdiff_t>(given), candidate) !=
             names.begin() + static_cast<ptrdiff_t>(given);
    };
    if (names.size() == given) names.emplace_back();
    names[given] = uniqueZoneName(zoneName(*type), taken);
    path.add("/temp");
    const std::optional<int64_t> temp = readInteger(path.c_str());
    path.cut(base);
    reply->tenths(names[given], temp ? std::optional<int64_t>(thermalTenths(*temp)) : std::nullopt);
    ++given;
  }
}

}  // namespace

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
  seen.clear();
}
