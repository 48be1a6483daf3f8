#include "app_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "commands.h"
#include "device_files.h"
#include "device_model.h"
#include "scoped_resource.h"

namespace {

constexpr int64_t kMs = 1000000;
// The app's memory, touched so that it is resident.
constexpr size_t kTouchedBytes = 30 << 20;
// Its render thread's CPU time per frame drawn, and the others' per tick.
constexpr int64_t kCpuPerFrameNs = 2 * kMs;
constexpr int64_t kCpuPerTickNs = kMs / 5;
constexpr int64_t kTickNs = 100 * kMs;
// An app forgotten by every test and script still ends.
constexpr int64_t kMaxLifetimeNs = int64_t{24} * 3600 * sim::kNsPerSecond;
constexpr int kReadyTimeoutMs = 10000;
constexpr int kStopWaitSteps = 500;  // of 10 ms

const char* const kThreadNames[] = {"RenderThread", "GLThread 41", "AudioTrack", "HeapTaskDaemon",
                                    "Jit thread pool"};

std::optional<pid_t> parsePid(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long pid = strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || (*end != '\0' && *end != '\n') || pid <= 1 ||
      pid > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

std::string exeOf(const std::string& proc) {
  char buf[4096];
  const ssize_t n = readlink((proc + "/exe").c_str(), buf, sizeof buf);
  return n <= 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// Gone, or a zombie that its reaper has yet to collect.
bool hasEnded(pid_t pid) {
  std::string stat;
  if (!sim::readFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return true;
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z' ||
         stat[paren + 2] == 'X';
}

bool waitEnded(pid_t pid) {
  for (int i = 0; i < kStopWaitSteps; ++i) {
    if (hasEnded(pid)) return true;
    usleep(10000);
  }
  return hasEnded(pid);
}

void sleepUntil(int64_t ns) {
  const timespec at{static_cast<time_t>(ns / sim::kNsPerSecond),
                    static_cast<long>(ns % sim::kNsPerSecond)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

int64_t threadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * sim::kNsPerSecond + ts.tv_nsec;
}

// CPU time rather than wall time, so that a loaded machine does not shrink
// the app's share; a tick's worth of wall time at most.
void burnCpu(int64_t ns) {
  const int64_t until = threadCpuNs() + ns;
  const int64_t deadline = monotonicNs() + kTickNs;
  volatile uint64_t sink = 0;
  while (threadCpuNs() < until && monotonicNs() < deadline) {
    for (int i = 0; i < 10000; ++i) sink = sink * 6364136223846793005ULL + 1442695040888963407ULL;
  }
}

// The frame rate the app draws at nowNs, throttled as the device is.
int drawnFps(const sim::DeviceConfig& config, int64_t startNs, int64_t nowNs) {
  if (nowNs < startNs) return 0;
  return sim::thermalTimeline(config, nowNs - startNs).back().fps;
}

struct AppRun {
  sim::DeviceConfig config;
  int64_t startNs;
  int64_t endNs;
};

// One tick's work of thread `index` (0 the main thread): the render thread
// (index 1, or the main thread of an app of one) draws the frames.
void tickWork(const AppRun& run, int index, int64_t nowNs) {
  const bool renders = index == 1 || (index == 0 && run.config.appThreads == 1);
  if (!renders) {
    burnCpu(kCpuPerTickNs);
    return;
  }
  const int64_t fps = drawnFps(run.config, run.startNs, nowNs);
  burnCpu(std::min(fps * kCpuPerFrameNs * kTickNs / sim::kNsPerSecond, kTickNs * 4 / 5));
}

void appThread(const AppRun* run, int index) {
  pthread_setname_np(pthread_self(), kThreadNames[(index - 1) % std::size(kThreadNames)]);
  for (int64_t next = monotonicNs() + kTickNs; next < run->endNs; next += kTickNs) {
    sleepUntil(next);
    tickWork(*run, index, next);
  }
}

bool stillStarted(const std::string& dir, int64_t startNs) {
  std::string text;
  if (!sim::readFile(dir + "/app", &text)) return false;
  return sim::parseAppStart(text) == startNs;
}

}  // namespace

int runAppProcess(int argc, char** argv) {
  if (argc != 3) return 2;
  const int readyFd = atoi(argv[2]);
  for (int i = 1; i < argc; ++i) memset(argv[i], 0, strlen(argv[i]));
  // Android names an app's main thread after the last 15 bytes of its
  // package, the end being what tells apps apart.
  const size_t length = strlen(argv[0]);
  prctl(PR_SET_NAME, argv[0] + (length > 15 ? length - 15 : 0), 0, 0, 0);
  if (chdir("/") != 0) return 1;
  // Whatever the starter ignored or blocked, app stop's SIGTERM ends the app.
  signal(SIGTERM, SIG_DFL);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &term, nullptr);

  const std::string dir = stateDir();
  sim::DeviceState state;
  std::string error;
  if (dir.empty() || !sim::loadDeviceState(dir, &state, &error) || !state.appStartNs) return 1;
  const AppRun run{state.config, *state.appStartNs, monotonicNs() + kMaxLifetimeNs};

  void* memory =
      mmap(nullptr, kTouchedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
  memset(memory, 0x5a, kTouchedBytes);
  // From here on the process ends through _exit alone: its threads run on
  // with `run` until then.
  for (int i = 1; i < run.config.appThreads; ++i) std::thread(appThread, &run, i).detach();
  if (write(readyFd, "R", 1) != 1) _exit(1);
  close(readyFd);

  for (int64_t next = monotonicNs() + kTickNs; next < run.endNs; next += kTickNs) {
    sleepUntil(next);
    if (!stillStarted(dir, run.startNs)) break;
    tickWork(run, 0, next);
  }
  // The threads hold nothing that needs an orderly end.
  _exit(0);
}

bool startAppProcess(const std::string& dir, const sim::DeviceConfig& config, std::string* error) {
  int pidPipe[2];
  int readyPipe[2];
  if (pipe2(pidPipe, O_CLOEXEC) != 0) {
    *error = errnoText("pipe");
    return false;
  }
  const ScopedFile pidRead(pidPipe[0]);
  ScopedFile pidWrite(pidPipe[1]);
  if (pipe2(readyPipe, O_CLOEXEC) != 0) {
    *error = errnoText("pipe");
    return false;
  }
  const ScopedFile readyRead(readyPipe[0]);
  ScopedFile readyWrite(readyPipe[1]);
  std::string package = config.package;
  std::string marker = kAppProcessMarker;

  const pid_t child = fork();
  if (child < 0) {
    *error = errnoText("fork");
    return false;
  }
  if (child == 0) {
    // The child leaves at once, so that the app is init's to reap; in a
    // session of its own, no signal to the caller's process group hits it.
    setsid();
    const pid_t app = fork();
    if (app == 0) {
      const int null = open("/dev/null", O_RDWR);
      // Whoever reads the caller's output must not wait for the app's end.
      for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
      if (null > 2) close(null);
      // F_DUPFD leaves the copy open across exec.
      std::string ready = std::to_string(fcntl(readyPipe[1], F_DUPFD, 3));
      char* const args[] = {package.data(), marker.data(), ready.data(), nullptr};
      execv("/proc/self/exe", args);
      _exit(127);
    }
    const bool sent = write(pidPipe[1], &app, sizeof app) == sizeof app;
    _exit(sent && app > 0 ? 0 : 1);
  }
  pidWrite.reset();
  readyWrite.reset();
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  pid_t app = -1;
  if (read(pidRead.get(), &app, sizeof app) != sizeof app || app <= 0) {
    *error = "could not start the app's process";
    return false;
  }
  pollfd ready{readyRead.get(), POLLIN, 0};
  int polled;
  while ((polled = poll(&ready, 1, kReadyTimeoutMs)) < 0 && errno == EINTR) {
  }
  char byte = 0;
  if (polled != 1 || read(readyRead.get(), &byte, 1) != 1 || byte != 'R') {
    kill(app, SIGKILL);
    *error = "the app's process " + std::to_string(app) + " did not come up";
    return false;
  }
  return sim::writeFileAtomic(dir + "/app_pid", std::to_string(app) + "\n", error);
}

bool stopAppProcess(const std::string& dir, std::string* error) {
  const std::string path = dir + "/app_pid";
  std::string text;
  if (!sim::readFile(path, &text)) {
    if (errno == ENOENT) return true;
    *error = errnoText(path);
    return false;
  }
  const std::optional<pid_t> pid = parsePid(text);
  // A pid since given to another program is left alone.
  if (pid && !hasEnded(*pid) && exeOf("/proc/" + std::to_string(*pid)) == exeOf("/proc/self")) {
    kill(*pid, SIGTERM);
    if (!waitEnded(*pid)) {
      kill(*pid, SIGKILL);
      if (!waitEnded(*pid)) {
        *error = "the app's process " + std::to_string(*pid) + " does not end";
        return false;
      }
    }
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    *error = errnoText(path);
    return false;
  }
  return true;
}
