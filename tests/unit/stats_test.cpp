#include "stats/stats.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>


namespace {

namespace fs = std::filesystem;

// A phone's files under a fresh temporary root.
class Phone : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/stats-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    chmod(root_.c_str(), 0755);
    stats_ = std::make_unique<DeviceStats>(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path, std::ios::binary) << content;
  }
  void cpu(int n, const std::string& cur, const std::string& max) {
    const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(n) + "/cpufreq/";
    file(dir + "scaling_cur_freq", cur);
    file(dir + "cpuinfo_max_freq", max);
  }
  void procStat(const std::string& lines) { file("/proc/stat", lines + "intr 1 2 3\nctxt 99\n"); }

  // A small phone: cpu0-1 little, cpu2 big and offline (no cpufreq, no
  // /proc/stat line), an Adreno GPU, three zones, a battery.
  void smallPhone() {
    cpu(0, "300000\n", "1800000\n");
    cpu(1, "300000\n", "1800000\n");
    fs::create_directories(root_ + "/sys/devices/system/cpu/cpu2");
    fs::create_directories(root_ + "/sys/devices/system/cpu/cpuidle");
    file("/sys/devices/system/cpu/online", "0-1\n");
    file("/sys/devices/system/cpu/cpufreq/policy0/related_cpus", "0 1\n");
    file("/sys/devices/system/cpu/cpufreq/policy2/related_cpus", "2\n");
    procStat(
        "cpu  200 0 100 1700 0 0 0 0 0 0\ncpu0 100 0 50 850 0 0 0 0 0 0\n"
        "cpu1 100 0 50 850 0 0 0 0 0 0\n");
    const std::string kgsl = "/sys/class/kgsl/kgsl-3d0/";
    file(kgsl + "gpuclk", "585000000\n");
    file(kgsl + "max_gpuclk", "680000000\n");
    file(kgsl + "gpu_busy_percentage", "37 %\n");
    file("/sys/class/thermal/thermal_zone0/type", "cpu-0-0-usr\n");
    file("/sys/class/thermal/thermal_zone0/temp", "45123\n");
    file("/sys/class/thermal/thermal_zone10/type", "battery\n");
    file("/sys/class/thermal/thermal_zone10/temp", "312\n");
    file("/sys/class/thermal/thermal_zone2/type", "battery\n");
    file("/sys/class/thermal/thermal_zone2/temp", "30\n");
    file("/sys/class/thermal/cooling_device0/type", "fan\n");
    const std::string battery = "/sys/class/power_supply/battery/";
    file(battery + "capacity", "83\n");
    file(battery + "status", "Discharging\n");
    file(battery + "voltage_now", "3912000\n");
    file(battery + "current_now", "512000\n");
    file(battery + "temp", "312\n");
    file("/proc/meminfo", "MemTotal: 7700000 kB\nMemAvailable:    2345678 kB\n");
  }

  std::string stats(uint64_t nowNs) { return stats_->read(nullptr, 0, nowNs); }

  std::string root_;
  std::unique_ptr<DeviceStats> stats_;
};

// The reply without the lines that depend on the test process itself.
std::string withoutProbe(const std::string& reply) {
  std::istringstream in(reply);
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.rfind("probe_", 0) == 0) continue;
    out += line + "\n";
  }
  return out;
}

TEST_F(Phone, ReplyOfASmallPhoneThenLoadsSinceIt) {
  smallPhone();
  const std::string expected =
      "uptime_ms 5000\n"
      "cpu_load_pct NA\n"
      "cpu0_load_pct NA\n"
      "cpu1_load_pct NA\n"
      "cpu2_load_pct NA\n"
      "cpu0_khz 300000\n"
      "cpu1_khz 300000\n"
      "cpu2_khz NA\n"
      "cpu0_max_khz 1800000\n"
      "cpu1_max_khz 1800000\n"
      "cpu2_max_khz NA\n"
      "cpu0_cluster 0\n"
      "cpu1_cluster 0\n"
      "cpu2_cluster 2\n"
      "gpu_khz 585000\n"
      "gpu_max_khz 680000\n"
      "gpu_busy_pct 37.0\n"
      "gpu_source kgsl\n"
      "battery_pct 83\n"
      "battery_status Discharging\n"
      "battery_mv 3912\n"
      "battery_ma -512\n"
      "battery_mw -2003\n"
      "battery_temp_c 31.2\n"
      "mem_available_kb 2345678\n"
      "app_pids NA\n"
      "app_threads NA\n"
      "app_rss_kb NA\n"
      "app_cpu_pct NA\n"
      "temp_cpu_0_0_usr_c 45.1\n"
      "temp_battery_c 30.0\n"
      "temp_battery_2_c 31.2\n";
  const std::string first = stats(5000000000);
  EXPECT_EQ(withoutProbe(first), expected);
  EXPECT_NE(first.find("probe_cpu_pct NA\nprobe_rss_kb "), std::string::npos) << first;

  // cpu0 busy 50 of 100 jiffies, cpu1 busy 1 of 3; cpu1 then goes offline.
  procStat(
      "cpu  251 0 100 1752 0 0 0 0 0 0\ncpu0 150 0 50 900 0 0 0 0 0 0\n"
      "cpu1 101 0 50 852 0 0 0 0 0 0\n");
  std::string second = stats(6000000000);
  EXPECT_NE(second.find("cpu_load_pct 49.5\ncpu0_load_pct 50.0\ncpu1_load_pct 33.3\n"
                        "cpu2_load_pct NA\n"),
            std::string::npos)
      << second;
  procStat("cpu  300 0 100 1803 0 0 0 0 0 0\ncpu0 199 0 50 951 0 0 0 0 0 0\n");
  second = stats(7000000000);
  EXPECT_NE(second.find("cpu_load_pct 49.0\ncpu0_load_pct 49.0\ncpu1_load_pct NA\n"),
            std::string::npos)
      << second;
}

TEST_F(Phone, EachGpuFamilyAndNone) {
  const struct {
    const char* name;
    std::map<std::string, std::string> files;
    const char* lines;
  } families[] = {
      {"kgsl through devfreq and gpubusy",
       {{"/sys/class/kgsl/kgsl-3d0/devfreq/cur_freq", "257000000\n"},
        {"/sys/class/kgsl/kgsl-3d0/devfreq/max_freq", "900000000\n"},
        {"/sys/class/kgsl/kgsl-3d0/gpubusy", "       0        0\n"}},
       "gpu_khz 257000\ngpu_max_khz 900000\ngpu_busy_pct 0.0\ngpu_source kgsl\n"},
      {"exynos",
       {{"/sys/kernel/gpu/gpu_clock", "0\n"},
        {"/sys/kernel/gpu/gpu_max_clock", "702\n"},
        {"/sys/kernel/gpu/gpu_busy", " 42%\n"}},
       "gpu_khz 0\ngpu_max_khz 702000\ngpu_busy_pct 42.0\ngpu_source exynos\n"},
      {"devfreq, past a bus and a folder that is not a GPU",
       {{"/sys/class/devfreq/soc:qcom,cpubw/cur_freq", "1000\n"},
        {"/sys/class/devfreq/1c500000.mali/cur_freq", "848000000\n"},
        {"/sys/class/devfreq/1c500000.mali/max_freq", "848000000\n"},
        {"/sys/class/devfreq/0.gpu-empty/trans_stat", "x\n"}},
       "gpu_khz 848000\ngpu_max_khz 848000\ngpu_busy_pct NA\ngpu_source devfreq\n"},
      {"a kgsl folder with nothing readable gives way",
       {{"/sys/class/kgsl/kgsl-3d0/gpuclk", "busy\n"}, {"/sys/kernel/gpu/gpu_clock", "300\n"}},
       "gpu_khz 300000\ngpu_max_khz NA\ngpu_busy_pct NA\ngpu_source exynos\n"},
      {"none",
       {{"/sys/class/devfreq/ddr/cur_freq", "1\n"}},
       "gpu_khz NA\ngpu_max_khz NA\ngpu_busy_pct NA\ngpu_source none\n"},
  };
  for (const auto& family : families) {
    fs::remove_all(root_ + "/sys");
    for (const auto& [path, content] : family.files) file(path, content);
    const std::string reply = stats(1000000000);
    EXPECT_NE(reply.find(family.lines), std::string::npos) << family.name << ":\n" << reply;
  }
}

// Unreadable files as a vendor's SELinux policy makes them: each gives NA,
// and nothing else changes. Root reads through modes, so the reply is taken
// in a child that has given up root.
TEST_F(Phone, UnreadableFilesGiveNAAndNothingElse) {
  smallPhone();
  const std::string before = withoutProbe(stats(1000000000));
  const struct {
    const char* path;
    const char* line;
  } denied[] = {
      {"/sys/devices/system/cpu/cpu1/cpufreq/scaling_cur_freq", "cpu1_khz NA\n"},
      {"/sys/class/thermal/thermal_zone0/temp", "temp_cpu_0_0_usr_c NA\n"},
      {"/sys/class/power_supply/battery/current_now", "battery_ma NA\nbattery_mw NA\n"},
      {"/sys/class/power_supply/battery/status",
       "battery_status NA\nbattery_mv 3912\nbattery_ma 512\n"},
      {"/proc/meminfo", "mem_available_kb NA\n"},
  };
  for (const auto& d : denied) {
    chmod((root_ + d.path).c_str(), 0);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeFds[0]);
      if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
      stats_ = std::make_unique<DeviceStats>(root_);
      const std::string reply = withoutProbe(stats(1000000000));
      _exit(write(pipeFds[1], reply.data(), reply.size()) == static_cast<ssize_t>(reply.size())
                ? 0
                : 4);
    }
    close(pipeFds[1]);
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
      reply.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << d.path;
    chmod((root_ + d.path).c_str(), 0644);

    // Only the lines of the denied file differ, and they read NA.
    EXPECT_NE(reply.find(d.line), std::string::npos) << d.path << ":\n" << reply;
    std::istringstream a(before), b(reply);
    std::string lineA, lineB;
    int differing = 0;
    while (std::getline(a, lineA) && std::getline(b, lineB)) {
      if (lineA != lineB) ++differing;
      EXPECT_EQ(lineA.substr(0, lineA.find(' ')), lineB.substr(0, lineB.find(' '))) << d.path;
    }
    EXPECT_GE(differing, 1) << d.path;
    EXPECT_LE(differing, 3) << d.path;
  }
}

TEST_F(Phone, AFifoOrAFolderInAFilesPlaceDoesNotStall) {
  smallPhone();
  const std::string fifo = root_ + "/sys/class/kgsl/kgsl-3d0/gpuclk";
  fs::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  fs::remove(root_ + "/sys/class/thermal/thermal_zone0/temp");
  fs::create_directories(root_ + "/sys/class/thermal/thermal_zone0/temp");
  // A zone whose type cannot be read is named by its folder.
  const std::string type = root_ + "/sys/class/thermal/thermal_zone2/type";
  fs::remove(type);
  ASSERT_EQ(mkfifo(type.c_str(), 0644), 0);
  const std::string reply = stats(1000000000);
  EXPECT_NE(reply.find("gpu_khz NA\ngpu_max_khz 680000\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("temp_cpu_0_0_usr_c NA\ntemp_thermal_zone2_c 30.0\ntemp_battery_c 31.2\n"),
            std::string::npos)
      << reply;
}

}  // namespace
