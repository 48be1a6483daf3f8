// The daemon's pure parts under Google Benchmark: what a tick spends parsing,
// and what a GET_SIMPLE spends building its report. Built against another
// tree's sources (PERFPROBE_BASELINE), it leaves out what that tree lacks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <regex.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cpuinfo/cpuinfo.h"
#if __has_include("stats/stats.h")
#include "stats/stats.h"
#endif
#if __has_include("fpsbench/latency.h")
#include "fpsbench/frame_stats.h"
#include "fpsbench/latency.h"
#include "fpsbench/layer_list.h"
#include "fpsbench/line_splitter.h"
#include "package_pattern.h"
#else
#include "fpsbench/parse.h"
#endif
#if __has_include("fpsbench/time_stats.h")
#include "fpsbench/time_stats.h"
#endif
#ifndef PERFPROBE_BASELINE
#include "trace.h"
#endif
#include "workload.h"

namespace {

namespace fs = std::filesystem;

// A layer's rate from one latency output of 129 timing lines.
void BM_LayerRate(benchmark::State& state) {
  const std::string output = workload::latencyOutput(60);
  for (auto _ : state) benchmark::DoNotOptimize(layerRateFromOutput(output));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
}
BENCHMARK(BM_LayerRate);

#ifndef PERFPROBE_BASELINE
// The same output read for the rate and the frame statistics at once, as a
// tick reads it. With range 0 every frame is already known but for the first
// pass, as on a static screen; with 1, a fresh collection finds every frame
// new, as a game drawing 129 frames a tick would.
void BM_LayerRateAndFrames(benchmark::State& state) {
  const std::string output = workload::latencyOutput(60);
  const bool allNew = state.range(0) == 1;
  FrameTracker tracker;
  uint64_t now = 1000000000;
  for (auto _ : state) {
    if (allNew) tracker = FrameTracker();
    tracker.beginTick(now += 1000000000);
    FrameCounter counter = tracker.counterFor("layer");
    LatencyWindow window(&counter);
    LineSplitter lines;
    auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
    lines.feed(output.data(), output.size(), add);
    lines.finish(add);
    benchmark::DoNotOptimize(fpsFromTimings(FrameData(), window));
    tracker.endLayer("layer", counter);
    benchmark::DoNotOptimize(tracker.endTick(true));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
}
BENCHMARK(BM_LayerRateAndFrames)->Arg(0)->Arg(1);
#endif

#if __has_include("fpsbench/time_stats.h")
// The time statistics' dump of 40 layers, fed in the pieces a command's
// output comes in: /0 with the package's pattern, which keeps its 3 blocks
// (2 layers), as a tick reads it; /1 without one, which keeps every block
// (39 layers: the SurfaceView has two), as a pattern that matches every
// name would.
void BM_TimeStatsDump(benchmark::State& state) {
  const std::string dump = workload::timeStatsDump(workload::kLayers, workload::kTimeStatsMatching);
  const PackagePattern pattern(workload::kPackage);
  const bool all = state.range(0) == 1;
  state.SetLabel(all ? "every layer" : "package");
  const std::vector<LayerTimeStats> kept = timeStatsFromOutput(dump, all ? nullptr : &pattern);
  const size_t layers = all ? workload::kLayers - 1 : 2;
  if (kept.size() != layers || (!all && kept[0].name != workload::timeStatsGameLayer())) {
    state.SkipWithError("the dump reads wrong");
  }
  for (auto _ : state) benchmark::DoNotOptimize(timeStatsFromOutput(dump, all ? nullptr : &pattern));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dump.size()));
  state.counters["dump_bytes"] = static_cast<double>(dump.size());
}
BENCHMARK(BM_TimeStatsDump)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

// A tick's whole work on a dump once its output is read: the parse with the
// package's pattern and the tracker's difference against the tick before.
void BM_TimeStatsTick(benchmark::State& state) {
  const std::string dump = workload::timeStatsDump(workload::kLayers, workload::kTimeStatsMatching);
  const PackagePattern pattern(workload::kPackage);
  TimeStatsTracker tracker;
  uint64_t now = 1000000000;
  tracker.tick(timeStatsFromOutput(dump, &pattern), now);
  for (auto _ : state) {
    TimeStatsParser parser(&pattern);
    LineSplitter lines;
    const auto feed = [&parser](const char* line, size_t len) { parser.line(line, len); };
    lines.feed(dump.data(), dump.size(), feed);
    lines.finish(feed);
    TimeStatsTick tick = tracker.tick(parser.take(), now += 1000000000);
    if (!tick.stats.measured) state.SkipWithError("no figures from the tick");
    benchmark::DoNotOptimize(tick);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dump.size()));
}
BENCHMARK(BM_TimeStatsTick)->Unit(benchmark::kMicrosecond);

// Their floor: the same pieces cut and handed on, read by nobody.
void BM_TimeStatsLines(benchmark::State& state) {
  const std::string dump = workload::timeStatsDump(workload::kLayers, workload::kTimeStatsMatching);
  for (auto _ : state) {
    size_t pieces = 0;
    LineSplitter lines;
    const auto count = [&pieces](const char*, size_t) { ++pieces; };
    lines.feed(dump.data(), dump.size(), count);
    lines.finish(count);
    benchmark::DoNotOptimize(pieces);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dump.size()));
}
BENCHMARK(BM_TimeStatsLines)->Unit(benchmark::kMicrosecond);
#endif

// The layer list from a listing of 200 names.
void BM_LayerList(benchmark::State& state) {
  const std::string output = workload::listing(200, workload::kMatchingLayers);
  for (auto _ : state) benchmark::DoNotOptimize(layerListFromOutput(output));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
}
BENCHMARK(BM_LayerList);

#ifndef PERFPROBE_BASELINE
// The GET_SIMPLE report from 12 CPUs' values.
void BM_CpuReport(benchmark::State& state) {
  std::vector<std::string> values = workload::cpuFreqFiles(12);
  for (std::string& value : values) value.pop_back();
  for (auto _ : state) benchmark::DoNotOptimize(cpuFreqReport(values));
}
BENCHMARK(BM_CpuReport);
#endif

// 12 CPUs' frequency files on a tmpfs, as sysfs is in memory.
class CpuFiles {
 public:
  CpuFiles() {
    char tmpl[] = "/dev/shm/perfprobe-bench-cpu-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    const std::vector<std::string> values = workload::cpuFreqFiles(12);
    for (size_t i = 0; i < values.size(); ++i) {
      const std::string cpufreq = dir_ + "/cpu" + std::to_string(i) + "/cpufreq";
      fs::create_directories(cpufreq);
      std::ofstream(cpufreq + "/scaling_cur_freq") << values[i];
      paths_.push_back(cpufreq + "/scaling_cur_freq");
    }
  }
  ~CpuFiles() {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  const std::string& dir() const { return dir_; }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::string dir_;
  std::vector<std::string> paths_;
};

// The whole GET_SIMPLE work: the 12 files read and joined.
void BM_CpuReadAndReport(benchmark::State& state) {
  const CpuFiles files;
  if (files.dir().empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  initFreqInfo(files.dir());
  if (readCPUFreq(files.dir()).find("NA") != std::string::npos) state.SkipWithError("unreadable CPU tree");
  for (auto _ : state) benchmark::DoNotOptimize(readCPUFreq(files.dir()));
}
BENCHMARK(BM_CpuReadAndReport);

// Its floor: a bare open, read and close of each of the same files.
void BM_CpuFilesBare(benchmark::State& state) {
  const CpuFiles files;
  char buf[64];
  for (auto _ : state) {
    for (const std::string& path : files.paths()) {
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
      close(fd);
    }
  }
}
BENCHMARK(BM_CpuFilesBare);

#if __has_include("stats/stats.h")
// GET_STATS's work with no sample before it, over the files below root.
#if __has_include("stats/kernel_files.h")
class StatsReader {
 public:
  explicit StatsReader(const std::string& root) : stats_(root) {}
  std::string read(const PackagePattern* app, uint64_t nowNs) { return stats_.read(app, 1, nowNs); }

 private:
  DeviceStats stats_;
};
#else
// A tree whose samples were module state.
class StatsReader {
 public:
  explicit StatsReader(const std::string& root) : root_(root) { forgetStatsSample(); }
  std::string read(const PackagePattern* app, uint64_t nowNs) { return readStats(root_, app, 1, nowNs); }

 private:
  std::string root_;
};
#endif

// A phone's files for GET_STATS on a tmpfs; with the app, 30 other
// processes beside it in proc/.
class PhoneFiles {
 public:
  explicit PhoneFiles(bool app) {
    char tmpl[] = "/dev/shm/perfprobe-bench-phone-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    for (const workload::File& file : workload::phoneFiles(app ? kAppPid : 0, kOthers)) {
      const fs::path path = fs::path(dir_) / file.path;
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary) << file.content;
    }
    for (const std::string& read : workload::statsReads(kAppPid, app)) {
      paths_.push_back(dir_ + "/" + read);
    }
  }
  ~PhoneFiles() {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  const std::string& dir() const { return dir_; }
  const std::vector<std::string>& paths() const { return paths_; }

  static constexpr int kAppPid = 4000;
  static constexpr int kOthers = 30;

 private:
  std::string dir_;
  std::vector<std::string> paths_;
};

// The whole GET_STATS work over a phone's files: /0 idle, /1 collecting,
// with the app's process among 30 others, a second apart, so that after
// the first requests the processes have settled.
void BM_Stats(benchmark::State& state) {
  const bool app = state.range(0) == 1;
  const PhoneFiles files(app);
  const PackagePattern pattern(workload::kPackage);
  if (files.dir().empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  StatsReader stats(files.dir());
  uint64_t now = 1000000000;
  const std::string first = stats.read(app ? &pattern : nullptr, now);
  if (first.find(app ? "app_pids 1\n" : "app_pids NA\n") == std::string::npos ||
      first.find("gpu_source kgsl\n") == std::string::npos) {
    state.SkipWithError("the phone's files do not read as expected");
    return;
  }
  for (auto _ : state) {
    now += 1000000000;
    benchmark::DoNotOptimize(stats.read(app ? &pattern : nullptr, now));
  }
}
BENCHMARK(BM_Stats)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Its floor: a bare open, read and close of each of the same files.
void BM_StatsFilesBare(benchmark::State& state) {
  const PhoneFiles files(state.range(0) == 1);
  char buf[16384];
  for (auto _ : state) {
    for (const std::string& path : files.paths()) {
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
      if (fd >= 0) close(fd);
    }
  }
}
BENCHMARK(BM_StatsFilesBare)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
#endif

#ifndef PERFPROBE_BASELINE
// Package patterns at the edge of what a request may ask: a plain pattern
// of 1000 bytes, and intervals up to the limit on repeated nodes. None
// matches the name, so every search runs to its end.
const char* const kEdgePatterns[] = {
    "plain 1000 bytes",
    "a\\{0,129\\}b",
    "\\(\\(a*\\)*\\)\\{0,26\\}b",
    "\\(a*b*\\)\\{0,26\\}c",
    "\\(.*\\)\\{0,43\\}b",
};

std::string edgePattern(int64_t index) {
  return index == 0 ? std::string(999, 'a') + "b" : kEdgePatterns[index];
}

void BM_PatternCompile(benchmark::State& state) {
  const std::string pattern = edgePattern(state.range(0));
  state.SetLabel(kEdgePatterns[state.range(0)]);
  if (!patternIsSafe(pattern)) state.SkipWithError("refused");
  for (auto _ : state) PackagePattern compiled(pattern);
}
BENCHMARK(BM_PatternCompile)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

// The search of one layer name of 1022 bytes, the longest a listing line
// gives.
void BM_PatternSearch(benchmark::State& state) {
  const PackagePattern pattern(edgePattern(state.range(0)));
  state.SetLabel(kEdgePatterns[state.range(0)]);
  const std::string name(1022, 'a');
  for (auto _ : state) benchmark::DoNotOptimize(pattern.matches(name));
}
BENCHMARK(BM_PatternSearch)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

// What a tick spends selecting layers: the workload's package against every
// name of its listing, by PackagePattern (0) and by regexec alone (1).
void BM_LayerSelection(benchmark::State& state) {
  const std::string listing = workload::listing(workload::kLayers, workload::kMatchingLayers);
  std::vector<std::string> names;
  for (size_t start = 0, end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1) {
    names.push_back(listing.substr(start, end - start));
  }
  const PackagePattern pattern(workload::kPackage);
  regex_t regex;
  if (regcomp(&regex, workload::kPackage, 0) != 0) state.SkipWithError("regcomp failed");
  const bool byRegexec = state.range(0) == 1;
  state.SetLabel(byRegexec ? "regexec" : "PackagePattern");
  for (auto _ : state) {
    int matched = 0;
    for (const std::string& name : names) {
      regmatch_t match[1];
      matched += byRegexec ? regexec(&regex, name.c_str(), 1, match, 0) == 0 : pattern.matches(name);
    }
    if (matched != workload::kMatchingLayers) state.SkipWithError("wrong selection");
  }
  regfree(&regex);
}
BENCHMARK(BM_LayerSelection)->DenseRange(0, 1);
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef PERFPROBE_BASELINE
  // Trace lines would land among the results.
  setTracing(false);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
