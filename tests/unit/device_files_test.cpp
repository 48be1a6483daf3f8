// The simulated phone's files under a root, written whole and rewritten as
// the daemon's readers expect.
#include "device_files.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "device_config.h"
#include "device_model.h"
#include "sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using sim::DeviceConfig;
using sim::kNsPerSecond;
using simtest::configOf;
using simtest::kBattery;
using simtest::kStart;
using simtest::readAll;
using simtest::TempDir;

// The paths the daemon reads per GPU family, with the shapes of their values.
struct GpuCase {
  std::string conf;
  std::map<std::string, std::string> files;  // path -> regex of the content
  std::vector<std::string> absent;
};

TEST(SimDeviceTree, WritesAWholePhoneUnderARoot) {
  const std::string hz = "[1-9][0-9]{8}\n";
  const GpuCase cases[] = {
      {"",
       {{"sys/class/kgsl/kgsl-3d0/gpuclk", hz},
        {"sys/class/kgsl/kgsl-3d0/max_gpuclk", "680000000\n"},
        {"sys/class/kgsl/kgsl-3d0/gpu_busy_percentage", "[0-9]{1,3} %\n"},
        {"sys/class/kgsl/kgsl-3d0/gpubusy", " {0,6}[0-9]{1,6}  100000\n"},
        {"sys/class/kgsl/kgsl-3d0/devfreq/cur_freq", hz},
        {"sys/class/kgsl/kgsl-3d0/devfreq/max_freq", "680000000\n"}},
       {"sys/kernel/gpu", "sys/class/devfreq"}},
      {"gpu=exynos",
       {{"sys/kernel/gpu/gpu_clock", "[1-9][0-9]{2}\n"},
        {"sys/kernel/gpu/gpu_max_clock", "848\n"},
        {"sys/kernel/gpu/gpu_busy", "[ 0-9]{3}%\n"}},
       {"sys/class/kgsl", "sys/class/devfreq"}},
      {"gpu=devfreq",
       {{"sys/class/devfreq/1f000000.mali/cur_freq", hz},
        {"sys/class/devfreq/1f000000.mali/max_freq", "848000000\n"},
        {"sys/class/devfreq/17000010.devfreq_mif/cur_freq", "[1-9][0-9]{8,9}\n"}},
       {"sys/class/kgsl", "sys/kernel/gpu"}},
      {"gpu=none", {}, {"sys/class/kgsl", "sys/kernel/gpu", "sys/class/devfreq"}},
  };
  for (const GpuCase& c : cases) {
    SCOPED_TRACE(c.conf);
    const TempDir root;
    const DeviceConfig config = configOf(c.conf + "\noffline_cpus=6");
    std::string error;
    ASSERT_TRUE(
        sim::makeDevice(root.path(), config, 8, kStart, 1, kStart + 20 * kNsPerSecond, &error))
        << error;
    for (const auto& [path, shape] : c.files) {
      const std::string content = readAll(root.path() / path);
      EXPECT_TRUE(std::regex_match(content, std::regex(shape))) << path << ": " << content;
    }
    for (const std::string& path : c.absent) EXPECT_FALSE(fs::exists(root.path() / path)) << path;
  }

  const TempDir root;
  std::string error;
  ASSERT_TRUE(sim::makeDevice(root.path(), configOf("offline_cpus=6"), 8, kStart, 1,
                              kStart + 20 * kNsPerSecond, &error))
      << error;
  const fs::path cpu = root.path() / "sys/devices/system/cpu";
  EXPECT_EQ(readAll(cpu / "online"), "0-5,7\n");
  EXPECT_EQ(readAll(cpu / "cpu6/online"), "0\n");
  EXPECT_FALSE(fs::exists(cpu / "cpu6/cpufreq"));
  EXPECT_EQ(readAll(cpu / "cpu5/cpufreq/scaling_max_freq"), "2419200\n");
  EXPECT_EQ(readAll(cpu / "cpufreq/policy4/related_cpus"), "4 5 6\n");
  EXPECT_EQ(readAll(cpu / "cpufreq/policy4/affected_cpus"), "4 5\n");

  const fs::path thermal = root.path() / "sys/class/thermal";
  std::multiset<std::string> types;
  size_t zones = 0;
  for (; fs::exists(thermal / ("thermal_zone" + std::to_string(zones))); ++zones) {
    const fs::path zone = thermal / ("thermal_zone" + std::to_string(zones));
    const std::string type = readAll(zone / "type");
    types.insert(type.substr(0, type.size() - 1));
    const std::string temp = readAll(zone / "temp");
    ASSERT_TRUE(std::regex_match(temp, std::regex("[1-9][0-9]{2}00\n"))) << zone << ": " << temp;
  }
  EXPECT_GE(zones, 40u);
  EXPECT_EQ(types.count("battery"), 2u);
  for (const char* type :
       {"cpu-1-7-0", "gpuss-0", "xo-therm", "skin-therm", "pm8550_tz", "VIRTUAL-SKIN"}) {
    EXPECT_EQ(types.count(type), 1u) << type;
  }
  EXPECT_TRUE(fs::exists(thermal / "cooling_device0/cur_state"));
  EXPECT_EQ(readAll(thermal / "cooling_device0/type"), "thermal-cpufreq-0\n");

  for (const char* name : {"capacity", "status", "voltage_now", "current_now", "temp"})
    EXPECT_TRUE(fs::exists(root.path() / kBattery / name)) << name;
  EXPECT_TRUE(
      std::regex_match(readAll(root.path() / kBattery / "temp"), std::regex("3[0-9]{2}\n")));

  const std::string stat = readAll(root.path() / "proc/stat");
  EXPECT_TRUE(std::regex_search(stat, std::regex("^cpu  ([0-9]+ ){9}[0-9]+\n")));
  EXPECT_EQ(stat.find("cpu6 "), std::string::npos);
  EXPECT_NE(stat.find("\ncpu7 "), std::string::npos);
  const std::string meminfo = readAll(root.path() / "proc/meminfo");
  EXPECT_TRUE(std::regex_search(meminfo, std::regex("^MemTotal:        7613464 kB\n")));
  EXPECT_TRUE(std::regex_search(meminfo, std::regex("\nMemAvailable: +[0-9]{7} kB\n")));
}

// Run again over the same root: sys/ files are new files (a reader of the
// old one is undisturbed), proc/ files the same ones, whole and cut to
// length, and their counters do not go back.
TEST(SimDeviceTree, ProcFilesAreRewrittenInPlaceAndSysFilesReplaced) {
  const TempDir root;
  const DeviceConfig config;
  std::string error;
  ASSERT_TRUE(sim::makeDevice(root.path(), config, 4, std::nullopt, 1, kStart, &error)) << error;
  const fs::path stat = root.path() / "proc/stat";
  const fs::path meminfo = root.path() / "proc/meminfo";
  const fs::path temp = root.path() / "sys/class/thermal/thermal_zone1/temp";
  std::ofstream(meminfo, std::ios::app) << std::string(5000, 'x');
  const auto inode = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_ino;
  };
  const ino_t statInode = inode(stat);
  const ino_t memInode = inode(meminfo);
  const ino_t tempInode = inode(temp);
  const auto before = sim::parseProcStat(readAll(stat));
  ASSERT_TRUE(before.has_value());

  ASSERT_TRUE(sim::makeDevice(root.path(), config, 4, kStart, 1, kStart + kNsPerSecond, &error))
      << error;
  EXPECT_EQ(inode(stat), statInode);
  EXPECT_EQ(inode(meminfo), memInode);
  EXPECT_NE(inode(temp), tempInode);
  EXPECT_EQ(readAll(meminfo),
            sim::memInfoText(sim::sampleDevice(config, 4, kStart, 1, kStart + kNsPerSecond)));
  EXPECT_EQ(before->total.ticks, sim::parseProcStat(readAll(stat))->total.ticks);

  // The walk adds each second's hundred ticks to each CPU.
  sim::DeviceWalk walk;
  ASSERT_TRUE(walk.open(root.path(), config, 1, kStart + kNsPerSecond, &error)) << error;
  EXPECT_EQ(walk.cpus(), 4);
  for (int s = 2; s <= 6; ++s) {
    ASSERT_TRUE(walk.step(config, kStart, kStart + s * kNsPerSecond, &error)) << error;
  }
  EXPECT_EQ(inode(stat), statInode);
  const auto after = sim::parseProcStat(readAll(stat));
  ASSERT_TRUE(after.has_value());
  for (size_t cpu = 0; cpu < 4; ++cpu) {
    uint64_t added = 0;
    for (size_t f = 0; f < sim::CpuTimes::kFields; ++f)
      added += after->cpus[cpu]->ticks[f] - before->cpus[cpu]->ticks[f];
    EXPECT_NEAR(static_cast<double>(added), 500, 7) << cpu;
  }
  const sim::DeviceSample now = sim::sampleDevice(config, 4, kStart, 1, kStart + 6 * kNsPerSecond);
  EXPECT_EQ(readAll(root.path() / "sys/devices/system/cpu/cpufreq/policy0/scaling_cur_freq"),
            std::to_string(now.curKHz[0]) + "\n");
}

}  // namespace
