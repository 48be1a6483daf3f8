#include "device_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scoped_resource.h"

namespace sim {
namespace {

std::string errnoText(const std::string& what) { return what + ": " + strerror(errno); }

constexpr char kCpuDir[] = "/sys/devices/system/cpu";

}  // namespace

bool readFile(const std::string& path, std::string* out) {
  const ScopedFile fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[16384];
  for (;;) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// The whole content in a temporary file beside path, named "" on failure.
std::string writeTemporary(const std::string& path, const std::string& content,
                           std::string* error) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temp = dir + "." + base + "." + std::to_string(getpid()) + ".tmp";
  const ScopedFile fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) {
    *error = errnoText(temp);
    return "";
  }
  if (!writeAll(fd.get(), content)) {
    *error = errnoText(temp);
    unlink(temp.c_str());
    return "";
  }
  return temp;
}

}  // namespace

bool writeFileAtomic(const std::string& path, const std::string& content, std::string* error) {
  const std::string temp = writeTemporary(path, content, error);
  if (temp.empty()) return false;
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *error = errnoText(path);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool createFileAtomic(const std::string& path, const std::string& content, bool* created,
                      std::string* error) {
  const std::string temp = writeTemporary(path, content, error);
  if (temp.empty()) return false;
  const bool linked = link(temp.c_str(), path.c_str()) == 0;
  const int linkErrno = errno;
  unlink(temp.c_str());
  *created = linked;
  if (linked || linkErrno == EEXIST) return true;
  errno = linkErrno;
  *error = errnoText(path);
  return false;
}

bool writeFileInPlace(const std::string& path, const std::string& content, std::string* error) {
  const ScopedFile fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) {
    *error = errnoText(path);
    return false;
  }
  // One write where it fits, so that a reader mostly sees old or new whole.
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        pwrite(fd.get(), content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = errnoText(path);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) {
    *error = errnoText(path);
    return false;
  }
  return true;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeTree(const std::string& root, const std::vector<TreeEntry>& tree, std::string* error) {
  for (const TreeEntry& entry : tree) {
    const std::string path = root + "/" + entry.path;
    switch (entry.kind) {
      case TreeEntry::Kind::dir:
        if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && isDirectory(path))) {
          *error = errnoText(path);
          return false;
        }
        break;
      case TreeEntry::Kind::file:
        if (!writeFileAtomic(path, entry.content, error)) return false;
        break;
      case TreeEntry::Kind::symlink:
        // A second run over the same root replaces its links.
        if ((unlink(path.c_str()) != 0 && errno != ENOENT) ||
            symlink(entry.content.c_str(), path.c_str()) != 0) {
          *error = errnoText(path);
          return false;
        }
        break;
    }
  }
  return true;
}

bool loadDeviceState(const std::string& dir, DeviceState* state, std::string* error) {
  if (!isDirectory(dir)) {
    *error = "PERFPROBE_SIM_DIR " + dir + " is not a folder";
    return false;
  }
  const std::string confPath = dir + "/device.conf";
  std::string text;
  if (readFile(confPath, &text)) {
    std::string why;
    auto config = parseDeviceConfig(text, &why);
    if (!config) {
      *error = confPath + ": " + why;
      return false;
    }
    state->config = std::move(*config);
  } else if (errno != ENOENT) {
    *error = errnoText(confPath);
    return false;
  }
  // Each a CLOCK_MONOTONIC time in ns, as the app file holds.
  const std::pair<const char*, std::optional<int64_t>*> times[] = {
      {"app", &state->appStartNs},
      {kTimeStatsEnabledFile, &state->timeStats.enabledNs},
      {kTimeStatsResetFile, &state->timeStats.resetNs},
  };
  for (const auto& [name, ns] : times) {
    const std::string path = dir + "/" + name;
    text.clear();
    if (readFile(path, &text)) {
      *ns = parseAppStart(text);
      if (!*ns) {
        *error = path + (ns == &state->appStartNs ? ": expected the start time in ns"
                                                  : ": expected a time in ns");
        return false;
      }
    } else if (errno != ENOENT) {
      *error = errnoText(path);
      return false;
    }
  }
  return true;
}

int countCpus(const std::string& cpuDir) {
  const ScopedDir dir(opendir(cpuDir.c_str()));
  if (!dir) return 0;
  int cpus = 0;
  while (const dirent* entry = readdir(dir.get())) {
    const char* name = entry->d_name;
    if (strncmp(name, "cpu", 3) != 0 || name[3] == '\0') continue;
    bool digits = true;
    for (const char* p = name + 3; *p != '\0'; ++p) digits = digits && *p >= '0' && *p <= '9';
    cpus += digits;
  }
  return cpus;
}

bool makeDevice(const std::string& root, const DeviceConfig& config, int cpus,
                std::optional<int64_t> appStartNs, uint64_t seed, int64_t nowNs,
                std::string* error) {
  if (!offlineCpusFit(config, cpus, error)) return false;
  const DeviceSample sample = sampleDevice(config, cpus, appStartNs, seed, nowNs);
  if (!writeTree(root, deviceTree(config, cpus, sample), error)) return false;
  // A tree made before with these CPUs online keeps no link of theirs.
  for (const int cpu : config.offlineCpus) {
    const std::string link = root + kCpuDir + "/cpu" + std::to_string(cpu) + "/cpufreq";
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
      *error = errnoText(link);
      return false;
    }
  }
  const std::string proc = root + "/proc";
  if (mkdir(proc.c_str(), 0755) != 0 && !(errno == EEXIST && isDirectory(proc))) {
    *error = errnoText(proc);
    return false;
  }
  // Counters that went back would read as a negative load.
  ProcStat stat(sample.online);
  std::string old;
  if (!readFile(proc + "/stat", &old) || !stat.resumeFrom(old))
    stat = ProcStat::sinceBoot(sample.online, nowNs);
  return writeFileInPlace(proc + "/stat", stat.text(nowNs), error) &&
         writeFileInPlace(proc + "/meminfo", memInfoText(sample), error);
}

bool DeviceWalk::open(const std::string& root, const DeviceConfig& config, uint64_t seed,
                      int64_t nowNs, std::string* error) {
  root_ = root;
  seed_ = seed;
  const std::string cpuDir = root + kCpuDir;
  cpus_ = countCpus(cpuDir);
  if (cpus_ == 0 || cpus_ > kMaxCpus) {
    *error = cpuDir + " holds no cpuN folder (make the device with device-tree first)";
    return false;
  }
  if (!offlineCpusFit(config, cpus_, error)) return false;
  std::vector<bool> online(static_cast<size_t>(cpus_), true);
  for (const int cpu : config.offlineCpus) online[static_cast<size_t>(cpu)] = false;
  stat_ = ProcStat(online);
  std::string text;
  if (!readFile(root + "/proc/stat", &text) || !stat_.resumeFrom(text))
    stat_ = ProcStat::sinceBoot(online, nowNs);
  lastNs_ = nowNs;
  lastLoad_.clear();
  return true;
}

bool DeviceWalk::step(const DeviceConfig& config, std::optional<int64_t> appStartNs, int64_t nowNs,
                      std::string* error) {
  const DeviceSample sample = sampleDevice(config, cpus_, appStartNs, seed_, nowNs);
  // The mean of the loads at both ends stands for the interval's.
  std::vector<double> load(sample.load.size());
  for (size_t i = 0; i < load.size(); ++i)
    load[i] = (sample.load[i] + (i < lastLoad_.size() ? lastLoad_[i] : sample.load[i])) / 2;
  stat_.advance(load, nowNs - lastNs_);
  lastLoad_ = sample.load;
  lastNs_ = std::max(lastNs_, nowNs);
  for (const TreeEntry& entry : deviceTree(config, cpus_, sample)) {
    if (entry.kind != TreeEntry::Kind::file) continue;
    std::string& last = written_[entry.path];
    if (last == entry.content) continue;
    if (!writeFileAtomic(root_ + "/" + entry.path, entry.content, error)) {
      written_.erase(entry.path);
      return false;
    }
    last = entry.content;
  }
  return writeFileInPlace(root_ + "/proc/stat", stat_.text(nowNs), error) &&
         writeFileInPlace(root_ + "/proc/meminfo", memInfoText(sample), error);
}

}  // namespace sim
