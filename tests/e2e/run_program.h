#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// A program of the suites (the client, the stand-in adb) run to its end, or
// killed at its deadline, with what it wrote.
namespace e2e {

struct Program {
  // argv[0] is looked up on PATH unless it holds a '/'.
  std::vector<std::string> argv;
  std::vector<std::pair<std::string, std::string>> env;  // set in the child only
  // Its standard input: this text, then its end; or inputFd, when one is given.
  std::string input;
  int inputFd = -1;
  // From its start: it is killed once this has passed.
  int timeoutMs = 120000;
  // Called with its pid and the file its standard output goes to, once it
  // runs; it is waited for afterwards.
  std::function<void(pid_t pid, const std::string& outPath)> whileRunning;
};

struct Outcome {
  int status = -1;  // wait status; -1: killed for running too long
  std::string out;
  std::string err;
  long ms = 0;  // from its start to its end
};

// Runs the program with its input and output in files of `dir`, emptied
// first, so that nothing of an earlier run is taken for its output.
Outcome runProgram(const Program& program, const std::string& dir);

// Its exit code; -1 when a signal ended it.
int exitCode(const Outcome& run);

// Its status, how long it ran and what it wrote, for a failure's message.
std::string describe(const Outcome& run);

// The whole file, or "" when there is none.
std::string slurp(const std::string& path);

}  // namespace e2e
