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
#include <sstream>
#include <string>
#include <vector>

#include "field_table.h"
#include "fixtures/stats_phone.h"
#include "package_pattern.h"

namespace {

namespace fs = std::filesystem;

// The fixture's phone under a fresh temporary root.
class Phone : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/stats-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    chmod(root_.c_str(), 0755);
    std::string error;
    ASSERT_TRUE(stats_phone::write(root_, &error)) << error;
  }
  void TearDown() override { fs::remove_all(root_); }

  void file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path, std::ios::binary) << content;
  }

  std::string root_;
};

// The fixture's reply with the value of each named line replaced.
std::string fixtureWith(const std::map<std::string, std::string>& values) {
  std::istringstream in(stats_phone::reply());
  std::string out, line;
  while (std::getline(in, line)) {
    const std::string name = line.substr(0, line.find(' '));
    const auto value = values.find(name);
    out += value == values.end() ? line : name + " " + value->second;
    out += "\n";
  }
  return out;
}

using stats_phone::CpuJiffies;
using stats_phone::procStat;

TEST_F(Phone, TheFixturesReplyThenLoadsSinceIt) {
  // The first reply has no loads, whatever the counters.
  std::vector<CpuJiffies> times(8, {100, 900, true});
  times[7].online = false;
  file("/proc/stat", procStat(times));
  DeviceStats stats(root_);
  const std::string first = stats.read(nullptr, 0, stats_phone::kNowNs);
  if (getenv("PERFPROBE_UPDATE_FIXTURES") != nullptr) stats_phone::writeReply(first);
  EXPECT_EQ(first, stats_phone::reply()) << "the reply of " << stats_phone::replyPath();

  // cpu0 busy 50 of 100 jiffies, cpu1 1 of 3, the rest idle.
  times[0] = {150, 950, true};
  times[1] = {101, 902, true};
  for (int cpu : {2, 3, 4, 5, 6}) times[static_cast<size_t>(cpu)].idle += 10;
  file("/proc/stat", procStat(times));
  std::string reply = stats.read(nullptr, 0, stats_phone::kNowNs + 1000000000);
  EXPECT_NE(reply.find("cpu_load_pct 33.3\ncpu0_load_pct 50.0\ncpu1_load_pct 33.3\n"
                       "cpu2_load_pct 0.0\ncpu3_load_pct 0.0\ncpu4_load_pct 0.0\n"
                       "cpu5_load_pct 0.0\ncpu6_load_pct 0.0\ncpu7_load_pct NA\n"),
            std::string::npos)
      << reply;
  EXPECT_EQ(reply.find("probe_cpu_pct NA"), std::string::npos) << reply;
  // cpu1 goes offline; cpu0 busy 49 of 100.
  times[0] = {199, 1001, true};
  times[1].online = false;
  file("/proc/stat", procStat(times));
  reply = stats.read(nullptr, 0, stats_phone::kNowNs + 2000000000);
  EXPECT_NE(reply.find("cpu_load_pct 49.0\ncpu0_load_pct 49.0\ncpu1_load_pct NA\n"),
            std::string::npos)
      << reply;
}

TEST_F(Phone, TheReplyFollowsTheFieldTable) {
  DeviceStats stats(root_);
  EXPECT_EQ(field_table::whyNotInOrder(stats.read(nullptr, 0, stats_phone::kNowNs),
                                       field::kStatsFields),
            "");
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
    // The phone without its own GPU, then the family's files.
    for (const char* gpu : {"/sys/class/kgsl", "/sys/kernel/gpu", "/sys/class/devfreq"}) {
      fs::remove_all(root_ + gpu);
    }
    for (const auto& [path, content] : family.files) file(path, content);
    DeviceStats stats(root_);
    const std::string reply = stats.read(nullptr, 0, stats_phone::kNowNs);
    EXPECT_NE(reply.find(family.lines), std::string::npos) << family.name << ":\n" << reply;
  }
}

TEST_F(Phone, TheAppsLinesWhileCollecting) {
  file("/proc/4242/cmdline", std::string("com.example.game\0", 17));
  file("/proc/4242/stat",
       "4242 (game) S 1 1 1 0 -1 0 0 0 0 0 300 100 0 0 20 0 12 0 777 0 25 0\n");
  const PackagePattern pattern("com.example.game");
  DeviceStats stats(root_);
  const std::string reply = stats.read(&pattern, 1, stats_phone::kNowNs);
  const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
  EXPECT_NE(reply.find("\nmem_available_kb "), std::string::npos);
  EXPECT_NE(reply.find("\napp_pids 1\napp_threads 12\napp_rss_kb " + std::to_string(25 * pageKb) +
                       "\napp_cpu_pct NA\nprobe_cpu_pct NA\n"),
            std::string::npos)
      << reply;
}

// Unreadable files as a vendor's SELinux policy makes them: each gives NA
// where it is read, and nothing else changes. Root reads through modes, so
// the reply is taken in a child that has given up root.
TEST_F(Phone, UnreadableFilesGiveNAAndNothingElse) {
  const struct {
    const char* path;
    std::map<std::string, std::string> values;
  } denied[] = {
      // The policy's folder, where its CPUs' cpufreq links lead.
      {"/sys/devices/system/cpu/cpufreq/policy4/scaling_cur_freq",
       {{"cpu4_khz", "NA"}, {"cpu5_khz", "NA"}, {"cpu6_khz", "NA"}}},
      {"/sys/class/thermal/thermal_zone0/temp", {{"temp_aoss_0_c", "NA"}}},
      {"/sys/class/power_supply/battery/current_now", {{"battery_ma", "NA"}, {"battery_mw", "NA"}}},
      {"/sys/class/power_supply/battery/status", {{"battery_status", "NA"}}},
      {"/proc/meminfo", {{"mem_available_kb", "NA"}}},
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
      DeviceStats stats(root_);
      const std::string reply = stats.read(nullptr, 0, stats_phone::kNowNs);
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
    EXPECT_EQ(reply, fixtureWith(d.values)) << d.path;
  }
}

TEST_F(Phone, AFifoOrAFolderInAFilesPlaceDoesNotStall) {
  const std::string kgsl = root_ + "/sys/class/kgsl/kgsl-3d0";
  fs::remove(kgsl + "/gpuclk");
  ASSERT_EQ(mkfifo((kgsl + "/gpuclk").c_str(), 0644), 0);
  fs::remove(kgsl + "/devfreq/cur_freq");
  fs::create_directories(kgsl + "/devfreq/cur_freq");
  fs::remove(root_ + "/sys/class/thermal/thermal_zone0/temp");
  fs::create_directories(root_ + "/sys/class/thermal/thermal_zone0/temp");
  // A zone whose type cannot be read is named by its folder.
  const std::string type = root_ + "/sys/class/thermal/thermal_zone2/type";
  fs::remove(type);
  ASSERT_EQ(mkfifo(type.c_str(), 0644), 0);
  DeviceStats stats(root_);
  const std::string reply = stats.read(nullptr, 0, stats_phone::kNowNs);
  std::string expected = fixtureWith({{"gpu_khz", "NA"}, {"temp_aoss_0_c", "NA"}});
  const size_t zone2 = expected.find("temp_cpu_0_1_0_c ");
  ASSERT_NE(zone2, std::string::npos) << expected;
  expected.replace(zone2, 16, "temp_thermal_zone2_c");
  EXPECT_EQ(reply, expected);
}

}  // namespace
