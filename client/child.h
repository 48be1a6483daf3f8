#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "scoped_resource.h"

namespace perfprobe {

// A program the client runs (adb), found on PATH, with pipes on its standard
// input, output and error. The sole owner of the process: whoever holds it
// reaps it, killing it first if it still runs.
class Child {
 public:
  // Starts argv[0] from PATH. On failure ok() is false and error() says why;
  // notFound() tells a program that is not there from one that did not start.
  explicit Child(const std::vector<std::string>& argv);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  bool ok() const { return pid_ > 0; }
  bool notFound() const { return notFound_; }
  const std::string& error() const { return error_; }

  int in() const { return in_.get(); }
  int out() const { return out_.get(); }
  int err() const { return err_.get(); }
  // Closes its standard input: the end of what it is given.
  void closeIn() { in_.reset(); }

  // Its wait status once it has exited, without waiting; nullopt while it runs.
  std::optional<int> exited();
  // Waits at most timeoutMs for it to exit, then kills it; its wait status.
  int finish(int timeoutMs);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  bool notFound_ = false;
  std::string error_;
  ScopedFile in_, out_, err_;
};

// What a program printed and how it ended.
struct Run {
  bool started = false;
  bool notFound = false;
  std::string error;  // why it did not start
  int status = -1;    // wait status
  std::string out;
  std::string err;

  bool succeeded() const;
};

// Runs argv to its end (at most timeoutMs, then it is killed), with nothing
// on its standard input, and collects what it printed.
Run runToEnd(const std::vector<std::string>& argv, int timeoutMs);

// "exit status 3", "killed by signal 9".
std::string describeExit(int status);

}  // namespace perfprobe
