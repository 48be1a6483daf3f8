// The bare minimum of the collector's work, for the daemon's cost per tick
// to be measured against: once a second it runs the same dumpsys commands
// through the shell, the listing and then the latency command of every layer
// whose name holds the package, and reads their output to the end. It
// computes no rate, has no stop and never answers anyone.
//
// collector_floor PACKAGE
#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <string.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

// Runs line through the shell and hands its whole output to out.
void run(const std::string& line, std::string* out) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t pid = vfork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    const char* const argv[] = {"sh", "-c", line.c_str(), nullptr};
    execv(_PATH_BSHELL, const_cast<char* const*>(argv));
    _exit(127);
  }
  close(fds[1]);
  char buf[16384];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status;
  if (pid > 0) waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string package = argv[1];
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  itimerspec period = {};
  period.it_interval.tv_sec = 1;
  period.it_value.tv_nsec = 1;
  timerfd_settime(timer, 0, &period, nullptr);
  std::string listing;
  std::string latency;
  std::vector<std::string> names;
  for (;;) {
    uint64_t expirations;
    if (read(timer, &expirations, sizeof expirations) != sizeof expirations) return 1;
    listing.clear();
    names.clear();
    run("dumpsys SurfaceFlinger --list", &listing);
    for (size_t start = 0, end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1) {
      if (std::string_view(listing.data() + start, end - start).find(package) != std::string_view::npos) {
        names.push_back(listing.substr(start, end - start));
      }
    }
    for (const std::string& name : names) {
      latency.clear();
      run("dumpsys SurfaceFlinger --latency '" + name + "'", &latency);
    }
  }
}
