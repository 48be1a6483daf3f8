#include "fpsbench/command.h"

#include <gtest/gtest.h>
#include <stdlib.h>
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
#include "fpsbench/latency.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A command read on a thread of its own, with a stop as a collector has one.
class Reader {
 public:
  // Runs argv on a thread of its own, collecting its output lines.
  void start(const std::vector<std::string>& argv) {
    thread_ = std::thread([this, argv] {
      std::vector<const char*> args;
      for (const std::string& arg : argv) args.push_back(arg.c_str());
      args.push_back(nullptr);
      Command command(stop_);
      started_ = command.start(args.data());
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

  void stop() { stop_.request(); }

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
  Stop stop_;
  std::thread thread_;
  std::mutex linesLock_;
  static constexpr size_t kKeptLines = 100;
  std::vector<std::string> lines_;
  std::atomic<size_t> lineCount_{0};
  std::atomic<bool> started_{false};
  std::atomic<bool> complete_{false};
  std::atomic<bool> finished_{false};
};

std::vector<std::string> shell(const std::string& line) { return {"sh", "-c", line}; }

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
  reader.start(shell("head -c 5000 /dev/zero | tr '\\0' x; echo; printf 'end'"));
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
  reader.start(shell("echo $$; sleep 1000 & echo $!; wait"));
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
  reader.start({"yes"});
  ASSERT_TRUE(reader.waitForLines(100000));
  reader.stop();
  reader.join();
  EXPECT_FALSE(reader.complete());
}

TEST(Command, AStopEndsTheWaitForACommandThatClosedItsOutputButLingers) {
  Reader reader;
  reader.start(shell("echo $$; exec >&-; sleep 1000"));
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
  reader.start({"touch", marker.string()});
  reader.join();
  EXPECT_FALSE(reader.started());
  EXPECT_FALSE(fs::exists(marker)) << "the command ran after the stop";
}

// A directory of its own, removed at the end of the test.
class TempDir {
 public:
  explicit TempDir(const std::string& name)
      : path_(fs::temp_directory_path() / ("perfprobe-unit-" + name + "-" + std::to_string(getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

  // A file in it with the given text and mode.
  void write(const std::string& name, const std::string& text, fs::perms mode) const {
    std::ofstream(path_ / name) << text;
    fs::permissions(path_ / name, mode);
  }

 private:
  fs::path path_;
};

// Sets PATH for one test.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& path) : saved_(getenv("PATH") != nullptr ? getenv("PATH") : "") {
    setenv("PATH", path.c_str(), 1);
  }
  ~ScopedPath() { setenv("PATH", saved_.c_str(), 1); }

 private:
  std::string saved_;
};

TEST(Command, FindsTheProgramOnPathAsTheShellDoes) {
  const TempDir dir("path");
  for (const char* sub : {"plain", "script", "later"}) fs::create_directory(dir.path() / sub);
  const auto exec = fs::perms::owner_all;
  // Not executable: passed over, as the shell passes it over.
  dir.write("plain/probe-cmd", "echo wrong\n", fs::perms::owner_read | fs::perms::owner_write);
  // An executable script without a "#!" line runs through the shell.
  dir.write("script/probe-cmd", "for a in \"$@\"; do printf '<%s>' \"$a\"; done; echo\n", exec);
  dir.write("later/probe-cmd", "echo wrong\n", exec);
  const ScopedPath path((dir.path() / "plain").string() + ":" + (dir.path() / "script").string() + ":" +
                        (dir.path() / "later").string() + ":/usr/bin:/bin");

  const struct {
    std::vector<std::string> argv;
    std::vector<std::string> lines;
  } cases[] = {
      {{"probe-cmd", "SurfaceFlinger", "--latency", "a 'b' $(c)"}, {"<SurfaceFlinger><--latency><a 'b' $(c)>\n"}},
      {{"probe-cmd"}, {"\n"}},
      // A program that is nowhere on PATH prints nothing, as the shell's
      // "not found" would.
      {{"no-such-program-anywhere", "x"}, {}},
  };
  for (const auto& c : cases) {
    Reader reader;
    reader.start(c.argv);
    reader.join();
    EXPECT_TRUE(reader.started()) << c.argv[0];
    EXPECT_TRUE(reader.complete()) << c.argv[0];
    EXPECT_EQ(reader.lines(), c.lines) << c.argv[0];
  }
}

// The test double of dumpsys first on PATH records the arguments it was
// given.
TEST(LatencyCommand, EveryNameReachesDumpsysAsOneArgumentAndRunsNothing) {
  const TempDir dir("latency");
  const std::string marker = (dir.path() / "ran").string();
  setenv("DUMPSYS_DOUBLE_DIR", dir.path().c_str(), 1);
  const ScopedPath path(DUMPSYS_DOUBLE_BIN_DIR ":"s + getenv("PATH"));

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
    const auto argv = latencyArguments(name);
    reader.start({argv[0], argv[1], argv[2], argv[3]});
    reader.join();
    EXPECT_TRUE(reader.complete());
  }
  EXPECT_FALSE(fs::exists(marker)) << "part of a name was run";

  std::ifstream calls(dir.path() / "calls");
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
}

}  // namespace
