#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "harness.h"
#include "scoped_resource.h"

namespace e2e {

Outcome runProgram(const Program& program, const std::string& dir) {
  using Clock = std::chrono::steady_clock;
  const std::string inPath = dir + "/run.in";
  const std::string outPath = dir + "/run.out";
  const std::string errPath = dir + "/run.err";
  std::ofstream(inPath, std::ios::binary) << program.input;
  ScopedFile in(open(inPath.c_str(), O_RDONLY | O_CLOEXEC));
  ScopedFile out(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ScopedFile err(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  const int input = program.inputFd >= 0 ? program.inputFd : in.get();
  std::vector<char*> argv;
  for (const std::string& a : program.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto started = Clock::now();
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(input, STDIN_FILENO);
    dup2(out.get(), STDOUT_FILENO);
    dup2(err.get(), STDERR_FILENO);
    for (const auto& [name, value] : program.env) setenv(name.c_str(), value.c_str(), 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  in.reset();
  out.reset();
  err.reset();
  Outcome run;
  if (child < 0) return run;
  if (program.whileRunning) program.whileRunning(child, outPath);
  const auto deadline = started + std::chrono::milliseconds(program.timeoutMs);
  for (;;) {
    int status;
    if (waitpid(child, &status, WNOHANG) == child) {
      run.status = status;
      break;
    }
    if (Clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    nap(5);
  }
  run.ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  run.out = slurp(outPath);
  run.err = slurp(errPath);
  return run;
}

int exitCode(const Outcome& run) { return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1; }

std::string describe(const Outcome& run) {
  return describeStatus(run.status) + " after " + std::to_string(run.ms) + " ms\nstdout:\n" +
         run.out + "stderr:\n" + run.err;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace e2e
