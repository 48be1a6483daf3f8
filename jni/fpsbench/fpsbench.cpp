#include "fpsbench/fpsbench.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "fpsbench/command.h"
#include "fpsbench/parse.h"
#include "scoped_resource.h"
#include "trace.h"

namespace {

constexpr char kListCommand[] = "dumpsys SurfaceFlinger --list";

// One collection, from a start to the end of its thread. The server and the
// thread each hold a reference, so it lives until both have let go; nothing
// in it is shared with another collection, the pattern least of all.
struct Collector {
  explicit Collector(const std::string& packageName)
      : mPackageName(packageName), pattern(packageName), frameListBuilder(&frameList) {}

  void publish(int fps);

  // The pattern as the request gave it, beside its compiled form.
  const std::string mPackageName;
  const PackagePattern pattern;
  // The distinct layers of the last listing that the pattern selects, in
  // order of first appearance. Any other layer would only give -1 without
  // running a command, so it is not kept: a listing of a million other names
  // costs no memory.
  std::vector<FrameData> frameList;
  LayerListBuilder frameListBuilder;

  std::atomic<bool> stopping{false};
  // Orders a tick's publication against the stop, and the thread's exit
  // against the stop's use of the thread handle.
  std::mutex lock;
  bool threadGone = false;

  // The server's mask when it started the collector, which the commands
  // inherit, and the same mask without SIGQUIT, under which the thread waits.
  sigset_t childMask;
  sigset_t waitMask;
};

// Written by the collector thread at the end of a tick, read by the server
// without a lock: one 32-bit word, so a reader sees the old or the new rate.
std::atomic<uint32_t> finalFPS{0};

// The server thread's view of the collection; only it reads or writes these.
uint32_t startState = 0;
pthread_t pid;
std::shared_ptr<Collector> collector;

void Collector::publish(int fps) {
  std::lock_guard<std::mutex> guard(lock);
  if (!stopping.load(std::memory_order_relaxed)) {
    finalFPS.store(static_cast<uint32_t>(fps), std::memory_order_relaxed);
  }
}

StopToken stopTokenOf(const Collector& c) { return StopToken(&c.stopping, &c.waitMask); }

// Only async-signal-safe work: the collector notices the stop through its
// flag when the interrupted wait returns, and leaves where it holds nothing.
void handle_quit(int signo) {
  char text[] = "in qq handle sig    \n";
  char* p = text + 17;
  for (int d = 100; d > 0; d /= 10) {
    if (signo >= d || d == 1) *p++ = static_cast<char>('0' + signo / d % 10);
  }
  *p++ = ' ';
  *p++ = '\n';
  traceFromSignal(text, static_cast<size_t>(p - text));
}

int initFrameList(Collector& c) {
  c.frameListBuilder.clear();
  Command command(stopTokenOf(c), &c.childMask);
  if (!command.start(kListCommand)) return -1;
  std::string layerName;
  command.readLines([&c, &layerName](const char* tmp, size_t len) {
    trace("in while tmp = %s\n", tmp);
    layerName.assign(tmp, len > 0 ? len - 1 : 0);
    if (c.pattern.matches(layerName)) c.frameListBuilder.add(tmp, len);
  });
  return 0;
}

// frameData is an entry of frameList, so the pattern has already selected it.
int calFPSByLayer(Collector& c, FrameData frameData) {
  const std::string layerName = layerNameOf(frameData);
  LatencyWindow timeStamps;
  {
    Command command(stopTokenOf(c), &c.childMask);
    if (!command.start(latencyCommand(layerName))) return -1;
    if (!command.readLines([&timeStamps](const char* line, size_t) {
          timeStamps.addOutputLine(line);
        })) {
      return -1;
    }
  }
  return fpsFromTimings(frameData, timeStamps);
}

void calFPS(Collector& c) {
  initFrameList(c);
  trace("frameList.size() = %lu\n", static_cast<unsigned long>(c.frameList.size()));
  int final_final_fps = 0;
  for (const FrameData& frameData : c.frameList) {
    if (c.stopping.load(std::memory_order_acquire)) return;
    const int fps = calFPSByLayer(c, frameData);
    if (fps > final_final_fps) final_final_fps = fps;
  }
  c.publish(final_final_fps);
}

void collectEverySecond(Collector& c) {
  struct sigaction quit = {};
  quit.sa_handler = handle_quit;
  sigaction(SIGQUIT, &quit, nullptr);

  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  ScopedFile fd(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!fd) return;
  // The first expiry is now, so the first tick runs at once; later ones
  // fall on whole seconds after it, and missed ones are not made up.
  itimerspec period = {};
  period.it_interval.tv_sec = 1;
  period.it_value = now;
  if (timerfd_settime(fd.get(), TFD_TIMER_ABSTIME, &period, nullptr) != 0) return;

  const StopToken stop = stopTokenOf(c);
  while (stop.wait(fd.get(), nullptr) > 0) {
    uint64_t expirations;
    if (read(fd.get(), &expirations, sizeof expirations) == sizeof expirations) calFPS(c);
  }
}

void* startFPSThread(void* arg) {
  std::shared_ptr<Collector> c(*static_cast<std::shared_ptr<Collector>*>(arg));
  delete static_cast<std::shared_ptr<Collector>*>(arg);
  // So that `top -H` and the tests can tell the collector from the server.
  pthread_setname_np(pthread_self(), kCollectorThreadName);
  collectEverySecond(*c);
  // Nobody joins a collector: it detaches itself on the way out, under the
  // lock, so that the stop never signals a handle that has been let go.
  std::lock_guard<std::mutex> guard(c->lock);
  pthread_detach(pthread_self());
  c->threadGone = true;
  return nullptr;
}

}  // namespace

int startCollectFPS(std::string packageName) {
  if (startState != 0) return 0;
  startState = 1;
  auto c = std::make_shared<Collector>(packageName);

  // The thread is born with SIGQUIT blocked, so that a stop sent before it
  // first waits stays pending until it does.
  sigset_t quitOnly;
  sigset_t serverMask;
  sigemptyset(&quitOnly);
  sigaddset(&quitOnly, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &quitOnly, &serverMask);
  c->childMask = serverMask;
  c->waitMask = serverMask;
  sigdelset(&c->waitMask, SIGQUIT);

  auto* arg = new std::shared_ptr<Collector>(c);
  if (pthread_create(&pid, nullptr, startFPSThread, arg) == 0) {
    collector = std::move(c);
  } else {
    // Later starts do nothing until a stop, as with a running collector.
    delete arg;
  }
  pthread_sigmask(SIG_SETMASK, &serverMask, nullptr);
  return 0;
}

void stopFPSCollect() {
  if (startState == 0) return;
  startState = 0;
  const std::shared_ptr<Collector> c = std::move(collector);
  if (!c) return;
  std::lock_guard<std::mutex> guard(c->lock);
  c->stopping.store(true, std::memory_order_release);
  if (c->threadGone || pthread_kill(pid, 0) == ESRCH) return;
  trace("thread %ld exists!\n", static_cast<long>(pid));
  pthread_kill(pid, SIGQUIT);
  trace("after kill\n");
}

int getFPS() {
  const int fps = static_cast<int>(finalFPS.load(std::memory_order_relaxed));
  trace("finalFPS = %d\n", fps);
  return fps;
}
