#include "fpsbench/command.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dumpsys_double/record.h"
#include "fpsbench/parse.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A collector's waiting arrangement, as the daemon makes it: a stop flag and
// a wake descriptor that the stop makes readable.
class Reader {
 public:
  Reader() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), stop_(&stopping_, wake_.get()) {}

  // Runs line on a thread of its own, collecting its output lines.
  void start(const std::string& line) {
    thread_ = std::thread([this, line] {
      Command command(stop_);
      started_ = command.start(line);
      if (started_) {
        complete_ = command.readLines([this](const char* text, size_t len) {
          std::lock_guard<std::mutex> guard(linesLock_);
          // Only the first lines are kept, so that an endless output is
          // only counted.
          if (lines_.size() < kKeptLines) lines_.emplace_back(text, len);
          ++lineCount_;
        });
      }
      command.finish();
      finished_ = true;
    });
  }

  void stop() {
    stopping_ = true;
    const uint64_t one = 1;
    ASSERT_EQ(write(wake_.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }

  void join() { thread_.join(); }

  bool waitForLines(size_t count) {
    for (int i = 0; i < 1000; ++i) {
      if (lineCount_ >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> guard(linesLock_);
    return lines_;
  }

  bool started() const { return started_; }
  bool complete() const { return complete_; }
  bool finished() const { return finished_; }

 private:
  std::atomic<bool> stopping_{false};
  ScopedFile wake_;
  StopToken stop_;
  std::thread thread_;
  std::mutex linesLock_;
  static constexpr size_t kKeptLines = 100;
  std::vector<std::string> lines_;
  std::atomic<size_t> lineCount_{0};
  std::atomic<bool> started_{false};
  std::atomic<bool> complete_{false};
  std::atomic<bool> finished_{false};
};

// Gone, or a zombie that is no longer ours to reap.
bool notRunning(pid_t pid) {
  for (int i = 0; i < 400; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const size_t paren = text.rfind(')');
    if (paren != std::string::npos && text.compare(paren, 3, ") Z") == 0 &&
        std::stoi(text.substr(text.find(' ', paren + 3) + 1)) != getpid()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(Command, ReadsTheOutputInFgetsLines) {
  Reader reader;
  reader.start("head -c 5000 /dev/zero | tr '\\0' x; echo; printf 'end'");
  reader.join();
  ASSERT_TRUE(reader.started());
  EXPECT_TRUE(reader.complete());
  const std::string x1023(1023, 'x');
  EXPECT_EQ(reader.lines(), (std::vector<std::string>{x1023, x1023, x1023, x1023,
                                                      std::string(908, 'x') + "\n", "end"}));
}

TEST(Command, AStopKillsAHungCommandWithItsChildrenAndReapsIt) {
  Reader reader;
  // The shell, and a child of it, both hold the output open for ever.
  reader.start("echo $$; sleep 1000 & echo $!; wait");
  ASSERT_TRUE(reader.waitForLines(2));
  reader.stop();
  reader.join();
  EXPECT_FALSE(reader.complete());
  const auto lines = reader.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(notRunning(std::stoi(lines[0]))) << "the shell";
  EXPECT_TRUE(notRunning(std::stoi(lines[1]))) << "the shell's child";
}

TEST(Command, AStopLandsWhileTheOutputNeverPauses) {
  Reader reader;
  reader.start("yes");
  ASSERT_TRUE(reader.waitForLines(100000));
  reader.stop();
  reader.join();
  EXPECT_FALSE(reader.complete());
}

TEST(Command, AStopEndsTheWaitForACommandThatClosedItsOutputButLingers) {
  Reader reader;
  reader.start("echo $$; exec >&-; sleep 1000");
  ASSERT_TRUE(reader.waitForLines(1));
  // The output has ended, so the reader is waiting for the shell to exit.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(reader.finished());
  reader.stop();
  reader.join();
  EXPECT_TRUE(reader.complete());
  EXPECT_TRUE(notRunning(std::stoi(reader.lines()[0])));
}

TEST(Command, NothingStartsOnceAStopIsRequested) {
  const fs::path marker = fs::temp_directory_path() / ("perfprobe-unit-ran-" + std::to_string(getpid()));
  fs::remove(marker);
  Reader reader;
  reader.stop();
  reader.start("touch " + marker.string());
  reader.join();
  EXPECT_FALSE(reader.started());
  EXPECT_FALSE(fs::exists(marker)) << "the command ran after the stop";
}

// The shell gets the latency command line; the test double of dumpsys first
// on PATH records the arguments it was given.
TEST(LatencyCommand, EveryNameReachesDumpsysAsOneArgumentAndRunsNothing) {
  const fs::path dir = fs::temp_directory_path() / ("perfprobe-unit-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string marker = (dir / "ran").string();
  setenv("DUMPSYS_DOUBLE_DIR", dir.c_str(), 1);
  setenv("PATH", (DUMPSYS_DOUBLE_BIN_DIR ":"s + getenv("PATH")).c_str(), 1);

  const std::vector<std::string> names = {
      "SurfaceView - com.example.app/com.example.app.MainActivity#0",
      "it's",
      "'",
      "''",
      "a'b'c'",
      "$(touch " + marker + ")",
      "`touch " + marker + "`",
      "'; touch " + marker + "; echo '",
      "\\'",
      "\"$HOME\" * ? [a] ~ !x %s",
      "  spaced  \t tab ",
      "\xff\xfe\x80 \x01\x1b[0m",
      "",
  };
  for (const std::string& name : names) {
    Reader reader;
    reader.start(latencyCommand(name));
    reader.join();
    EXPECT_TRUE(reader.complete());
  }
  EXPECT_FALSE(fs::exists(marker)) << "the shell ran part of a name";

  std::ifstream calls(dir / "calls");
  std::string record;
  std::vector<std::string> recorded;
  while (std::getline(calls, record)) {
    const std::vector<std::string> args = dumpsys_double::parseRecord(record);
    ASSERT_EQ(args.size(), 3u) << record;
    EXPECT_EQ(args[0], "SurfaceFlinger");
    EXPECT_EQ(args[1], "--latency");
    recorded.push_back(args[2]);
  }
  EXPECT_EQ(recorded, names);
  fs::remove_all(dir);
}

}  // namespace
