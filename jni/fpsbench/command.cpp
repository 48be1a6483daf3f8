#include "fpsbench/command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Between vfork and exec the child shares the collector's memory: it may
// only make system calls, and must not return from this function. execvp
// keeps to that: it searches PATH in buffers on its own stack, and runs a
// file without a "#!" line through the shell as the shell would.
pid_t spawn(const char* const* argv, int outFd) {
  const pid_t pid = vfork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  if (outFd == STDOUT_FILENO) {
    fcntl(outFd, F_SETFD, 0);
  } else {
    dup2(outFd, STDOUT_FILENO);
  }
  execvp(argv[0], const_cast<char* const*>(argv));
  _exit(127);
}

// After a failed poll: a failure such as ENOMEM passes, and trying again at
// once would only spin.
void pauseAfterFailure() {
  const timespec pause = {0, 10 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

}  // namespace

int StopToken::wait(int fd, const timespec* timeout) const {
  for (;;) {
    if (requested()) return -1;
    // poll passes over a negative descriptor.
    pollfd pfds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int n = ppoll(pfds, 2, timeout, nullptr);
    if (n > 0) return pfds[0].revents != 0 ? -1 : 1;
    if (n == 0) return 0;
    if (errno != EINTR) pauseAfterFailure();
  }
}

bool Command::start(const char* const* argv) {
  finish();
  if (stop_.requested()) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  out_.reset(fds[0]);
  ScopedFile in(fds[1]);
  // A stop must be able to interrupt a read that waits for output.
  fcntl(out_.get(), F_SETFL, O_NONBLOCK);
  const pid_t pid = spawn(argv, in.get());
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
    // A failed read ends the output there; the command, which may still
    // be writing, is killed by finish().
    if (errno != EAGAIN) return 0;
    mayHoldMore_ = false;
  }
}

void Command::killGroup() {
  if (killed_) return;
  killed_ = true;
  // The command has not been reaped yet, so neither its pid nor its group
  // id can have been given to anyone else.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
}

void Command::finish() {
  if (pid_ < 0) return;
  out_.reset();
  if (!ended_) killGroup();
  // The output ends when the exiting command closes its descriptors, a few
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
