#include "fpsbench/fpsbench.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "clock.h"
#include "fpsbench/command.h"
#include "fpsbench/frame_stats.h"
#include "fpsbench/latency.h"
#include "fpsbench/layer_list.h"
#include "fpsbench/time_stats.h"
#include "package_pattern.h"
#include "scoped_resource.h"
#include "trace.h"

namespace {

// One collection, from a start until its thread has ended. The server holds
// it until the stop, the thread until it leaves; whichever lets go last
// frees it and closes its descriptor. Nothing in it is shared with another
// collection, the pattern least of all.
struct Collector {
  explicit Collector(const std::string& packageName)
      : mPackageName(packageName), pattern(packageName), frameListBuilder(&frameList) {}

  // A tick's figures; without a rate, the last one stays.
  void publish(std::optional<int> fps, FrameStats&& stats);
  // The server's side: from its return on, no rate is published, the
  // running command is killed, and every wait of the collection returns to a
  // thread that leaves.
  void stop();

  // The pattern as the request gave it, beside its compiled form.
  const std::string mPackageName;
  const PackagePattern pattern;
  // The distinct layers of the last listing that the pattern selects, in
  // order of first appearance. Any other layer would only give -1 without
  // running a command, so it is not kept: a listing of a million other names
  // costs no memory.
  std::vector<FrameData> frameList;
  LayerListBuilder frameListBuilder;
  // Whether the last listing printed any layer at all, matching or not.
  bool listedAny = false;
  // Only the collector thread uses these.
  FrameTracker frameTracker;
  TimeStatsTracker timeStats;
  bool timeStatsEnabled = false;
  // When each latency read of the running tick began, in listing order;
  // the start of the read of the layer that wants reading between ticks.
  std::vector<uint64_t> readStarts;
  uint64_t chosenReadNs = 0;

  Stop stopping;
  // Orders a tick's publication against the stop, and guards the statistics.
  std::mutex publishLock;
  // The last tick's frame statistics; none before the first.
  bool ticked = false;
  FrameStats frameStats;
  std::atomic<bool> threadGone{false};
};

// Written by the collector thread at the end of a tick, read by the server
// without a lock: one 32-bit word, so a reader sees the old or the new rate.
std::atomic<uint32_t> finalFPS{0};

// The server thread's view of the collection; only it reads or writes these.
// startState is a flag: 1 from a start until the next stop.
uint32_t startState = 0;
// The collector thread's handle, not a process id.
pthread_t pid;
std::shared_ptr<Collector> collector;
uint64_t collectionsStarted = 0;

void Collector::publish(std::optional<int> fps, FrameStats&& stats) {
  std::lock_guard<std::mutex> guard(publishLock);
  if (!stopping.requested()) {
    if (fps) finalFPS.store(static_cast<uint32_t>(*fps), std::memory_order_relaxed);
    frameStats = std::move(stats);
    ticked = true;
  }
}

void Collector::stop() {
  std::lock_guard<std::mutex> guard(publishLock);
  stopping.request();
}

// The trace line of a SIGQUIT, made before the handler is installed, so
// that the handler itself only writes it.
char quitTrace[32];
size_t quitTraceLen = 0;

// The stop does not signal the collector, so a SIGQUIT can only come from
// outside; it costs the daemon a trace line and nothing else. A wait it
// interrupts is simply resumed.
void handle_quit(int) { traceFromSignal(quitTrace, quitTraceLen); }

// Installed with the first collection; until then SIGQUIT keeps its default
// action.
void installQuitHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  const int n = snprintf(quitTrace, sizeof quitTrace, "in qq handle sig %d \n", SIGQUIT);
  quitTraceLen = n > 0 ? static_cast<size_t>(n) : 0;
  struct sigaction quit = {};
  quit.sa_handler = handle_quit;
  sigaction(SIGQUIT, &quit, nullptr);
}

int initFrameList(Collector& c) {
  c.frameListBuilder.clear();
  c.listedAny = false;
  Command command(c.stopping);
  if (!command.start(kListArguments)) return -1;
  // tmp: one line of the listing.
  command.readLines([&c](const char* tmp, size_t len) {
    trace("in while tmp = %s\n", tmp);
    if (!c.listedAny) c.listedAny = strspn(tmp, " \t\r\n") != len;
    c.frameListBuilder.addListed(tmp, len, &c.pattern);
  });
  return 0;
}

// A running phone always has layers: a listing without one is a compositor
// that no longer lists them (Android 14 QPR2 and QPR3), whose latency
// outputs hold no row either. Its time statistics count the frames instead.
void timeStatsTick(Collector& c) {
  if (!c.timeStatsEnabled) {
    Command enable(c.stopping);
    if (!enable.start(kTimeStatsEnableArguments) || !enable.readLines([](const char*, size_t) {})) {
      return;
    }
    c.timeStatsEnabled = true;
  }
  TimeStatsParser parser(&c.pattern);
  // The dump's moment: when its first line came, which the compositor
  // writes once it has taken its counters. Starting the command before it
  // and streaming the rest after it take times that vary from tick to tick.
  uint64_t dumpNs = 0;
  {
    Command dump(c.stopping);
    if (!dump.start(kTimeStatsDumpArguments) ||
        !dump.readLines([&parser, &dumpNs](const char* line, size_t len) {
          if (dumpNs == 0) dumpNs = monotonicNs();
          parser.line(line, len);
        })) {
      return;
    }
  }
  // An empty dump holds no layer; its moment matters to no figure.
  if (dumpNs == 0) dumpNs = monotonicNs();
  TimeStatsTick tick = c.timeStats.tick(parser.take(), dumpNs);
  c.publish(tick.fps, std::move(tick.stats));
}

// One more read of the layer the last tick chose, between ticks.
void extraRead(Collector& c) {
  FrameCounter counter = c.frameTracker.counterForExtraRead();
  LatencyWindow timeStamps(&counter);
  const std::string& layerName = c.frameTracker.extraReads().layer;
  Command command(c.stopping);
  if (!command.start(latencyArguments(layerName).data()) ||
      !command.readLines([&timeStamps](const char* line, size_t) { timeStamps.addOutputLine(line); })) {
    return;
  }
  c.frameTracker.endExtraRead(counter);
}

// frameData is an entry of frameList, so the pattern has already selected it.
int calFPSByLayer(Collector& c, FrameData frameData, const std::string& layerName,
                  FrameCounter* counter) {
  LatencyWindow timeStamps(counter);
  {
    Command command(c.stopping);
    if (!command.start(latencyArguments(layerName).data())) return -1;
    if (!command.readLines([&timeStamps](const char* line, size_t) {
          timeStamps.addOutputLine(line);
        })) {
      return -1;
    }
  }
  return fpsFromTimings(frameData, timeStamps);
}

void calFPS(Collector& c) {
  const uint64_t tickNs = monotonicNs();
  c.frameTracker.beginTick(tickNs);
  initFrameList(c);
  trace("frameList.size() = %lu\n", static_cast<unsigned long>(c.frameList.size()));
  if (!c.listedAny) {
    // Neither source may judge the next tick by what the other saw.
    c.frameTracker.endTick(false);
    timeStatsTick(c);
    return;
  }
  c.timeStats.forget();
  int final_final_fps = 0;
  c.readStarts.clear();
  for (const FrameData& frameData : c.frameList) {
    // A tick the stop has reached is abandoned.
    if (c.stopping.requested()) return;
    const std::string layerName = layerNameOf(frameData);
    FrameCounter counter = c.frameTracker.counterFor(layerName);
    c.readStarts.push_back(monotonicNs());
    const int fps = calFPSByLayer(c, frameData, layerName, &counter);
    if (fps > final_final_fps) final_final_fps = fps;
    c.frameTracker.endLayer(layerName, counter);
  }
  c.publish(final_final_fps, c.frameTracker.endTick(!c.frameList.empty()));
  // Reads between ticks fall evenly between this read of the layer and the
  // next tick's, which comes as late after its tick's start as this one.
  c.chosenReadNs = tickNs;
  if (c.frameTracker.extraReads().perSecond > 1) {
    for (size_t i = 0; i < c.frameList.size(); ++i) {
      if (layerNameOf(c.frameList[i]) == c.frameTracker.extraReads().layer) {
        c.chosenReadNs = c.readStarts[i];
      }
    }
  }
}

// A timer whose first expiry is now, so the first tick runs at once; later
// ones fall on whole seconds after it, and missed ones are not made up.
ScopedFile secondTimer() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  ScopedFile fd(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
  itimerspec period = {};
  period.it_interval.tv_sec = 1;
  period.it_value = now;
  if (fd && timerfd_settime(fd.get(), TFD_TIMER_ABSTIME, &period, nullptr) != 0) fd.reset();
  return fd;
}

void collectEverySecond(Collector& c) {
  const Stop& stop = c.stopping;
  // Out of descriptors or memory for a moment: the collection waits it out
  // rather than end while the server believes it runs.
  ScopedFile timer;
  const timespec retry = {1, 0};
  while (!(timer = secondTimer())) {
    if (stop.wait(-1, &retry) < 0) return;
  }
  // The reads between ticks: the next one's monotonic time, and how many
  // are left before the next tick.
  uint64_t nextReadNs = 0;
  unsigned readsLeft = 0;
  for (;;) {
    timespec untilRead;
    if (readsLeft > 0) {
      const uint64_t now = monotonicNs();
      const uint64_t wait = nextReadNs > now ? nextReadNs - now : 0;
      untilRead = {static_cast<time_t>(wait / 1000000000u), static_cast<long>(wait % 1000000000u)};
    }
    const int woke = stop.wait(timer.get(), readsLeft > 0 ? &untilRead : nullptr);
    if (woke < 0) return;
    if (woke == 0) {
      extraRead(c);
      --readsLeft;
      nextReadNs += 1000000000u / c.frameTracker.extraReads().perSecond;
      continue;
    }
    uint64_t expirations;
    if (read(timer.get(), &expirations, sizeof expirations) != sizeof expirations) continue;
    calFPS(c);
    const unsigned perSecond = c.listedAny ? c.frameTracker.extraReads().perSecond : 1;
    readsLeft = perSecond - 1;
    nextReadNs = c.chosenReadNs + 1000000000u / perSecond;
  }
}

void startFPSThread(const std::shared_ptr<Collector>& c) {
  // So that `top -H` and the tests can tell the collector from the server.
  pthread_setname_np(pthread_self(), kCollectorThreadName);
  collectEverySecond(*c);
  c->threadGone.store(true, std::memory_order_relaxed);
}

}  // namespace

int startCollectFPS(std::string packageName) {
  if (startState != 0) return 0;
  startState = 1;
  installQuitHandler();
  auto c = std::make_shared<Collector>(packageName);
  // Without a wake descriptor the collection could not be stopped, and
  // without a thread it would not run: either way later starts do nothing
  // until a stop, as with a running collector.
  if (!c->stopping.usable()) return 0;
  try {
    std::thread thread(startFPSThread, c);
    pid = thread.native_handle();
    // Nobody joins a collector: it holds its collection and leaves on its own.
    thread.detach();
  } catch (const std::system_error&) {
    return 0;
  }
  collector = std::move(c);
  ++collectionsStarted;
  return 0;
}

void stopFPSCollect() {
  if (startState == 0) return;
  startState = 0;
  const std::shared_ptr<Collector> c = std::move(collector);
  if (!c) return;
  const bool threadRuns = !c->threadGone.load(std::memory_order_relaxed);
  if (threadRuns) trace("thread %ld exists!\n", static_cast<long>(pid));
  c->stop();
  // The stop is the "kill": no signal is sent, the collector is told.
  if (threadRuns) trace("after kill\n");
}

std::string getFrameStatsText() {
  if (startState == 0 || !collector) return frameStatsText(nullptr);
  FrameStats stats;
  {
    std::lock_guard<std::mutex> guard(collector->publishLock);
    if (collector->ticked) stats = collector->frameStats;
  }
  return frameStatsText(&stats);
}

Collection currentCollection() {
  if (startState == 0 || !collector) return Collection();
  return Collection{&collector->pattern, collectionsStarted};
}

int getFPS() {
  const int fps = static_cast<int>(finalFPS.load(std::memory_order_relaxed));
  trace("finalFPS = %d\n", fps);
  return fps;
}
