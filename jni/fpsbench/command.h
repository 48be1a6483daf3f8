#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "fpsbench/line_splitter.h"
#include "scoped_resource.h"

// How a stop reaches a collection wherever it waits:
//  - in a command's read or exit, as a blocking read or wait would in
//    popen and pclose: the stop kills the command's process group, so the
//    read ends and the wait returns;
//  - between commands, in a wait for the timer: the stop makes a wake
//    descriptor readable for good, and those waits poll it beside what they
//    wait for.
// So a stop is never missed between a look at the flag and a wait, and the
// collector needs no signal or signal mask, and no poll per read. Only a
// process that left the command's group and kept its output open would hold
// a stopped collector's read until it ends, as it would hold pclose; dumpsys
// starts no such process.
class Stop {
 public:
  Stop();
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;

  // False when no wake descriptor could be made: such a stop would not be
  // heard between commands.
  bool usable() const { return static_cast<bool>(wake_); }
  bool requested() const { return stopping_.load(std::memory_order_acquire); }

  // From any thread, any number of times.
  void request();

  // Waits until fd is readable or closed by its writer (1), the timeout has
  // passed (0; none waits for ever) or a stop is requested (-1). fd < 0 only
  // waits. A wait that fails for want of memory or the like is tried again.
  int wait(int fd, const timespec* timeout) const;

  // From watchGroup until unwatchGroup, a stop kills the process group
  // `group`. The group's leader must not be reaped before unwatchGroup(),
  // so that its id cannot have been given to another. watchGroup is false,
  // and nothing is watched, once a stop has been requested.
  bool watchGroup(pid_t group);
  void unwatchGroup();

 private:
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  pid_t group_ = -1;
  ScopedFile wake_;
};

// Kills the process group of a command started by Command, and the command
// itself should it have no group of its own.
void killCommandGroup(pid_t group);

// One command with its standard output read here, as popen(line, "r") would
// read it, except that the program is started directly with its argument
// vector, with no shell in between, and that a stop ends it at any moment.
// The command runs in a process group of its own, so that a stop kills it
// and everything it started; it is always reaped.
class Command {
 public:
  explicit Command(Stop& stop) : stop_(stop) {}
  ~Command() { finish(); }
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Runs argv[0], looked up on PATH as execvp does, with the arguments argv
  // (ending with a null pointer). False when a stop is requested, or no pipe
  // or no process could be made; a program that cannot be run gives an
  // empty output, as the shell's "not found" would.
  bool start(const char* const* argv);

  // Hands every fgets-style line of the output to onLine until the output
  // ends, or a read fails, which ends it where it failed, as with fgets.
  // Returns false when a stop cut it short.
  template <typename OnLine>
  bool readLines(OnLine&& onLine) {
    LineSplitter lines;
    // Room for a whole latency output (some 6 kB), so that it takes one read.
    char buf[16384];
    for (;;) {
      const ssize_t n = readSome(buf, sizeof buf);
      if (n < 0) return false;
      if (n == 0) break;
      lines.feed(buf, static_cast<size_t>(n), onLine);
    }
    lines.finish(onLine);
    return true;
  }

  // Closes the output and reaps the command; kills its group first unless
  // the output has ended. pclose, for a reader that may have been told to
  // stop.
  void finish();

 private:
  // > 0 bytes read, 0 at the end of the output or when a read failed, -1 on
  // a stop.
  ssize_t readSome(char* buf, size_t size);

  Stop& stop_;
  ScopedFile out_;
  pid_t pid_ = -1;
  bool ended_ = false;
};
