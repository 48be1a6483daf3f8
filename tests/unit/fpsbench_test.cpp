#include <gtest/gtest.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "dumpsys_double/fixture.h"
#include "fpsbench/fpsbench.h"

// The collector run in this process against the dumpsys double, so that the
// checked builds see all of it: leaks of a collection show at exit, and races
// between the server's start and stop and the collector's ticks show at once.
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void nap(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

size_t collectorThreads() {
  size_t n = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm == kCollectorThreadName) ++n;
  }
  return n;
}

// No collector thread and no child of this process, zombies included.
bool collectorGone() {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    int status;
    if (collectorThreads() == 0 && waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD) {
      return true;
    }
    nap(10);
  }
  return false;
}

bool fpsBecomes(int expected) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (getFPS() == expected) return true;
    nap(100);
  }
  return false;
}

class CollectorThread : public ::testing::Test {
 protected:
  void SetUp() override {
    oldPath_ = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (std::string(DUMPSYS_DOUBLE_BIN_DIR) + ":" + oldPath_).c_str(), 1);
    double_.setListing("com.example.app#0\nStatusBar#0\n");
    double_.setLatency("com.example.app#0", dumpsys_double::latencyAtRate(40));
  }

  void TearDown() override {
    stopFPSCollect();
    EXPECT_TRUE(collectorGone());
    setenv("PATH", oldPath_.c_str(), 1);
  }

  dumpsys_double::Fixture double_;
  std::string oldPath_;
};

TEST_F(CollectorThread, EveryStopEndsItsCollectorWhereverTheStopLands) {
  ASSERT_EQ(startCollectFPS("com.example.app"), 0);
  ASSERT_TRUE(fpsBecomes(40));
  // A start while one runs is a no-op: still one collector.
  ASSERT_EQ(startCollectFPS("StatusBar"), 0);
  EXPECT_EQ(collectorThreads(), 1u);
  stopFPSCollect();
  ASSERT_TRUE(collectorGone());

  // Stops before the thread exists, while a command starts, while the
  // (slowed) commands run, and between ticks.
  double_.setDelayMs("latency", 2);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(startCollectFPS("com.example.app"), 0);
    nap(i % 9);
    stopFPSCollect();
  }
  ASSERT_TRUE(collectorGone());
  EXPECT_EQ(getFPS(), 40);

  // After the storm a collection works as the first one did.
  double_.setDelayMs("latency", 0);
  double_.setLatency("com.example.app#0", dumpsys_double::latencyAtRate(25));
  ASSERT_EQ(startCollectFPS("com.example.app"), 0);
  EXPECT_TRUE(fpsBecomes(25));
}

}  // namespace
