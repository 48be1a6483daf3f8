#include "fpsbench/command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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

void killCommandGroup(pid_t group) {
  kill(-group, SIGKILL);
  kill(group, SIGKILL);
}

Stop::Stop() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Stop::request() {
  std::lock_guard<std::mutex> guard(lock_);
  stopping_.store(true, std::memory_order_release);
  if (group_ > 0) killCommandGroup(group_);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_.get(), &one, sizeof one);
}

int Stop::wait(int fd, const timespec* timeout) const {
  for (;;) {
    if (requested()) return -1;
    // poll passes over a negative descriptor.
    pollfd pfds[2] = {{wake_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
    const int n = ppoll(pfds, 2, timeout, nullptr);
    if (n > 0) return pfds[0].revents != 0 ? -1 : 1;
    if (n == 0) return 0;
    if (errno != EINTR) pauseAfterFailure();
  }
}

bool Stop::watchGroup(pid_t group) {
  std::lock_guard<std::mutex> guard(lock_);
  if (requested()) return false;
  group_ = group;
  return true;
}

void Stop::unwatchGroup() {
  std::lock_guard<std::mutex> guard(lock_);
  group_ = -1;
}

bool Command::start(const char* const* argv) {
  finish();
  if (stop_.requested()) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  ScopedFile out(fds[0]);
  ScopedFile in(fds[1]);
  const pid_t pid = spawn(argv, in.get());
  if (pid < 0) return false;
  // vfork returns once the child has exec'd, so its setpgid has been made:
  // the group exists for a kill from here on.
  pid_ = pid;
  ended_ = false;
  if (!stop_.watchGroup(pid)) {
    // The stop came while the command started; finish() kills and reaps it.
    return false;
  }
  out_ = std::move(out);
  return true;
}

ssize_t Command::readSome(char* buf, size_t size) {
  for (;;) {
    // Checked before every read, not only when the output ends: a command
    // that never stops writing must not keep a stopped collector reading.
    if (stop_.requested()) return -1;
    const ssize_t n = read(out_.get(), buf, size);
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    // The end a stop's kill makes is no end of the output.
    if (stop_.requested()) return -1;
    // A failed read ends the output there; the command, which may still be
    // writing, is killed by finish().
    ended_ = n == 0;
    return 0;
  }
}

void Command::finish() {
  if (pid_ < 0) return;
  out_.reset();
  // The command has not been reaped yet, so neither its pid nor its group
  // id can have been given to anyone else.
  if (!ended_) killCommandGroup(pid_);
  // Waits for the exit without reaping it, so that until the command is
  // gone a stop can still kill it, a command that closed its output and
  // lingers included; then lets the stop go and reaps.
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  stop_.unwatchGroup();
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}
