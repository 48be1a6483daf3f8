// The simulated app's process: named and sized as the package, and gone
// when stopped or when its start goes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using simtest::readAll;
using simtest::TempDir;

// The app's process, through the built binary beside this test's.
class SimAppProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    sim_ = fs::path(std::string(exe, static_cast<size_t>(n))).parent_path().parent_path() /
           "bin/perfprobe-sim";
    if (!fs::exists(sim_)) GTEST_SKIP() << "no " << sim_ << ": build perfprobe-sim first";
    setenv("PERFPROBE_SIM_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("PERFPROBE_SIM_DIR"); }

  int run(const std::string& args) { return system((sim_.string() + " " + args).c_str()); }
  pid_t appPid() { return static_cast<pid_t>(std::stol(readAll(dir_.path() / "app_pid"))); }

  static bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t paren = line.rfind(')');
    return line.at(paren + 2) == 'Z';
  }
  static bool waitEnded(pid_t pid) {
    for (int i = 0; i < 1000 && !ended(pid); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ended(pid);
  }

  TempDir dir_;
  fs::path sim_;
};

TEST_F(SimAppProcess, RunsAsThePackageUntilStoppedOrItsStartGoes) {
  std::ofstream(dir_.path() / "device.conf") << "package=org.example.a_long_game\napp_threads=3\n";
  ASSERT_EQ(run("app start --process"), 0);
  const pid_t pid = appPid();
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string cmdline = readAll(proc + "/cmdline");
  EXPECT_EQ(cmdline.substr(0, cmdline.find('\0')), "org.example.a_long_game");
  EXPECT_EQ(cmdline.find_first_not_of('\0', cmdline.find('\0')), std::string::npos) << cmdline;
  EXPECT_EQ(readAll(proc + "/comm"), "ple.a_long_game\n");
  const std::string status = readAll(proc + "/status");
  EXPECT_NE(status.find("\nThreads:\t3\n"), std::string::npos) << status;
  std::smatch rss;
  ASSERT_TRUE(std::regex_search(status, rss, std::regex("\nVmRSS:\\s+([0-9]+) kB")));
  EXPECT_GT(std::stol(rss[1]), 30 * 1024);
  EXPECT_NE(status.find("\nPPid:\t"), std::string::npos);
  EXPECT_EQ(status.find("\nPPid:\t" + std::to_string(getpid()) + "\n"), std::string::npos);

  ASSERT_EQ(run("app stop"), 0);
  EXPECT_TRUE(ended(pid));
  EXPECT_FALSE(fs::exists(dir_.path() / "app_pid"));
  EXPECT_FALSE(fs::exists(dir_.path() / "app"));

  // Without its start it leaves by itself; a new start ends the last one's.
  ASSERT_EQ(run("app start --process"), 0);
  const pid_t orphan = appPid();
  fs::remove(dir_.path() / "app");
  EXPECT_TRUE(waitEnded(orphan));
  ASSERT_EQ(run("app start --process"), 0);
  const pid_t first = appPid();
  ASSERT_EQ(run("app start --process"), 0);
  EXPECT_TRUE(ended(first));
  EXPECT_NE(appPid(), first);
  ASSERT_EQ(run("app stop"), 0);
}

}  // namespace
