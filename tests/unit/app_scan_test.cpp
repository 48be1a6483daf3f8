#include "stats/app_scan.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "package_pattern.h"

namespace {

namespace fs = std::filesystem;

// A proc/ of processes under a fresh temporary root.
class AppProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/app-scan-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    fs::create_directories(root_ + "/proc");
  }
  void TearDown() override { fs::remove_all(root_); }

  void file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path, std::ios::binary) << content;
  }
  // A process with its command line, CPU ticks ("utime stime"), threads,
  // start time in ticks and resident pages.
  void process(int pid, const std::string& cmdline, const std::string& ticks, int threads,
               int start, int rssPages) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    file(dir + "cmdline", cmdline);
    file(dir + "stat", std::to_string(pid) + " (x) S 1 1 1 0 -1 0 0 0 0 0 " + ticks + " 0 0 20 0 " +
                           std::to_string(threads) + " 0 " + std::to_string(start) + " 0 " +
                           std::to_string(rssPages) + " 0\n");
  }

  std::string root_;
};

TEST_F(AppProcesses, CountedWhileCollectingWithTheirCpuShareSinceThePreviousSample) {
  process(100, std::string("com.example.game\0--flag\0", 24), "100 50", 40, 500, 1000);
  process(101, std::string("com.example.game:remote\0", 24), "10 0", 8, 600, 200);
  process(102, std::string("com.example.other\0", 18), "999 999", 9, 700, 9);
  process(103, "", "0 0", 1, 2, 0);                                   // a kernel thread
  file("/proc/self/cmdline", std::string("com.example.game\0", 17));  // not a process
  const PackagePattern pattern("com.example.game");
  const int64_t pageKb = sysconf(_SC_PAGESIZE) / 1024;
  AppScan scan(root_);

  AppFigures figures = scan.scan(&pattern, 1, 1000000000);
  EXPECT_EQ(figures.pids, 2);
  EXPECT_EQ(figures.threads, 48);
  EXPECT_EQ(figures.rssKb, 1200 * pageKb);
  EXPECT_EQ(figures.cpuTenths, std::nullopt);  // no sample before it
  // 0.5 s later: 25 more ticks of pid 100, and a new process with 5 ticks
  // in all; pid 101 is gone.
  fs::remove_all(root_ + "/proc/101");
  process(100, std::string("com.example.game\0", 17), "110 65", 40, 500, 1000);
  process(104, std::string("com.example.game\0", 17), "5 0", 2, 900, 100);
  figures = scan.scan(&pattern, 1, 1500000000);
  EXPECT_EQ(figures.pids, 2);
  EXPECT_EQ(figures.threads, 42);
  EXPECT_EQ(figures.rssKb, 1100 * pageKb);
  const long ticks = sysconf(_SC_CLK_TCK);
  EXPECT_EQ(figures.cpuTenths, 30 * 2000 / ticks);  // 30 ticks over 0.5 s
  // A pid whose start time changed is another process: all its time is
  // since.
  process(100, std::string("com.example.game\0", 17), "7 0", 40, 501, 1000);
  figures = scan.scan(&pattern, 1, 2000000000);
  EXPECT_EQ(figures.cpuTenths, 7 * 2000 / ticks);
  // Another collection starts over; idle, nothing is known.
  figures = scan.scan(&pattern, 2, 2500000000);
  EXPECT_EQ(figures.pids, 2);
  EXPECT_EQ(figures.cpuTenths, std::nullopt);
  figures = scan.scan(nullptr, 2, 3000000000);
  EXPECT_EQ(figures.pids, std::nullopt);
  EXPECT_EQ(figures.threads, std::nullopt);
  EXPECT_EQ(figures.rssKb, std::nullopt);
  EXPECT_EQ(figures.cpuTenths, std::nullopt);
  // And a collection after idle has no sample before it.
  EXPECT_EQ(scan.scan(&pattern, 2, 3500000000).cpuTenths, std::nullopt);
}

// A process's first argument is read again until it has had time to
// settle (a fork before its exec, an app before it takes its package's
// name), and then kept; a new process of the same pid is read afresh.
TEST_F(AppProcesses, AProcessIsMatchedOnceItsFirstArgumentHasSettled) {
  const auto named = [this](int pid, const std::string& argv0) {
    process(pid, argv0 + std::string(1, '\0'), "7 3", 5, pid, 100);
  };
  const PackagePattern pattern("com.example.game");
  AppScan scan(root_);
  const auto pids = [&](uint64_t atNs, uint64_t collection = 1) {
    return scan.scan(&pattern, collection, atNs).pids.value_or(-1);
  };
  named(300, "zygote64");  // forked, not yet named
  named(301, "com.example.game");
  EXPECT_EQ(pids(1000000000), 1);
  named(300, "com.example.game");  // it takes the package's name
  EXPECT_EQ(pids(1500000000), 2);
  EXPECT_EQ(pids(3500000000), 2);  // decided 2.5 s after it was first seen
  // Settled: the command lines are no longer read.
  fs::remove(root_ + "/proc/300/cmdline");
  named(302, "com.example.other");
  EXPECT_EQ(pids(4500000000), 2);
  EXPECT_EQ(pids(7000000000), 2);
  fs::remove(root_ + "/proc/302/cmdline");
  EXPECT_EQ(pids(8000000000), 2);
  // The same pid, a new process: read again. The old folder stays until the
  // new one is made, so that the file system cannot give the new one its
  // inode, as procfs never does.
  fs::rename(root_ + "/proc/300", root_ + "/proc/gone");
  named(300, "com.example.other");
  fs::remove_all(root_ + "/proc/gone");
  EXPECT_EQ(pids(8500000000), 1);
  // A settled process that renames itself is not read again, until another
  // collection reads everything afresh.
  named(302, "com.example.game");
  EXPECT_EQ(pids(9000000000), 1);
  EXPECT_EQ(pids(9500000000, 2), 2);
}

}  // namespace
