#pragma once

#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cpu_model.h"
#include "device_config.h"
#include "device_model.h"
#include "time_stats.h"

namespace sim {

// On failure errno tells why.
bool readFile(const std::string& path, std::string* out);

bool writeAll(int fd, const std::string& bytes);

// Through a temporary file beside it and a rename, so that a reader sees the
// old contents or the new, never a part.
bool writeFileAtomic(const std::string& path, const std::string& content, std::string* error);

// As writeFileAtomic, through a link rather than a rename, so that a file
// already there stays as it is: *created says whether this call made it.
bool createFileAtomic(const std::string& path, const std::string& content, bool* created,
                      std::string* error);

// Over the file's own bytes from offset 0, then cut to length: the file may
// be a bind mount (over /proc/stat), which a rename would not replace.
bool writeFileInPlace(const std::string& path, const std::string& content, std::string* error);

bool isDirectory(const std::string& path);

// Folders made (an existing one is fine), files written through a rename,
// links replaced; each path under root.
bool writeTree(const std::string& root, const std::vector<TreeEntry>& tree, std::string* error);

// The whole phone under root at nowNs: sys/ (see deviceTree), proc/stat
// (its counters kept when it already holds this device's CPUs) and
// proc/meminfo.
bool makeDevice(const std::string& root, const DeviceConfig& config, int cpus,
                std::optional<int64_t> appStartNs, uint64_t seed, int64_t nowNs,
                std::string* error);

// Keeps a phone made by makeDevice moving: each step writes the device at
// its time, files that did not change left alone, and adds the CPUs' busy
// and idle time since the last step to proc/stat.
class DeviceWalk {
 public:
  // The CPUs are those of root's tree; the configuration's offline CPUs
  // must be those the tree was made with.
  bool open(const std::string& root, const DeviceConfig& config, uint64_t seed, int64_t nowNs,
            std::string* error);
  bool step(const DeviceConfig& config, std::optional<int64_t> appStartNs, int64_t nowNs,
            std::string* error);
  int cpus() const { return cpus_; }

 private:
  std::string root_;
  int cpus_ = 0;
  uint64_t seed_ = 0;
  ProcStat stat_{{}};
  std::vector<double> lastLoad_;
  int64_t lastNs_ = 0;
  std::map<std::string, std::string> written_;
};

// What the folder named by PERFPROBE_SIM_DIR holds: device.conf (the
// defaults when absent), the app's start (none when absent) and whether the
// compositor keeps time statistics (kTimeStatsEnabledFile,
// kTimeStatsResetFile).
struct DeviceState {
  DeviceConfig config;
  std::optional<int64_t> appStartNs;
  TimeStatsState timeStats;
};
constexpr char kTimeStatsEnabledFile[] = "timestats_enabled";
constexpr char kTimeStatsResetFile[] = "timestats_reset";
bool loadDeviceState(const std::string& dir, DeviceState* state, std::string* error);

// The number of cpuN folders in a CPU folder; 0 when it cannot be read.
int countCpus(const std::string& cpuDir);

}  // namespace sim
