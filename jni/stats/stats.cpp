#include "stats/stats.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "fields.h"
#include "scoped_resource.h"
#include "stats/app_scan.h"
#include "stats/kernel_files.h"
#include "stats/stats_parse.h"

namespace {

// The reply's lines are whole numbers, tenths or text.
constexpr bool statsFormatsAreWritten() {
  for (const field::Field* f : field::kStatsFields) {
    if (f->format == field::Format::kHundredths) return false;
  }
  return true;
}
static_assert(statsFormatsAreWritten(), "ReplyLines writes no hundredths");

// The reply, line by line, each value written as its field's format says.
class ReplyLines {
 public:
  ReplyLines() { text_.reserve(4096); }

  void text(const field::Field& f, std::string_view value) { line(f.name, value); }
  void number(const field::Field& f, std::optional<int64_t> value) { number(f, f.name, value); }
  // A line of f named elsewhere: a thermal zone's.
  void number(const field::Field& f, std::string_view name, std::optional<int64_t> value) {
    if (!value) return line(name, "NA");
    if (f.format == field::Format::kTenths) return tenths(name, *value);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, *value).ptr;
    line(name, std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  // A family's line for item n: its prefix, n and its suffix.
  void item(const field::Field& f, int n, std::optional<int64_t> value) {
    const std::string_view prefix(f.name), suffix(f.suffix);
    char name[64];
    if (prefix.size() + suffix.size() > sizeof name - 12) return;
    memcpy(name, prefix.data(), prefix.size());
    char* end = std::to_chars(name + prefix.size(), name + prefix.size() + 12, n).ptr;
    memcpy(end, suffix.data(), suffix.size());
    end += suffix.size();
    number(f, std::string_view(name, static_cast<size_t>(end - name)), value);
  }
  std::string take() { return std::move(text_); }

 private:
  void line(std::string_view name, std::string_view value) {
    text_.append(name);
    text_ += ' ';
    text_.append(value);
    text_ += '\n';
  }
  void tenths(std::string_view name, int64_t value) {
    char digits[24];
    char* end = digits;
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
      *end++ = '-';
      magnitude = 0 - magnitude;
    }
    end = std::to_chars(end, digits + sizeof digits - 2, magnitude / 10).ptr;
    *end++ = '.';
    *end++ = static_cast<char>('0' + magnitude % 10);
    line(name, std::string_view(digits, static_cast<size_t>(end - digits)));
  }

  std::string text_;
};

// CPUs past this have clocks but no load: a sample stays one fixed-size
// record whatever the device.
constexpr int kMaxCpus = 256;

// What a sample keeps for the next one's loads and shares.
struct Sample {
  bool taken = false;
  uint64_t atNs = 0;
  std::array<CpuTimes, kMaxCpus + 1> cpus;  // [0] is the aggregate, [N + 1] cpuN
  std::bitset<kMaxCpus + 1> cpuRead;
  uint64_t probeUs = 0;
};

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

// A status as one line of printable text.
std::string statusText(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::string status(text);
  for (char& c : status) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '_';
  }
  return status;
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

}  // namespace

class DeviceStats::Sampler {
 public:
  explicit Sampler(const std::string& root) : root_(root), app_(root), pageKb_(pageSizeKb()) {}

  std::string read(const PackagePattern* app, uint64_t collection, uint64_t nowNs);

 private:
  void readCpuTimes();
  std::optional<int64_t> loadSince(size_t slot) const;
  // The time since the previous sample; 0 when the clock went back.
  uint64_t sinceNs() const {
    return current_->atNs > previous_->atNs ? current_->atNs - previous_->atNs : 0;
  }
  void addCpus(ReplyLines* reply);
  void addGpu(ReplyLines* reply);
  void addBattery(ReplyLines* reply);
  void addMemory(ReplyLines* reply);
  void addApp(const PackagePattern* app, uint64_t collection, ReplyLines* reply);
  void addProbe(ReplyLines* reply);
  void addThermal(ReplyLines* reply);

  const std::string root_;
  AppScan app_;
  const int64_t pageKb_;
  // The previous sample and the one being taken, swapped at the end of
  // each request.
  Sample samples_[2];
  Sample* previous_ = &samples_[0];
  Sample* current_ = &samples_[1];
  Listing cpuListing_, policyListing_, zoneListing_;
  // Kept between requests for their buffers.
  std::string procStatText_;
  // A policy folder's number and related_cpus.
  struct Policy {
    int number;
    char related[256];
    size_t len;
  };
  std::vector<Policy> policies_;
  std::vector<std::string> zoneNames_;
};

void DeviceStats::Sampler::readCpuTimes() {
  Sample* sample = current_;
  sample->cpuRead.reset();
  Path path(root_);
  path.add("/proc/stat");
  if (!readCpuLines(path.c_str(), &procStatText_)) return;
  std::string_view rest(procStatText_);
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

std::optional<int64_t> DeviceStats::Sampler::loadSince(size_t slot) const {
  if (!previous_->taken || !previous_->cpuRead.test(slot) || !current_->cpuRead.test(slot)) {
    return std::nullopt;
  }
  return loadTenths(previous_->cpus[slot], current_->cpus[slot]);
}

void DeviceStats::Sampler::addCpus(ReplyLines* reply) {
  Path path(root_);
  path.add("/sys/devices/system/cpu");
  const std::vector<int>& cpus = cpuListing_.numbers(path.c_str(), "cpu");

  reply->number(field::kCpuLoadPct, loadSince(0));
  for (int cpu : cpus) {
    reply->item(field::kCoreLoadPct, cpu,
                cpu < kMaxCpus ? loadSince(static_cast<size_t>(cpu + 1)) : std::nullopt);
  }
  const struct {
    const char* file;
    const field::Field& family;
  } clocks[] = {{"scaling_cur_freq", field::kCoreKhz}, {"cpuinfo_max_freq", field::kCoreMaxKhz}};
  for (const auto& clock : clocks) {
    for (int cpu : cpus) {
      const size_t base = path.add("/cpu");
      path.add(cpu);
      path.add("/cpufreq/");
      path.add(clock.file);
      reply->item(clock.family, cpu, readInteger(path.c_str()));
      path.cut(base);
    }
  }

  // Each policy lists the CPUs it governs, offline ones included; kernels
  // without policy folders list them in each online CPU's cpufreq folder,
  // whose first CPU names the policy.
  policies_.clear();
  const size_t base = path.add("/cpufreq");
  for (int policy : policyListing_.numbers(path.c_str(), "policy")) {
    const size_t folder = path.add("/policy");
    path.add(policy);
    path.add("/related_cpus");
    Policy p;
    p.number = policy;
    if (const std::optional<std::string_view> related =
            readSmall(path.c_str(), p.related, sizeof p.related)) {
      p.len = related->size();
      policies_.push_back(p);
    }
    path.cut(folder);
  }
  path.cut(base);
  for (int cpu : cpus) {
    std::optional<int64_t> cluster;
    for (const Policy& policy : policies_) {
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
    reply->item(field::kCoreCluster, cpu, cluster);
  }
}

void DeviceStats::Sampler::addGpu(ReplyLines* reply) {
  // SELinux denies the shell these nodes on many builds, so a family whose
  // folder is there but unreadable gives way to the next.
  const char* source = "none";
  Path kgsl(root_), exynos(root_), devfreq(root_);
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
  reply->number(field::kGpuKhz, gpu.khz);
  reply->number(field::kGpuMaxKhz, gpu.maxKhz);
  reply->number(field::kGpuBusyPct, gpu.busyTenths);
  reply->text(field::kGpuSource, source);
}

void DeviceStats::Sampler::addBattery(ReplyLines* reply) {
  Path path(root_);
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
  reply->number(field::kBatteryPct, raw.capacity);
  reply->text(field::kBatteryStatus, raw.status.empty() ? "NA" : raw.status);
  reply->number(field::kBatteryMv, battery.mv);
  reply->number(field::kBatteryMa, battery.ma);
  reply->number(field::kBatteryMw, battery.mw);
  reply->number(field::kBatteryTempC, raw.temp);
}

void DeviceStats::Sampler::addMemory(ReplyLines* reply) {
  char buf[4096];
  Path path(root_);
  path.add("/proc/meminfo");
  const std::optional<std::string_view> text = readSmall(path.c_str(), buf, sizeof buf);
  reply->number(field::kMemAvailableKb, text ? keyedValue(*text, "MemAvailable") : std::nullopt);
}

void DeviceStats::Sampler::addApp(const PackagePattern* app, uint64_t collection,
                                  ReplyLines* reply) {
  const AppFigures figures = app_.scan(app, collection, current_->atNs);
  reply->number(field::kAppPids, figures.pids);
  reply->number(field::kAppThreads, figures.threads);
  reply->number(field::kAppRssKb, figures.rssKb);
  reply->number(field::kAppCpuPct, figures.cpuTenths);
}

void DeviceStats::Sampler::addProbe(ReplyLines* reply) {
  current_->probeUs = probeCpuUs();
  std::optional<int64_t> share;
  if (previous_->taken && current_->probeUs >= previous_->probeUs) {
    share = coreShareTenths((current_->probeUs - previous_->probeUs) * 1000, sinceNs());
  }
  reply->number(field::kProbeCpuPct, share);

  char buf[256];
  std::optional<int64_t> rssKb;
  Path path(root_);
  path.add("/proc/self/statm");
  if (const std::optional<std::string_view> statm = readSmall(path.c_str(), buf, sizeof buf)) {
    // size resident shared text lib data dt, in pages.
    std::string_view rest = *statm;
    const size_t space = rest.find(' ');
    if (space != std::string_view::npos) {
      rest.remove_prefix(space + 1);
      const std::optional<int64_t> pages = parseInteger(rest.substr(0, rest.find(' ')));
      if (pages) rssKb = *pages * pageKb_;
    }
  }
  reply->number(field::kProbeRssKb, rssKb);
}

void DeviceStats::Sampler::addThermal(ReplyLines* reply) {
  Path path(root_);
  path.add("/sys/class/thermal");
  size_t given = 0;
  for (int zone : zoneListing_.numbers(path.c_str(), "thermal_zone")) {
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
      const auto end = zoneNames_.begin() + static_cast<ptrdiff_t>(given);
      return std::find(zoneNames_.begin(), end, candidate) != end;
    };
    if (zoneNames_.size() == given) zoneNames_.emplace_back();
    zoneName(*type, &zoneNames_[given]);
    makeZoneNameUnique(&zoneNames_[given], taken);
    path.add("/temp");
    const std::optional<int64_t> temp = readInteger(path.c_str());
    path.cut(base);
    reply->number(field::kZoneTempC, zoneNames_[given],
                  temp ? std::optional<int64_t>(thermalTenths(*temp)) : std::nullopt);
    ++given;
  }
}

std::string DeviceStats::Sampler::read(const PackagePattern* app, uint64_t collection,
                                       uint64_t nowNs) {
  ReplyLines reply;
  current_->atNs = nowNs;
  reply.number(field::kUptimeMs, static_cast<int64_t>(nowNs / 1000000));
  readCpuTimes();
  addCpus(&reply);
  addGpu(&reply);
  addBattery(&reply);
  addMemory(&reply);
  addApp(app, collection, &reply);
  addProbe(&reply);
  // Last, so that a reply cut to fit a distant peer loses zones and nothing
  // else.
  addThermal(&reply);
  current_->taken = true;
  std::swap(previous_, current_);
  return reply.take();
}

DeviceStats::DeviceStats(const std::string& root) : sampler_(std::make_unique<Sampler>(root)) {}

DeviceStats::~DeviceStats() = default;

std::string DeviceStats::read(const PackagePattern* app, uint64_t collection, uint64_t nowNs) {
  return sampler_->read(app, collection, nowNs);
}
