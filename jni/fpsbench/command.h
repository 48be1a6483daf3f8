#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <string>

#include "fpsbench/line_splitter.h"
#include "scoped_resource.h"

// How a stop reaches a collection wherever it waits: a flag, and a wake
// descriptor that the stop makes readable for good and that every wait
// polls beside what it waits for. So a stop is never missed between a look
// at the flag and the wait, and no signal or signal mask is involved.
class StopToken {
 public:
  StopToken(const std::atomic<bool>* stopping, int wakeFd) : stopping_(stopping), wakeFd_(wakeFd) {}

  bool requested() const { return stopping_->load(std::memory_order_acquire); }

  // Waits until fd is readable or closed by its writer (1), the timeout has
  // passed (0; none waits for ever) or a stop is requested (-1). fd < 0 only
  // waits. A wait that fails for want of memory or the like is tried again.
  int wait(int fd, const timespec* timeout) const;

 private:
  const std::atomic<bool>* stopping_;
  int wakeFd_;
};

// One command with its standard output read here, as popen(line, "r") would
// read it, except that the program is started directly with its argument
// vector, with no shell in between, and that the reader may give up at any
// moment. The command runs in a process group of its own, so that giving up
// kills it and everything it started; it is always reaped.
class Command {
 public:
  explicit Command(const StopToken& stop) : stop_(stop) {}
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

  // Closes the output and reaps the command; kills the group first unless the
  // output has ended and no stop is requested. pclose, for a reader that may
  // have been told to stop.
  void finish();

 private:
  // > 0 bytes read, 0 at the end of the output or when a read failed, -1 on
  // a stop.
  ssize_t readSome(char* buf, size_t size);
  void killGroup();

  StopToken stop_;
  ScopedFile out_;
  pid_t pid_ = -1;
  bool ended_ = false;
  bool killed_ = false;
  // Whether the pipe may hold more than the last read took: a read of an
  // emptied pipe would only say EAGAIN, so the next step is the wait.
  bool mayHoldMore_ = false;
};
