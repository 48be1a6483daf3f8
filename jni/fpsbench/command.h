#pragma once

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <string>

#include "fpsbench/parse.h"
#include "scoped_resource.h"

// What a blocked collector wakes for: its stop flag, and the signal mask under
// which it waits, the one mask in which SIGQUIT is not blocked. The stop sets
// the flag and then sends SIGQUIT, which stays pending until such a wait, so
// a stop is never missed between a check of the flag and the wait.
class StopToken {
 public:
  StopToken(const std::atomic<bool>* stopping, const sigset_t* waitMask)
      : stopping_(stopping), waitMask_(waitMask) {}

  bool requested() const { return stopping_->load(std::memory_order_acquire); }

  // Waits until fd is readable (1), the timeout has passed (0; none waits
  // for ever) or a stop is requested (-1). fd < 0 only waits.
  int wait(int fd, const timespec* timeout) const;

 private:
  const std::atomic<bool>* stopping_;
  const sigset_t* waitMask_;
};

// One command line run by the shell with its standard output read here, as
// popen(line, "r") would, except that the reader may give up at any moment.
// The command runs in a process group of its own, so that giving up kills
// the shell and everything it started; the shell is always reaped.
class Command {
 public:
  // childMask is the signal mask the command starts with.
  Command(const StopToken& stop, const sigset_t* childMask)
      : stop_(stop), childMask_(childMask) {}
  ~Command() { finish(); }
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // False when no pipe or no process could be made.
  bool start(const std::string& line);

  // Hands every fgets-style line of the output to onLine until the output
  // ends. Returns false when a stop cut it short.
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

  // Closes the output and reaps the shell; kills the group first unless the
  // output has ended and no stop is requested. pclose, for a reader that may
  // have been told to stop.
  void finish();

 private:
  // > 0 bytes read, 0 at the end of the output, -1 on a stop or an error.
  ssize_t readSome(char* buf, size_t size);
  void killGroup();

  StopToken stop_;
  const sigset_t* childMask_;
  ScopedFile out_;
  pid_t pid_ = -1;
  bool ended_ = false;
  bool killed_ = false;
  // Whether the pipe may hold more than the last read took: a read of an
  // emptied pipe would only say EAGAIN, so the next step is the wait.
  bool mayHoldMore_ = false;
};
