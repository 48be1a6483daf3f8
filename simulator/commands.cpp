#include "commands.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "app_process.h"
#include "cpu_model.h"
#include "device_config.h"
#include "device_files.h"
#include "device_model.h"
#include "scoped_resource.h"
#include "surface_flinger.h"
#include "time_stats.h"

int fail(const std::string& message) {
  fprintf(stderr, "perfprobe-sim: %s\n", message.c_str());
  return 1;
}

std::string errnoText(const std::string& what) { return what + ": " + strerror(errno); }

int64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * sim::kNsPerSecond + ts.tv_nsec;
}

std::string stateDir() {
  const char* dir = getenv("PERFPROBE_SIM_DIR");
  return dir == nullptr ? "" : dir;
}

namespace {

using sim::isDirectory;
using sim::readFile;
using sim::writeAll;
using sim::writeFileAtomic;

bool loadDeviceState(sim::DeviceState* state, std::string* error) {
  const std::string dir = stateDir();
  if (dir.empty()) {
    // No state: a device whose app has run since boot.
    state->appStartNs = 0;
    return true;
  }
  return sim::loadDeviceState(dir, state, error);
}

struct Policy {
  std::string curFreqPath;
  std::vector<int64_t> freqsKHz;
  sim::GovernorState state;
};

std::optional<int> policyNumber(const char* name) {
  if (strncmp(name, "policy", 6) != 0 || name[6] == '\0') return std::nullopt;
  int n = 0;
  for (const char* p = name + 6; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || n > 100000) return std::nullopt;
    n = n * 10 + (*p - '0');
  }
  return n;
}

bool loadPolicies(const std::string& root, std::vector<Policy>* policies, std::string* error) {
  const std::string cpufreq = root + "/cpufreq";
  std::vector<std::pair<int, std::string>> found;
  {
    const ScopedDir dir(opendir(cpufreq.c_str()));
    if (!dir) {
      *error = errnoText(cpufreq) + " (make the tree with cpu-tree first)";
      return false;
    }
    while (const dirent* entry = readdir(dir.get())) {
      if (const auto n = policyNumber(entry->d_name)) found.emplace_back(*n, entry->d_name);
    }
  }
  std::sort(found.begin(), found.end());
  for (const auto& [n, name] : found) {
    const std::string folder = cpufreq + "/" + name;
    std::string text;
    if (!readFile(folder + "/scaling_available_frequencies", &text)) {
      *error = errnoText(folder + "/scaling_available_frequencies");
      return false;
    }
    auto freqs = sim::parseFrequencyList(text);
    if (!freqs) {
      *error = folder + "/scaling_available_frequencies: expected frequencies in kHz";
      return false;
    }
    Policy policy{folder + "/scaling_cur_freq", std::move(*freqs), {0, 0}};
    text.clear();
    if (readFile(policy.curFreqPath, &text)) {
      const auto cur =
          std::find(policy.freqsKHz.begin(), policy.freqsKHz.end(), atoll(text.c_str()));
      if (cur != policy.freqsKHz.end())
        policy.state.index = static_cast<size_t>(cur - policy.freqsKHz.begin());
    }
    const size_t top = policy.freqsKHz.size() - 1;
    policy.state.loadPerMille = top == 0 ? 0 : static_cast<int>(policy.state.index * 1000 / top);
    policies->push_back(std::move(policy));
  }
  if (policies->empty()) {
    *error = cpufreq + " holds no policy folder (make the tree with cpu-tree first)";
    return false;
  }
  return true;
}

timespec durationSpec(int64_t ns) {
  ns = std::max<int64_t>(ns, 0);
  return {static_cast<time_t>(ns / sim::kNsPerSecond), static_cast<long>(ns % sim::kNsPerSecond)};
}

// "--timestats" followed by any of its flags: they are applied in this
// order, whatever order they come in.
int runTimeStats(const std::vector<std::string>& flags) {
  bool enable = false, disable = false, clear = false, dump = false;
  for (const std::string& flag : flags) {
    if (flag == "-enable") {
      enable = true;
    } else if (flag == "-disable") {
      disable = true;
    } else if (flag == "-clear") {
      clear = true;
    } else if (flag == "-dump") {
      dump = true;
    } else {
      const std::string flags = "-enable, -disable, -clear and -dump";
      return fail("dumpsys: SurfaceFlinger --timestats takes " + flags + ", not '" + flag + "'");
    }
  }
  const std::string dir = stateDir();
  if ((enable || disable || clear) && dir.empty()) {
    return fail("dumpsys: SurfaceFlinger --timestats: only -dump works without PERFPROBE_SIM_DIR");
  }
  std::string error;
  if (disable) {
    const std::string path = dir + "/" + sim::kTimeStatsEnabledFile;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return fail("dumpsys: " + errnoText(path));
  }
  const std::string now = std::to_string(monotonicNs()) + "\n";
  if (enable) {
    // Enabling again keeps counting from the first time.
    bool created = false;
    if (!sim::createFileAtomic(dir + "/" + sim::kTimeStatsEnabledFile, now, &created, &error))
      return fail("dumpsys: " + error);
  }
  if (clear && !sim::writeFileAtomic(dir + "/" + sim::kTimeStatsResetFile, now, &error))
    return fail("dumpsys: " + error);
  sim::DeviceState state;
  if (!loadDeviceState(&state, &error)) return fail(error);
  const std::string out = sim::withTimeoutSuffix(
      state.config,
      dump ? sim::timeStatsDump(state.config, state.appStartNs, state.timeStats, monotonicNs())
           : "");
  if (!writeAll(STDOUT_FILENO, out)) return fail(errnoText("dumpsys: stdout"));
  return 0;
}

}  // namespace

int runDumpsys(const std::vector<std::string>& args) {
  const bool list = args.size() == 2 && args[0] == "SurfaceFlinger" && args[1] == "--list";
  const bool latency = args.size() == 3 && args[0] == "SurfaceFlinger" && args[1] == "--latency";
  if (args.size() >= 2 && args[0] == "SurfaceFlinger" && args[1] == "--timestats")
    return runTimeStats(std::vector<std::string>(args.begin() + 2, args.end()));
  if (!list && !latency) {
    return fail(
        "dumpsys: only 'SurfaceFlinger --list', 'SurfaceFlinger --latency NAME' and "
        "'SurfaceFlinger --timestats FLAGS' are simulated");
  }
  sim::DeviceState state;
  std::string error;
  if (!loadDeviceState(&state, &error)) return fail(error);
  const std::string out =
      list ? sim::layerListing(state.config, state.appStartNs)
           : sim::latencyOutput(state.config, state.appStartNs, monotonicNs(), args[2]);
  if (!writeAll(STDOUT_FILENO, out)) return fail(errnoText("dumpsys: stdout"));
  return 0;
}

int runTimeStatsReset() {
  const std::string dir = stateDir();
  if (dir.empty()) return fail("timestats reset: PERFPROBE_SIM_DIR is not set");
  if (!isDirectory(dir))
    return fail("timestats reset: PERFPROBE_SIM_DIR " + dir + " is not a folder");
  std::string error;
  if (!writeFileAtomic(dir + "/" + sim::kTimeStatsResetFile, std::to_string(monotonicNs()) + "\n",
                       &error)) {
    return fail("timestats reset: " + error);
  }
  return 0;
}

int runAppStart(double agoSeconds, bool process, int64_t vsyncNs, int64_t afterVsyncNs) {
  const std::string dir = stateDir();
  if (dir.empty()) return fail("app start: PERFPROBE_SIM_DIR is not set");
  if (!isDirectory(dir)) return fail("app start: PERFPROBE_SIM_DIR " + dir + " is not a folder");
  sim::DeviceState state;
  std::string error;
  if (process && !sim::loadDeviceState(dir, &state, &error)) return fail("app start: " + error);
  // The process of an earlier start belongs to it.
  if (!stopAppProcess(dir, &error)) return fail("app start: " + error);
  // Before the clock's zero there is nothing to draw; the app then runs since boot.
  const int64_t ago = static_cast<int64_t>(agoSeconds * 1e9);
  int64_t start = std::max<int64_t>(monotonicNs() - ago, 0);
  if (vsyncNs > 0) start = std::max<int64_t>(start - start % vsyncNs + afterVsyncNs, 0);
  if (!writeFileAtomic(dir + "/app", std::to_string(start) + "\n", &error))
    return fail("app start: " + error);
  if (process && !startAppProcess(dir, state.config, &error)) return fail("app start: " + error);
  return 0;
}

int runAppStop() {
  const std::string dir = stateDir();
  if (dir.empty()) return fail("app stop: PERFPROBE_SIM_DIR is not set");
  const std::string path = dir + "/app";
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return fail("app stop: " + errnoText(path));
  std::string error;
  if (!stopAppProcess(dir, &error)) return fail("app stop: " + error);
  return 0;
}

int runCpuTree(const std::string& root, int cpus) {
  std::string error;
  for (const sim::TreeEntry& entry : sim::cpuTree(cpus)) {
    const std::string path = root + "/" + entry.path;
    switch (entry.kind) {
      case sim::TreeEntry::Kind::dir:
        if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && isDirectory(path))) {
          return fail("cpu-tree: " + errnoText(path));
        }
        break;
      case sim::TreeEntry::Kind::file:
        if (!writeFileAtomic(path, entry.content, &error)) return fail("cpu-tree: " + error);
        break;
      case sim::TreeEntry::Kind::symlink:
        // A second run over the same root replaces its links.
        if ((unlink(path.c_str()) != 0 && errno != ENOENT) ||
            symlink(entry.content.c_str(), path.c_str()) != 0) {
          return fail("cpu-tree: " + errnoText(path));
        }
        break;
    }
  }
  return 0;
}

// Calls tick(now, &why) every intervalMs from now, until durationSeconds
// have passed (0: never) or SIGTERM or SIGINT comes; a tick that returns
// false ends it with its error. Returns the exit status.
template <typename Tick>
int everyInterval(const char* command, int intervalMs, double durationSeconds, const Tick& tick) {
  // Waited for rather than handled, so that a stop between two ticks is never
  // missed. Blocked, they arrive even where the caller ignored them (SIGINT in
  // a script's background job), so a stop always lands.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);

  const int64_t intervalNs = int64_t{intervalMs} * 1000000;
  const int64_t begin = monotonicNs();
  const int64_t end =
      durationSeconds > 0 ? begin + static_cast<int64_t>(durationSeconds * 1e9) : INT64_MAX;
  int64_t nextTick = begin + intervalNs;
  std::string error;
  for (;;) {
    const int64_t wakeAt = std::min(nextTick, end);
    const timespec timeout = durationSpec(wakeAt - monotonicNs());
    const int sig = sigtimedwait(&stops, nullptr, &timeout);
    if (sig > 0) return 0;
    if (sig < 0 && errno != EAGAIN && errno != EINTR)
      return fail(std::string(command) + ": " + errnoText("sigtimedwait"));
    const int64_t now = monotonicNs();
    if (now >= end) return 0;
    if (now < nextTick) continue;
    if (!tick(now, &error)) return fail(std::string(command) + ": " + error);
    // After a long pause (a stopped process), carry on from now rather than
    // catching up tick by tick.
    nextTick += intervalNs;
    if (nextTick <= now) nextTick = now + intervalNs;
  }
}

int runCpuWalk(const std::string& root, int intervalMs, double durationSeconds, uint64_t seed) {
  std::vector<Policy> policies;
  std::string error;
  if (!loadPolicies(root, &policies, &error)) return fail("cpu-walk: " + error);

  return everyInterval("cpu-walk", intervalMs, durationSeconds, [&](int64_t, std::string* why) {
    for (Policy& policy : policies) {
      policy.state =
          sim::governorStep(policy.state, policy.freqsKHz.size(), sim::nextRandom(&seed));
      const std::string value = std::to_string(policy.freqsKHz[policy.state.index]) + "\n";
      if (!writeFileAtomic(policy.curFreqPath, value, why)) return false;
    }
    return true;
  });
}

int runDeviceTree(const std::string& root, int cpus) {
  sim::DeviceState state;
  std::string error;
  if (!loadDeviceState(&state, &error)) return fail("device-tree: " + error);
  if (!sim::makeDevice(root, state.config, cpus, state.appStartNs, state.config.seed, monotonicNs(),
                       &error)) {
    return fail("device-tree: " + error);
  }
  return 0;
}

int runDeviceWalk(const std::string& root, int intervalMs, double durationSeconds,
                  std::optional<uint64_t> seed) {
  sim::DeviceState state;
  std::string error;
  if (!loadDeviceState(&state, &error)) return fail("device-walk: " + error);
  // The tree's shape is that of the configuration it was made with; a later
  // edit of these keys waits for device-tree.
  const sim::DeviceConfig shape = state.config;
  sim::DeviceWalk walk;
  if (!walk.open(root, shape, seed.value_or(shape.seed), monotonicNs(), &error))
    return fail("device-walk: " + error);

  bool warned = false;
  return everyInterval(
      "device-walk", intervalMs, durationSeconds, [&](int64_t now, std::string* why) {
        // The folder is read again every step, as dumpsys reads it at every
        // call; a file caught half written keeps the last good state.
        sim::DeviceState latest;
        if (loadDeviceState(&latest, why)) {
          state = std::move(latest);
          state.config.gpu = shape.gpu;
          state.config.offlineCpus = shape.offlineCpus;
          warned = false;
        } else if (!warned) {
          fprintf(stderr, "perfprobe-sim: device-walk: %s (keeping the last state)\n",
                  why->c_str());
          warned = true;
        }
        return walk.step(state.config, state.appStartNs, now, why);
      });
}
