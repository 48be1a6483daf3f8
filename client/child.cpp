#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace perfprobe {

namespace {

using Clock = std::chrono::steady_clock;

bool makePipe(ScopedFile* readEnd, ScopedFile* writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd->reset(fds[0]);
  writeEnd->reset(fds[1]);
  return true;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv) {
  ScopedFile inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (argv.empty() || !makePipe(&inRead, &inWrite) || !makePipe(&outRead, &outWrite) ||
      !makePipe(&errRead, &errWrite)) {
    error_ = std::string("cannot make pipes: ") + strerror(errno);
    return;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // posix_spawn rather than fork: the exporter runs it beside its server's
  // threads, and the child must not run anything of theirs before exec.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
  // The child starts with default signal handling whatever this process
  // ignores (SIGPIPE, in a monitor).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    notFound_ = rc == ENOENT;
    error_ = argv[0] + ": " + strerror(rc);
    return;
  }
  pid_ = pid;
  in_ = std::move(inWrite);
  out_ = std::move(outRead);
  err_ = std::move(errRead);
}

Child::~Child() {
  if (pid_ > 0 && !status_) finish(0);
}

std::optional<int> Child::exited() {
  if (status_ || pid_ <= 0) return status_;
  int status;
  pid_t got;
  while ((got = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got == pid_) status_ = status;
  return status_;
}

int Child::finish(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Its input ends first: a program that reads until the end of it leaves.
  in_.reset();
  while (!exited() && Clock::now() < deadline) {
    poll(nullptr, 0, 5);
  }
  if (!status_) {
    kill(pid_, SIGKILL);
    int status = -1;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
  }
  return *status_;
}

bool Run::succeeded() const { return started && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

Run runToEnd(const std::vector<std::string>& argv, int timeoutMs) {
  Run run;
  Child child(argv);
  run.started = child.ok();
  run.notFound = child.notFound();
  run.error = child.error();
  if (!child.ok()) return run;
  child.closeIn();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Both pipes are read as they fill, so that neither blocks the program.
  pollfd fds[2] = {{child.out(), POLLIN, 0}, {child.err(), POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  run.status = child.finish(open > 0 ? 0 : timeoutMs);
  return run;
}

std::string describeExit(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

}  // namespace perfprobe
