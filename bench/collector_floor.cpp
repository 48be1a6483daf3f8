// The bare minimum of the collector's work, for the daemon's cost per tick
// to be measured against: once a second it runs the same dumpsys commands,
// the listing and then the latency command of every layer whose name holds
// the package, and reads their output to the end. It computes no rate, has
// no stop and never answers anyone. --direct starts dumpsys itself, as the
// daemon does; --shell starts each command line through "sh -c", as popen
// would.
//
// collector_floor --direct|--shell PACKAGE
#include <fcntl.h>
#include <paths.h>
#include <string.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

bool throughShell = false;

// Runs dumpsys with the arguments argv (argv[0] is "dumpsys"), or the same
// command line through the shell, and hands its whole output to out.
void run(const char* const* argv, std::string* out) {
  std::string line;
  if (throughShell) {
    line = "dumpsys SurfaceFlinger ";
    line += argv[2];
    if (argv[3] != nullptr) line += std::string(" '") + argv[3] + "'";
  }
  const char* const shellArgv[] = {"sh", "-c", line.c_str(), nullptr};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t pid = vfork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    if (throughShell) {
      execv(_PATH_BSHELL, const_cast<char* const*>(shellArgv));
    } else {
      execvp(argv[0], const_cast<char* const*>(argv));
    }
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
  if (argc != 3 || (strcmp(argv[1], "--direct") != 0 && strcmp(argv[1], "--shell") != 0)) return 2;
  throughShell = strcmp(argv[1], "--shell") == 0;
  const std::string package = argv[2];
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  itimerspec period = {};
  period.it_interval.tv_sec = 1;
  period.it_value.tv_nsec = 1;
  timerfd_settime(timer, 0, &period, nullptr);
  std::string listing;
  std::string latency;
  std::vector<std::string> names;
  const char* const list[] = {"dumpsys", "SurfaceFlinger", "--list", nullptr};
  for (;;) {
    uint64_t expirations;
    if (read(timer, &expirations, sizeof expirations) != sizeof expirations) return 1;
    listing.clear();
    names.clear();
    run(list, &listing);
    for (size_t start = 0, end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1) {
      if (std::string_view(listing.data() + start, end - start).find(package) != std::string_view::npos) {
        names.push_back(listing.substr(start, end - start));
      }
    }
    for (const std::string& name : names) {
      latency.clear();
      const char* const args[] = {"dumpsys", "SurfaceFlinger", "--latency", name.c_str(), nullptr};
      run(args, &latency);
    }
  }
}
