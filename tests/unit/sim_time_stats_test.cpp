// The simulated compositor's time statistics: the dump's shape, what each
// layer's blocks count from the frames it showed, resets, and the commands
// that switch them on and off.
#include "time_stats.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device_config.h"
#include "device_files.h"
#include "sim_fixture.h"
#include "surface_flinger.h"

namespace {

namespace fs = std::filesystem;
using sim::DeviceConfig;
using sim::kNsPerSecond;
using sim::TimeStatsState;
using simtest::configOf;
using simtest::kMs;
using simtest::kStart;

// The lower edges of the 85 buckets, as every histogram line lists them.
std::vector<int> bucketEdges() {
  std::vector<int> edges;
  for (int ms = 0; ms <= 34; ++ms) edges.push_back(ms);
  for (int ms = 36; ms <= 50; ms += 2) edges.push_back(ms);
  for (int ms = 54; ms <= 150; ms += 4) edges.push_back(ms);
  for (int ms = 200; ms <= 1000; ms += 50) edges.push_back(ms);
  return edges;
}

using Histogram = std::map<int, int64_t>;  // by lower edge; zeros left out

int64_t total(const Histogram& histogram) {
  int64_t sum = 0;
  for (const auto& [edge, count] : histogram) sum += count;
  return sum;
}

// One part of a dump between blank lines: its "key = value" lines and its
// histograms, each checked for its 85 buckets.
struct Block {
  std::map<std::string, std::string> fields;
  std::map<std::string, Histogram> histograms;
  std::vector<std::string> histogramOrder;

  const std::string& operator[](const std::string& key) const {
    static const std::string missing = "<missing>";
    const auto found = fields.find(key);
    if (found == fields.end()) ADD_FAILURE() << "no " << key;
    return found == fields.end() ? missing : found->second;
  }
  int64_t number(const std::string& key) const { return std::stoll((*this)[key]); }
};

Histogram parseHistogram(const std::string& line) {
  static const std::vector<int> edges = bucketEdges();
  Histogram histogram;
  std::istringstream pairs(line);
  std::string pair;
  size_t i = 0;
  for (; std::getline(pairs, pair, ' '); ++i) {
    const std::string expected = i < edges.size() ? std::to_string(edges[i]) + "ms=" : "?";
    if (pair.compare(0, expected.size(), expected) != 0) {
      ADD_FAILURE() << "bucket " << i << " is " << pair << " in " << line;
      return histogram;
    }
    const std::string count = pair.substr(expected.size());
    if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) {
      ADD_FAILURE() << "bad count in " << pair;
      return histogram;
    }
    if (std::stoll(count) != 0) histogram[edges[i]] = std::stoll(count);
  }
  EXPECT_EQ(i, sim::kHistogramBuckets) << line;
  return histogram;
}

struct Dump {
  Block legacy;                    // the global part's first lines
  std::vector<Block> timeline;     // the global look-alike blocks
  std::vector<Block> layers;       // with a layerName
  std::vector<std::string> heads;  // lines that are neither fields nor histograms
};

Dump parseDump(const std::string& text) {
  Dump dump;
  EXPECT_EQ(text.compare(0, 26, "SurfaceFlinger TimeStats:\n"), 0) << text.substr(0, 100);
  EXPECT_EQ(text.back(), '\n');
  std::istringstream in(text);
  Block block;
  bool first = true;
  const auto flush = [&] {
    if (first) {
      dump.legacy = block;
    } else if (block.fields.count("layerName")) {
      dump.layers.push_back(block);
    } else {
      dump.timeline.push_back(block);
    }
    block = Block();
  };
  const std::string histogramTail = " histogram is as below:";
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      flush();
      first = false;
      continue;
    }
    if (line.size() > histogramTail.size() &&
        line.compare(line.size() - histogramTail.size(), histogramTail.size(), histogramTail) ==
            0) {
      const std::string name = line.substr(0, line.size() - histogramTail.size());
      std::string values;
      EXPECT_TRUE(std::getline(in, values)) << "no line after " << line;
      EXPECT_EQ(block.histograms.count(name), 0u) << name << " twice";
      block.histograms[name] = parseHistogram(values);
      block.histogramOrder.push_back(name);
      continue;
    }
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos) {
      dump.heads.push_back(line);
      continue;
    }
    EXPECT_EQ(block.fields.count(line.substr(0, eq)), 0u) << line << " twice";
    block.fields[line.substr(0, eq)] = line.substr(eq + 3);
  }
  flush();
  return dump;
}

std::vector<Block> blocksOf(const Dump& dump, const std::string& layerName) {
  std::vector<Block> blocks;
  for (const Block& b : dump.layers) {
    if (b.fields.at("layerName") == layerName) blocks.push_back(b);
  }
  return blocks;
}

const char* const kLayerHistograms[] = {
    "acquire2present", "appDeadlineDeltas", "desired2present", "latch2present",
    "post2acquire",    "post2present",      "present2present", "present2presentDelta",
};

TEST(SimTimeStats, TimesCountInTheFirstBucketNotBelowTheirWholeMilliseconds) {
  const struct {
    double ms;
    int bucket;
  } cases[] = {
      {0, 0},         {0.999999, 0}, {1, 1},       {16.99, 16},      {34, 34},   {34.5, 34},
      {35, 36},       {36.9, 36},    {37, 38},     {50.9, 50},       {51, 54},   {54.9, 54},
      {55, 58},       {150.5, 150},  {151, 200},   {200.9, 200},     {201, 250}, {999, 1000},
      {1000.9, 1000}, {1001, 1000},  {2000, 1000}, {86400000, 1000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim::histogramBucketMs(static_cast<int64_t>(c.ms * kMs + 0.5)), c.bucket) << c.ms;
  }
  // Every edge is its own bucket.
  for (const int edge : bucketEdges()) EXPECT_EQ(sim::histogramBucketMs(edge * kMs), edge);
}

TEST(SimTimeStats, NothingUntilEnabled) {
  for (const std::string android : {"7", "10", "12", "13", "14qpr2", "15"}) {
    const DeviceConfig config = configOf("android=" + android);
    const int64_t now = kStart + 100 * kNsPerSecond;
    EXPECT_EQ(sim::timeStatsDump(config, kStart, TimeStatsState{}, now), "") << android;
    // A reset alone switches nothing on.
    EXPECT_EQ(sim::timeStatsDump(config, kStart, TimeStatsState{std::nullopt, kStart}, now), "");
    EXPECT_NE(sim::timeStatsDump(config, kStart, TimeStatsState{kStart, std::nullopt}, now), "");
  }
}

// The truth's frames in (fromNs, toNs] grouped as the compositor groups
// them: by the refresh rate over the vsyncs each took since the layer's
// present before, gaps chained from frame to frame of the layer.
struct Expected {
  int64_t frames = 0;
  Histogram gaps;
};
std::map<int, Expected> expectedBlocks(const DeviceConfig& config, int64_t start, int64_t fromNs,
                                       int64_t toNs) {
  const int64_t period = sim::refreshPeriodNs(config);
  const std::vector<int64_t> before = sim::presentedFrames(config, start, 0, fromNs);
  int64_t previous = before.empty() ? -1 : before.back();
  std::map<int, Expected> blocks;
  bool firstInWindow = true;
  for (const int64_t present : sim::presentedFrames(config, start, fromNs, toNs)) {
    EXPECT_GE(previous, 0) << "the tests start the app well before the window";
    const int64_t vsyncs = std::max<int64_t>((present - previous + period / 2) / period, 1);
    Expected& block = blocks[static_cast<int>((2 * config.refreshHz + vsyncs) / (2 * vsyncs))];
    ++block.frames;
    if (!firstInWindow) ++block.gaps[sim::histogramBucketMs(present - previous)];
    firstInWindow = false;
    previous = present;
  }
  return blocks;
}

// Steady, jittered, faster than the panel, stalled, paused and stopped.
const char* const kConfigs[] = {
    "fps=60",
    "refresh_hz=90\nfps=45",
    "refresh_hz=120\nfps=45\njitter_ms=9\nseed=7",
    "refresh_hz=60\nfps=144\njitter_ms=2",
    "refresh_hz=90\nfps=90\njitter_ms=3\nstall_every_s=2.5\nstall_ms=300",
    "refresh_hz=144\nfps=0:24,13:144,16:0,17.5:30,21:0",
};

TEST(SimTimeStats, TheAppsBlocksHoldItsFramesSinceTheEnable) {
  for (const char* conf : kConfigs) {
    SCOPED_TRACE(conf);
    const DeviceConfig config = configOf(std::string("android=14qpr2\n") + conf);
    const int64_t enabled = kStart + 10 * kNsPerSecond + 123457;
    const int64_t now = enabled + 15 * kNsPerSecond;
    const Dump dump =
        parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
    const std::vector<Block> blocks = blocksOf(dump, sim::frameLayerName(config, kStart));
    const std::map<int, Expected> expected = expectedBlocks(config, kStart, enabled, now);
    ASSERT_EQ(blocks.size(), expected.size());
    int64_t frames = 0;
    int64_t gaps = 0;
    for (const Block& block : blocks) {
      const int renderRate = std::stoi(block["renderRate"]);
      SCOPED_TRACE("render rate " + std::to_string(renderRate));
      ASSERT_EQ(expected.count(renderRate), 1u);
      const Expected& e = expected.at(renderRate);
      EXPECT_EQ(block["displayRefreshRate"], std::to_string(config.refreshHz) + " fps");
      EXPECT_EQ(block["renderRate"], std::to_string(renderRate) + " fps");
      EXPECT_EQ(block.number("totalFrames"), e.frames);
      EXPECT_EQ(block.number("totalTimelineFrames"), e.frames);
      EXPECT_EQ(block.histograms.at("present2present"), e.gaps);
      // Every frame is timed once; jank is the app's alone.
      for (const char* name : {"acquire2present", "appDeadlineDeltas", "desired2present",
                               "latch2present", "post2acquire", "post2present"}) {
        EXPECT_EQ(total(block.histograms.at(name)), e.frames) << name;
      }
      EXPECT_EQ(block["jankyFrames"], block["appUnattributedJankyFrames"]);
      for (const char* sf : {"sfLongCpuJankyFrames", "sfLongGpuJankyFrames",
                             "sfUnattributedJankyFrames", "sfSchedulingJankyFrames",
                             "sfPredictionErrorJankyFrames", "appBufferStuffingJankyFrames"}) {
        EXPECT_EQ(block[sf], "0") << sf;
      }
      EXPECT_EQ(block["uid"], "10234");
      EXPECT_EQ(block["gameMode"], "Unsupported");
      EXPECT_EQ(std::vector<std::string>(std::begin(kLayerHistograms), std::end(kLayerHistograms)),
                block.histogramOrder);
      frames += e.frames;
      gaps += total(e.gaps);
    }
    // The gaps chain across blocks: one fewer than the layer's frames.
    EXPECT_EQ(frames,
              static_cast<int64_t>(sim::presentedFrames(config, kStart, enabled, now).size()));
    EXPECT_EQ(gaps, frames - 1);
  }
}

TEST(SimTimeStats, EachRenderRateHasItsBlockAndAverage) {
  // 60, 30 then 20 fps on a 60 Hz panel: one, two then three vsyncs a frame.
  const DeviceConfig config = configOf("android=14qpr2\nfps=0:60,10:30,25:20");
  const int64_t enabled = kStart + 5 * kNsPerSecond;
  const int64_t now = kStart + 30 * kNsPerSecond;
  const Dump dump =
      parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
  const std::vector<Block> blocks = blocksOf(dump, sim::frameLayerName(config, kStart));
  ASSERT_EQ(blocks.size(), 3u);
  // Most frames first: 15 s at 30, 5 s at 60, 5 s at 20.
  const struct {
    std::string renderRate;
    int64_t frames;
    std::string averageFps;
  } cases[] = {{"30 fps", 450, "30.000"}, {"60 fps", 300, "60.000"}, {"20 fps", 100, "20.000"}};
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(cases[i].renderRate);
    EXPECT_EQ(blocks[i]["renderRate"], cases[i].renderRate);
    EXPECT_NEAR(blocks[i].number("totalFrames"), cases[i].frames, 1);
    EXPECT_EQ(blocks[i]["averageFPS"], cases[i].averageFps);
    // A change of rate is the app's choice, no jank.
    EXPECT_EQ(blocks[i]["jankyFrames"], "0");
  }
  // The global look-alikes count every layer's frames by render rate.
  int64_t layerFrames = 0;
  for (const Block& b : dump.layers) layerFrames += b.number("totalFrames");
  int64_t timelineFrames = 0;
  for (const Block& b : dump.timeline) {
    EXPECT_EQ(b.fields.count("layerName"), 0u);
    EXPECT_EQ(b["displayRefreshRate"], "60 fps");
    EXPECT_EQ(total(b.histograms.at("displayDeadlineDeltas")), b.number("totalTimelineFrames"));
    EXPECT_EQ(total(b.histograms.at("displayPresentDeltas")), b.number("totalTimelineFrames"));
    timelineFrames += b.number("totalTimelineFrames");
  }
  EXPECT_EQ(timelineFrames, layerFrames);
  for (size_t i = 1; i < dump.layers.size(); ++i) {
    EXPECT_GE(dump.layers[i - 1].number("totalFrames"), dump.layers[i].number("totalFrames"));
  }
}

TEST(SimTimeStats, AStallIsOneJankyFrameAfterALongGap) {
  // 500 ms every 2 s: the frame after it comes 31 vsyncs after the one before.
  const DeviceConfig config = configOf("android=14qpr2\nfps=60\nstall_every_s=2\nstall_ms=500");
  const int64_t enabled = kStart + 10 * kNsPerSecond + 600 * kMs;
  const int64_t now = enabled + 30 * kNsPerSecond;
  const Dump dump =
      parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
  const std::vector<Block> blocks = blocksOf(dump, sim::frameLayerName(config, kStart));
  ASSERT_EQ(blocks.size(), 2u);
  const Block& steady = blocks[0];
  const Block& afterStall = blocks[1];
  EXPECT_EQ(steady["renderRate"], "60 fps");
  EXPECT_EQ(steady["jankyFrames"], "0");
  EXPECT_EQ(steady.histograms.at("present2present"),
            (Histogram{{16, steady.number("totalFrames") - 1}}));
  // 60 / 31 vsyncs; stalls end at 12.5 s, 14.5 s ... 40.5 s after the start.
  EXPECT_EQ(afterStall["renderRate"], "2 fps");
  EXPECT_EQ(afterStall.number("totalFrames"), 15);
  EXPECT_EQ(afterStall["jankyFrames"], "15");
  EXPECT_EQ(afterStall["appUnattributedJankyFrames"], "15");
  EXPECT_EQ(afterStall.histograms.at("present2present"), (Histogram{{550, 15}}));
  // Late by the 30 vsyncs beyond its pace.
  EXPECT_EQ(afterStall.histograms.at("appDeadlineDeltas"), (Histogram{{500, 15}}));
  EXPECT_EQ(afterStall["averageFPS"], "1.935");
  EXPECT_EQ(steady.histograms.at("appDeadlineDeltas"),
            (Histogram{{0, steady.number("totalFrames")}}));
}

TEST(SimTimeStats, AnAppThatStopsDrawingAddsNothing) {
  const DeviceConfig config = configOf("android=14qpr2\nfps=0:60,20:0");
  const TimeStatsState state{kStart + 10 * kNsPerSecond, std::nullopt};
  const std::string name = sim::frameLayerName(config, kStart);
  const std::vector<Block> atStop = blocksOf(
      parseDump(sim::timeStatsDump(config, kStart, state, kStart + 21 * kNsPerSecond)), name);
  const std::vector<Block> later = blocksOf(
      parseDump(sim::timeStatsDump(config, kStart, state, kStart + 900 * kNsPerSecond)), name);
  ASSERT_EQ(atStop.size(), 1u);
  EXPECT_EQ(atStop[0].number("totalFrames"), 600);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].fields, atStop[0].fields);
  EXPECT_EQ(later[0].histograms, atStop[0].histograms);
  // Once it draws again, the gap since its last frame is in its block.
  const DeviceConfig again = configOf("android=14qpr2\nfps=0:60,20:0,40:60");
  const std::vector<Block> resumed = blocksOf(
      parseDump(sim::timeStatsDump(again, kStart, state, kStart + 41 * kNsPerSecond)), name);
  ASSERT_EQ(resumed.size(), 2u);
  EXPECT_EQ(resumed[1]["renderRate"], "0 fps");
  EXPECT_EQ(resumed[1].histograms.at("present2present"), (Histogram{{1000, 1}}));
  // The first frame of a stretch is due whenever it comes.
  EXPECT_EQ(resumed[1]["jankyFrames"], "0");
}

TEST(SimTimeStats, AResetEmptiesTheLayersAndKeepsTheGlobalCounts) {
  const DeviceConfig config = configOf("android=14qpr2\nrefresh_hz=120\nfps=120");
  const int64_t enabled = kStart + 10 * kNsPerSecond;
  const int64_t reset = enabled + 20 * kNsPerSecond + 3 * kMs;
  const std::string name = sim::frameLayerName(config, kStart);
  const Dump justReset =
      parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, reset}, reset));
  EXPECT_TRUE(justReset.layers.empty());
  const int64_t now = reset + 5 * kNsPerSecond;
  const Dump before =
      parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
  const Dump after =
      parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, reset}, now));
  const std::vector<Block> app = blocksOf(after, name);
  ASSERT_EQ(app.size(), 1u);
  EXPECT_EQ(app[0].number("totalFrames"),
            static_cast<int64_t>(sim::presentedFrames(config, kStart, reset, now).size()));
  EXPECT_EQ(blocksOf(before, name)[0].number("totalFrames"),
            static_cast<int64_t>(sim::presentedFrames(config, kStart, enabled, now).size()));
  EXPECT_EQ(after.legacy.fields, before.legacy.fields);
  EXPECT_EQ(after.legacy.histograms, before.legacy.histograms);
  ASSERT_EQ(after.timeline.size(), before.timeline.size());
  for (size_t i = 0; i < after.timeline.size(); ++i)
    EXPECT_EQ(after.timeline[i].fields, before.timeline[i].fields);
  // A reset before the enable changes nothing.
  EXPECT_EQ(
      sim::timeStatsDump(config, kStart, TimeStatsState{enabled, enabled - kNsPerSecond}, now),
      sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
}

TEST(SimTimeStats, TheGlobalPartCountsWhatTheDisplayComposed) {
  const DeviceConfig config = configOf("android=14qpr2\nfps=30");
  // Enabled 2.5 s after boot + 10 s, dumped a minute later.
  const int64_t enabled = kStart + 10 * kNsPerSecond + 500 * kMs;
  const int64_t now = enabled + 60 * kNsPerSecond;
  const std::string text =
      sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now);
  const Dump dump = parseDump(text);
  EXPECT_EQ(
      dump.heads,
      (std::vector<std::string>{
          "SurfaceFlinger TimeStats:", "Legacy stats are as follows:",
          "displayConfigStats is as below:", "Global aggregated jank payload (Timeline stats):",
          "Jank payload for this layer:", "SetFrameRate vote for this layer:",
          "Jank payload for this layer:", "SetFrameRate vote for this layer:"}));
  const Block& g = dump.legacy;
  EXPECT_EQ(g.number("statsStart"), sim::kBootEpochSeconds + 5010);
  EXPECT_EQ(g.number("statsEnd"), sim::kBootEpochSeconds + 5070);
  EXPECT_EQ(g["displayOnTime"], "60000 ms");
  EXPECT_EQ(g["60fps"], "60000ms");
  // The app's 1800 frames and the status bar's 60, never on the same vsync.
  const std::vector<Block> app = blocksOf(dump, sim::frameLayerName(config, kStart));
  const std::vector<Block> bar = blocksOf(dump, "StatusBar#64");
  ASSERT_EQ(app.size(), 1u);
  ASSERT_EQ(bar.size(), 1u);
  EXPECT_EQ(app[0].number("totalFrames"), 1800);
  EXPECT_EQ(bar[0].number("totalFrames"), 60);
  EXPECT_EQ(bar[0]["renderRate"], "1 fps");
  EXPECT_EQ(bar[0]["uid"], "10139");
  EXPECT_EQ(bar[0]["averageFPS"], "1.000");
  EXPECT_EQ(g.number("totalFrames"), 1860);
  EXPECT_EQ(total(g.histograms.at("Global present2present")), 1859);
  EXPECT_EQ(total(g.histograms.at("Global frame duration")), 1860);
  EXPECT_EQ(total(g.histograms.at("Global render engine duration")), 0);
  EXPECT_NEAR(g.number("totalP2PTime"), 60000, 50);
  for (const char* zero :
       {"missedFrames", "clientCompositionFrames", "clientCompositionReusedFrames",
        "refreshRateSwitches", "compositionStrategyChanges"}) {
    EXPECT_EQ(g[zero], "0") << zero;
  }
  EXPECT_EQ(dump.timeline.size(), 2u);
  // The package is left blank, as the compositor leaves it.
  EXPECT_NE(text.find("\npackageName = \ngameMode = Unsupported\n"), std::string::npos);
}

TEST(SimTimeStats, LayersAreNamedAsTheVersionNamesThem) {
  const int64_t enabled = kStart + kNsPerSecond;
  const int64_t now = kStart + 3 * kNsPerSecond;
  for (const std::string android : {"7", "10", "12", "13", "14qpr2", "15"}) {
    SCOPED_TRACE(android);
    const DeviceConfig config = configOf("package=p\nactivity=A\nandroid=" + android);
    const Dump dump =
        parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
    std::vector<std::string> names;
    for (const Block& b : dump.layers) names.push_back(b.fields.at("layerName"));
    // The app's layer first, then the status bar; the rest drew before.
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], sim::frameLayerName(config, kStart));
    EXPECT_EQ(names[1].compare(0, 9, "StatusBar"), 0) << names[1];
  }
  EXPECT_EQ(sim::frameLayerName(configOf("package=p\nactivity=A\nandroid=14qpr2"), kStart),
            sim::frameLayerName(configOf("package=p\nactivity=A\nandroid=13"), kStart));
  // Without the app, only the system's layers.
  const Dump idle = parseDump(sim::timeStatsDump(configOf("android=14qpr2"), std::nullopt,
                                                 TimeStatsState{enabled, std::nullopt}, now));
  ASSERT_EQ(idle.layers.size(), 1u);
  EXPECT_EQ(idle.layers[0]["layerName"], "StatusBar#64");
}

// The dump is made from every frame since the enable, in one pass.
TEST(SimTimeStats, AnHourAt144FpsIsCountedWhole) {
  const DeviceConfig config = configOf("android=14qpr2\nrefresh_hz=144\nfps=144");
  const int64_t enabled = kStart + kNsPerSecond;
  const int64_t now = enabled + 3600 * kNsPerSecond;
  const Dump dump =
      parseDump(sim::timeStatsDump(config, kStart, TimeStatsState{enabled, std::nullopt}, now));
  const std::vector<Block> app = blocksOf(dump, sim::frameLayerName(config, kStart));
  ASSERT_EQ(app.size(), 1u);
  EXPECT_NEAR(app[0].number("totalFrames"), 3600 * 144, 1);
  EXPECT_EQ(app[0]["averageFPS"], "144.000");
}

// The commands, through the built binary beside this test's.
class SimTimeStatsCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    const fs::path build =
        fs::path(std::string(exe, static_cast<size_t>(n))).parent_path().parent_path();
    sim_ = build / "bin/perfprobe-sim";
    dumpsys_ = build / "simulator/bin/dumpsys";
    if (!fs::exists(sim_) || !fs::exists(dumpsys_))
      GTEST_SKIP() << "no " << sim_ << " or " << dumpsys_ << ": build perfprobe-sim first";
    setenv("PERFPROBE_SIM_DIR", dir_.path().c_str(), 1);
    std::ofstream(dir_.path() / "device.conf") << "android=14qpr2\n";
  }
  void TearDown() override { unsetenv("PERFPROBE_SIM_DIR"); }

  // Its standard output; *status its exit status.
  std::string run(const fs::path& binary, const std::string& args, int* status) {
    FILE* out = popen((binary.string() + " " + args + " 2>/dev/null").c_str(), "r");
    EXPECT_NE(out, nullptr);
    std::string text;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
    const int raw = pclose(out);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return text;
  }
  std::string timeStats(const std::string& flags, int expectStatus = 0) {
    int status = -1;
    const std::string out = run(dumpsys_, "SurfaceFlinger --timestats " + flags, &status);
    EXPECT_EQ(status, expectStatus) << flags;
    return out;
  }
  std::string file(const char* name) {
    return fs::exists(dir_.path() / name) ? simtest::readAll(dir_.path() / name) : "";
  }

  simtest::TempDir dir_;
  fs::path sim_;
  fs::path dumpsys_;
};

TEST_F(SimTimeStatsCommands, EnableDumpResetAndDisable) {
  int status = -1;
  EXPECT_EQ(run(dumpsys_, "SurfaceFlinger --list", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run(dumpsys_, "SurfaceFlinger --latency 'StatusBar#64'", &status), "16666666\n");

  EXPECT_EQ(timeStats("-dump"), "");
  EXPECT_EQ(timeStats("-enable"), "");
  const std::string enabled = file(sim::kTimeStatsEnabledFile);
  ASSERT_FALSE(enabled.empty());
  // Enabling again, alone or with a dump, keeps the first time.
  EXPECT_EQ(timeStats("-enable"), "");
  const std::string dump = timeStats("-enable -dump");
  EXPECT_EQ(file(sim::kTimeStatsEnabledFile), enabled);
  EXPECT_EQ(dump.compare(0, 26, "SurfaceFlinger TimeStats:\n"), 0) << dump.substr(0, 100);

  EXPECT_EQ(run(sim_, "timestats reset", &status), "");
  EXPECT_EQ(status, 0);
  const std::string reset = file(sim::kTimeStatsResetFile);
  ASSERT_FALSE(reset.empty());
  EXPECT_GE(std::stoll(reset), std::stoll(enabled));
  // A clear resets as well, later.
  EXPECT_EQ(timeStats("-clear"), "");
  EXPECT_GE(std::stoll(file(sim::kTimeStatsResetFile)), std::stoll(reset));

  EXPECT_EQ(timeStats("-disable -dump"), "");
  EXPECT_FALSE(fs::exists(dir_.path() / sim::kTimeStatsEnabledFile));
  // Enabled again, it counts from then.
  EXPECT_NE(timeStats("-dump -enable"), "");
  EXPECT_GE(std::stoll(file(sim::kTimeStatsEnabledFile)), std::stoll(enabled));

  // Anything else is refused; without a folder, only -dump works.
  EXPECT_EQ(timeStats("-maxlayers 5", 1), "");
  EXPECT_EQ(timeStats("enable", 1), "");
  unsetenv("PERFPROBE_SIM_DIR");
  EXPECT_EQ(timeStats("-dump"), "");
  EXPECT_EQ(timeStats("-enable", 1), "");
  EXPECT_EQ(run(sim_, "timestats reset", &status), "");
  EXPECT_EQ(status, 1);
}

TEST_F(SimTimeStatsCommands, ABadStateFileIsAnError) {
  std::ofstream(dir_.path() / sim::kTimeStatsEnabledFile) << "soon\n";
  timeStats("-dump", 1);
  std::ofstream(dir_.path() / sim::kTimeStatsEnabledFile) << "123\n";
  std::ofstream(dir_.path() / sim::kTimeStatsResetFile) << "-1\n";
  timeStats("-dump", 1);
}

}  // namespace
