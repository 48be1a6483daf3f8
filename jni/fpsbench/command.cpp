#include "fpsbench/command.h"

#include <errno.h>
#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// Between vfork and exec the child shares the collector's memory: it may
// only make system calls, and must not return from this function.
pid_t spawnShell(const char* line, int outFd, const sigset_t* childMask) {
  const pid_t pid = vfork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  if (outFd == STDOUT_FILENO) {
    fcntl(outFd, F_SETFD, 0);
  } else {
    dup2(outFd, STDOUT_FILENO);
  }
  // The collector's SIGQUIT handler and blocked mask are no business of the
  // command's; the handler table here is the child's own copy.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGQUIT, &dfl, nullptr);
  sigprocmask(SIG_SETMASK, childMask, nullptr);
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>(line), nullptr};
  execv(_PATH_BSHELL, argv);
  _exit(127);
}

}  // namespace

int StopToken::wait(int fd, const timespec* timeout) const {
  for (;;) {
    if (requested()) return -1;
    pollfd pfd = {fd, POLLIN, 0};
    const int n = ppoll(fd < 0 ? nullptr : &pfd, fd < 0 ? 0 : 1, timeout, waitMask_);
    if (n > 0) return 1;
    if (n == 0) return 0;
    // EINTR is the stop's SIGQUIT, or some other signal: look at the flag.
    if (errno != EINTR) return -1;
  }
}

bool Command::start(const std::string& line) {
  finish();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  out_.reset(fds[0]);
  ScopedFile in(fds[1]);
  // A stop must be able to interrupt a read that waits for output.
  fcntl(out_.get(), F_SETFL, O_NONBLOCK);
  const pid_t pid = spawnShell(line.c_str(), in.get(), childMask_);
  if (pid < 0) {
    out_.reset();
    return false;
  }
  // vfork returns once the child has exec'd, so its setpgid has been made:
  // the group exists for a kill from here on.
  pid_ = pid;
  ended_ = false;
  killed_ = false;
  mayHoldMore_ = false;
  return true;
}

ssize_t Command::readSome(char* buf, size_t size) {
  for (;;) {
    // Checked before every read, not only when the pipe runs dry: a command
    // that never stops writing must not keep a stopped collector reading.
    if (stop_.requested()) return -1;
    if (!mayHoldMore_) {
      if (stop_.wait(out_.get(), nullptr) < 0) return -1;
      mayHoldMore_ = true;
    }
    const ssize_t n = read(out_.get(), buf, size);
    if (n >= 0) {
      if (n == 0) ended_ = true;
      // A pipe read stops short only when the pipe is empty.
      mayHoldMore_ = static_cast<size_t>(n) == size;
      return n;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -1;
    mayHoldMore_ = false;
  }
}

void Command::killGroup() {
  if (killed_) return;
  killed_ = true;
  // The shell has not been reaped yet, so neither its pid nor its group id
  // can have been given to anyone else.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
}

void Command::finish() {
  if (pid_ < 0) return;
  out_.reset();
  if (!ended_) killGroup();
  // The output ends when the exiting shell closes its descriptors, a few
  // microseconds before it becomes a zombie, so the first retries only yield
  // the CPU: a timed sleep would cost more than the wait itself. A command
  // that closes its output and lingers is then waited for in growing steps,
  // and only for as long as no stop is requested.
  int yields = 3;
  long stepNs = 50 * 1000;
  for (;;) {
    int status;
    const pid_t p = waitpid(pid_, &status, killed_ ? 0 : WNOHANG);
    if (p == pid_ || (p < 0 && errno != EINTR)) break;
    if (p != 0) continue;
    if (yields > 0) {
      --yields;
      sched_yield();
      continue;
    }
    const timespec step = {0, stepNs};
    if (stop_.wait(-1, &step) < 0) killGroup();
    stepNs = std::min(stepNs * 2, 50 * 1000 * 1000L);
  }
  pid_ = -1;
}
