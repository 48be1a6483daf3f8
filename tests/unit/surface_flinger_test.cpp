// The simulated compositor: the layers it lists, the latency output of each,
// and the frames it presents on the panel's vsyncs.
#include "surface_flinger.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device_config.h"
#include "fpsbench/latency.h"
#include "sim_fixture.h"

namespace {

using sim::DeviceConfig;
using sim::kNsPerSecond;
using simtest::configOf;
using simtest::kMs;

const std::string kBlast = "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#148";

struct Timing {
  int64_t desired;
  int64_t actual;
  int64_t ready;
};

// A latency output, checked for its frame: the period line, exactly 127
// lines of three numbers, a blank line. Empty slots are left out.
struct Latency {
  int64_t period = -1;
  size_t emptySlots = 0;
  std::vector<Timing> frames;
};

Latency parseLatency(const std::string& out) {
  Latency latency;
  std::istringstream in(out);
  std::string line;
  if (!std::getline(in, line)) {
    ADD_FAILURE() << "empty output";
    return latency;
  }
  latency.period = std::stoll(line);
  for (size_t i = 0; i < sim::kLatencySlots; ++i) {
    if (!std::getline(in, line)) {
      ADD_FAILURE() << "only " << i << " timing lines";
      return latency;
    }
    Timing t{};
    char tab1 = 0;
    char tab2 = 0;
    std::istringstream fields(line);
    fields >> t.desired >> std::noskipws >> tab1 >> t.actual >> tab2 >> t.ready;
    EXPECT_TRUE(fields && tab1 == '\t' && tab2 == '\t' && fields.peek() == EOF) << "line: " << line;
    if (t.desired == 0 && t.actual == 0 && t.ready == 0) {
      EXPECT_TRUE(latency.frames.empty()) << "an empty slot after a frame";
      ++latency.emptySlots;
    } else {
      latency.frames.push_back(t);
    }
  }
  EXPECT_TRUE(std::getline(in, line) && line.empty()) << "no blank last line";
  EXPECT_FALSE(std::getline(in, line)) << "more after the blank line: " << line;
  return latency;
}

// Of the app's frame layer unless a name is given.
Latency latencyAt(const DeviceConfig& config, int64_t start, int64_t now,
                  const std::string& name = "") {
  return parseLatency(sim::latencyOutput(config, start, now,
                                         name.empty() ? sim::frameLayerName(config, start) : name));
}

int rateAt(const DeviceConfig& config, int64_t start, int64_t now) {
  return layerRateFromOutput(
      sim::latencyOutput(config, start, now, sim::frameLayerName(config, start)));
}

// The first listed line that begins with prefix, without its line feed.
std::string listedName(const DeviceConfig& config, int64_t start, const std::string& prefix) {
  std::istringstream listing(sim::layerListing(config, start));
  for (std::string line; std::getline(listing, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line;
  }
  ADD_FAILURE() << "nothing listed begins with " << prefix;
  return "";
}

// The first vsync of a panel of this period at or after t (> 0).
int64_t vsyncFrom(int64_t t, int64_t period) { return (t + period - 1) / period * period; }

// What every frame of every layer must satisfy for a reader.
void expectOrdered(const Latency& latency) {
  for (size_t i = 0; i < latency.frames.size(); ++i) {
    const Timing& f = latency.frames[i];
    EXPECT_GT(f.ready, 0);
    EXPECT_LT(f.ready, f.actual);
    EXPECT_LE(f.desired, f.actual);
    if (i > 0) {
      EXPECT_LT(latency.frames[i - 1].desired, f.desired) << "frame " << i;
      EXPECT_LT(latency.frames[i - 1].actual, f.actual) << "frame " << i;
    }
  }
}

TEST(SimLayers, AppLayersAreListedOnlyWhileTheAppRuns) {
  const std::string system =
      "Display Root#0\n"
      "Display Overlays#1\n"
      "com.android.systemui.ImageWallpaper#38\n"
      "Wallpaper BBQ wrapper#39\n"
      "StatusBar#64\n"
      "NavigationBar0#66\n";
  const DeviceConfig config;
  EXPECT_EQ(sim::layerListing(config, std::nullopt), system);
  EXPECT_EQ(sim::layerListing(config, 0),
            system +
                "com.example.game/com.example.game.MainActivity#142\n"
                "SurfaceView[com.example.game/com.example.game.MainActivity]#147\n"
                "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#148\n"
                "Background for SurfaceView[com.example.game/com.example.game.MainActivity]#149\n");
  // Started 5 s after boot: eight ids a microsecond since.
  EXPECT_EQ(
      sim::layerListing(config, 5 * kNsPerSecond),
      system +
          "com.example.game/com.example.game.MainActivity#40000142\n"
          "SurfaceView[com.example.game/com.example.game.MainActivity]#40000147\n"
          "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#40000148\n"
          "Background for SurfaceView[com.example.game/com.example.game.MainActivity]#40000149\n");
  EXPECT_EQ(sim::layerListing(configOf("package=p\nactivity=A"), 0),
            system +
                "p/A#142\nSurfaceView[p/A]#147\nSurfaceView[p/A](BLAST)#148\nBackground for "
                "SurfaceView[p/A]#149\n");
}

TEST(SimLatency, EveryListedLayerGivesAWellFormedOutput) {
  const struct {
    std::string name;
    size_t frames;
  } cases[] = {
      {"Display Root#0", 0},
      {"Display Overlays#1", 0},
      {"com.android.systemui.ImageWallpaper#38", 0},
      {"Wallpaper BBQ wrapper#39", 2},
      {"StatusBar#64", 127},
      {"NavigationBar0#66", 2},
      {"com.example.game/com.example.game.MainActivity#142", 3},
      {"SurfaceView[com.example.game/com.example.game.MainActivity]#147", 0},
      {kBlast, 127},
      {"Background for SurfaceView[com.example.game/com.example.game.MainActivity]#149", 0},
  };
  const int64_t start = 1000 * kNsPerSecond;
  for (const std::string conf : {"", "refresh_hz=90\njitter_ms=3"}) {
    const DeviceConfig config = configOf(conf);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name + " with " + conf);
      const Latency latency = latencyAt(config, start, start + 30 * kNsPerSecond, c.name);
      EXPECT_EQ(latency.period, sim::refreshPeriodNs(config));
      EXPECT_EQ(latency.frames.size(), c.frames);
      EXPECT_EQ(latency.emptySlots + latency.frames.size(), sim::kLatencySlots);
      expectOrdered(latency);
    }
  }
}

TEST(SimLatency, AnyOtherNameGivesThePeriodAlone) {
  const DeviceConfig config;
  const std::string names[] = {
      "",
      "StatusBar",
      "StatusBar#64\n",
      " StatusBar#64",
      "'StatusBar#64'",
      "statusbar#64",
      "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)",
  };
  for (const std::string& name : names) {
    EXPECT_EQ(sim::latencyOutput(config, 0, 100 * kNsPerSecond, name), "16666666\n") << name;
  }
  // The app's layers go with the app.
  EXPECT_EQ(sim::latencyOutput(config, std::nullopt, 100 * kNsPerSecond, kBlast), "16666666\n");
}

TEST(SimLatency, NamesWithShellBytesMatchByteForByte) {
  const DeviceConfig config = configOf("package=it's $(rm x)\nactivity=.A");
  const std::string blast = "SurfaceView[it's $(rm x)/it's $(rm x).A](BLAST)#148";
  EXPECT_EQ(latencyAt(config, 0, 100 * kNsPerSecond, blast).frames.size(), sim::kLatencySlots);
  // The name as a shell command line quotes it is not the name.
  EXPECT_EQ(sim::latencyOutput(config, 0, 100 * kNsPerSecond,
                               "SurfaceView[it'\\''s $(rm x)/it'\\''s $(rm x).A](BLAST)#148"),
            "16666666\n");
}

TEST(SimLatency, DaemonReadsTheConfiguredRateAtAnyTime) {
  const struct {
    std::string fps;
    int rate;
  } cases[] = {
      // A whole second of fps frames, less the one that opens it.
      {"60", 59}, {"50", 49}, {"24", 23}, {"30", 29}, {"1", 0}, {"7", 6},
  };
  for (const auto& c : cases) {
    const DeviceConfig config = configOf("fps=" + c.fps);
    for (const int64_t start : {int64_t{0}, 5000 * kNsPerSecond, 5000 * kNsPerSecond + 123456789}) {
      for (int i = 0; i < 150; ++i) {
        const int64_t now = start + 200 * kNsPerSecond + i * 7919777;
        ASSERT_EQ(rateAt(config, start, now), c.rate)
            << "fps " << c.fps << " start " << start << " now " << now;
      }
    }
  }
}

TEST(SimLatency, FramesAreSpacedByTheScheduleAndStopInAPause) {
  const DeviceConfig config = configOf("fps=0:60,3:0,4:25");
  const int64_t start = 77 * kNsPerSecond + 1;
  const Latency latency = latencyAt(config, start, start + 5 * kNsPerSecond);
  ASSERT_EQ(latency.frames.size(), sim::kLatencySlots);
  // Newest first: 25 fps from 4 s (k = 0..25), nothing from 3 s, 60 fps before.
  const int64_t n = static_cast<int64_t>(latency.frames.size());
  for (int64_t back = 0; back < n; ++back) {
    const int64_t desired = latency.frames[static_cast<size_t>(n - 1 - back)].desired;
    const int64_t ideal = back <= 25 ? start + 4 * kNsPerSecond + (25 - back) * 40 * kMs
                                     : start + sim::frameOffsetNs(179 - (back - 26), 60);
    ASSERT_EQ(desired, vsyncFrom(ideal, 16666666)) << "frame " << back << " from the newest";
  }
}

TEST(SimLatency, EachScheduleStretchGivesItsRateOnceItFillsTheOutput) {
  const DeviceConfig config = configOf("fps=0:60,5:45,9:58");
  const struct {
    int64_t sinceStartMs;
    int rate;
  } cases[] = {
      {4000, 59},
      {4999, 59},
      // 127 frames at 45 fps take 2.8 s.
      {7900, 44},
      {8500, 44},
      {8999, 44},
      {11300, 57},
      {60000, 57},
  };
  for (const int64_t start : {100 * kNsPerSecond, 100 * kNsPerSecond + 345678901}) {
    for (const auto& c : cases) {
      for (int i = 0; i < 20; ++i) {
        const int64_t now = start + c.sinceStartMs * kMs + i * 3 * kMs;
        EXPECT_EQ(rateAt(config, start, now), c.rate)
            << c.sinceStartMs << " ms after a start at " << start;
      }
    }
  }
}

TEST(SimLatency, StallsDropTheirFramesAndLowerTheRate) {
  // Stalls of 250 ms at every whole second after a start on a second: each
  // second shows 45 of its 60 frames.
  const DeviceConfig config = configOf("fps=60\nstall_every_s=1\nstall_ms=250");
  const int64_t start = 200 * kNsPerSecond;
  for (int i = 0; i < 100; ++i) {
    const int64_t now = start + 5 * kNsPerSecond + i * 9999991;
    const Latency latency = latencyAt(config, start, now);
    ASSERT_EQ(latency.frames.size(), sim::kLatencySlots);
    for (const Timing& f : latency.frames) {
      ASSERT_GE((f.desired - start) % kNsPerSecond, 250 * kMs)
          << "a frame inside a stall: " << f.desired;
    }
    EXPECT_EQ(rateAt(config, start, now), 44) << now;
  }
  // A stall every 2.5 s lowers some seconds only.
  const DeviceConfig sparse = configOf("fps=60\nstall_every_s=2.5\nstall_ms=250");
  std::set<int> rates;
  for (int i = 0; i < 100; ++i)
    rates.insert(rateAt(sparse, start, start + 10 * kNsPerSecond + i * 50 * kMs));
  EXPECT_EQ(rates, (std::set<int>{44, 59}));
}

// A frame shown at the first vsync at or after it comes, jitter moves it only
// when it crosses a vsync: never for frames that come just after one, often
// for frames that come just before.
TEST(SimLatency, JitterDelaysFramesThatCrossAVsync) {
  const int64_t period = 16666666;
  const struct {
    std::string conf;
    int64_t maxLateNs;
    int nominal;  // -1: a schedule whose phase to the vsyncs changes
  } cases[] = {
      {"fps=60\njitter_ms=4", 4 * kMs, 59},
      // Capped at a third of the spacing.
      {"fps=60\njitter_ms=50", period / 3, 59},
      {"fps=30\njitter_ms=8\nseed=99", 8 * kMs, 29},
      // Across a change of rate, the last frame before it stays before it.
      {"fps=0:60,20.000001:20,20.450002:90\njitter_ms=30", 50 * kMs, -1},
  };
  const int64_t vsync = 180000 * period;
  const int64_t justAfter = vsync + 1000;
  const int64_t justBefore = vsync - 2 * kMs;
  for (const auto& c : cases) {
    const DeviceConfig config = configOf(c.conf);
    const DeviceConfig steady = configOf(c.conf.substr(0, c.conf.find('\n')));
    for (const int64_t start : {justAfter, justBefore}) {
      SCOPED_TRACE(c.conf + ", start " + std::to_string(start));
      const int64_t from = start + 19 * kNsPerSecond;
      const int64_t to = start + 22 * kNsPerSecond;
      const std::vector<int64_t> jittered = sim::presentedFrames(config, start, from, to);
      const std::vector<int64_t> onTime = sim::presentedFrames(steady, start, from, to);
      ASSERT_FALSE(jittered.empty());
      // Never early, and late by at most the jitter rounded up to a vsync.
      const int64_t maxLate = (c.maxLateNs + period - 1) / period * period;
      for (const int64_t present : jittered) {
        const auto atOrBefore = std::upper_bound(onTime.begin(), onTime.end(), present);
        ASSERT_NE(atOrBefore, onTime.begin()) << present;
        EXPECT_LE(present - *(atOrBefore - 1), maxLate) << present;
      }
      if (start == justBefore) {
        EXPECT_NE(jittered, onTime);
      } else if (c.nominal >= 0) {
        EXPECT_EQ(jittered, onTime);
      }
      for (int i = 0; i < 100; ++i) {
        const int64_t now = start + 20 * kNsPerSecond + i * 13 * kMs;
        const Latency latency = latencyAt(config, start, now);
        ASSERT_EQ(latency.frames.size(), sim::kLatencySlots);
        expectOrdered(latency);
        if (c.nominal >= 0 && start == justAfter) {
          EXPECT_EQ(rateAt(config, start, now), c.nominal);
        }
      }
    }
  }
  // The same seed and time give the same frames; another seed others.
  const int64_t now = justBefore + 20 * kNsPerSecond;
  const std::string blast = sim::frameLayerName(DeviceConfig(), justBefore);
  EXPECT_EQ(sim::latencyOutput(configOf("jitter_ms=4"), justBefore, now, blast),
            sim::latencyOutput(configOf("jitter_ms=4"), justBefore, now, blast));
  EXPECT_NE(sim::latencyOutput(configOf("jitter_ms=4"), justBefore, now, blast),
            sim::latencyOutput(configOf("jitter_ms=4\nseed=2"), justBefore, now, blast));
}

// A frame is listed once the app queues it; its present time is known from
// its vsync on.
TEST(SimLatency, NewestFrameAwaitsItsFenceUntilItsVsync) {
  const int64_t period = 16666666;
  const int64_t start = 10 * kNsPerSecond;
  const int64_t frame = start + 5 * kNsPerSecond;  // frame 300 at 60 fps
  const int64_t shown = vsyncFrom(frame, period);
  const int64_t shown299 = vsyncFrom(start + sim::frameOffsetNs(299, 60), period);
  ASSERT_LT(frame, shown);
  const struct {
    std::string conf;
    int64_t now;
    bool pending;
  } cases[] = {
      {"fps=60", frame, true},
      {"fps=60", shown - 1, true},
      {"fps=60", shown, false},
      {"fps=60", start + sim::frameOffsetNs(301, 60), true},  // frame 301 has just come
      {"fps=60\nstall_every_s=5\nstall_ms=100", frame + 17 * kMs, false},
      {"fps=60\nstall_every_s=5\nstall_ms=100", frame + 100 * kMs, true},
      {"fps=0:60,5:2", frame + 499 * kMs, false},
      {"fps=0:60,5:2", frame + 500 * kMs, true},
      // After frames stop, the last one is shown at its vsync and stays.
      {"fps=0:60,5:0", shown299 - 1, true},
      {"fps=0:60,5:0", shown299, false},
      {"fps=0:60,5:0", frame + 1, false},
      {"fps=0:60,5:0,6:30", frame + 999 * kMs, false},
      {"fps=0:60,5:0,6:30", frame + kNsPerSecond, true},
  };
  for (const auto& c : cases) {
    const Latency latency = latencyAt(configOf(c.conf), start, c.now);
    ASSERT_FALSE(latency.frames.empty()) << c.conf;
    const Timing& newest = latency.frames.back();
    EXPECT_EQ(newest.actual == sim::kPendingFenceNs, c.pending) << c.conf << " at " << c.now;
    EXPECT_EQ(newest.desired > c.now, c.pending) << c.conf << " at " << c.now;
    for (size_t i = 0; i + 1 < latency.frames.size(); ++i) {
      EXPECT_LT(latency.frames[i].actual, c.now) << c.conf << " frame " << i;
    }
  }
}

TEST(SimLatency, AJustStartedAppLeavesEmptySlotsFirst) {
  const DeviceConfig config;
  const int64_t start = 50 * kNsPerSecond + 7;
  const struct {
    int64_t now;
    size_t frames;
  } cases[] = {
      {start - 1, 0},
      {start, 1},
      {start + 500 * kMs, 31},
      {start + kNsPerSecond, 61},
      {start + 3 * kNsPerSecond, 127},
  };
  for (const auto& c : cases) {
    const Latency latency = latencyAt(config, start, c.now);
    EXPECT_EQ(latency.frames.size(), c.frames) << c.now - start;
    EXPECT_EQ(latency.emptySlots, sim::kLatencySlots - c.frames);
    if (c.frames > 0 && c.frames < sim::kLatencySlots) {
      EXPECT_EQ(latency.frames.front().desired, vsyncFrom(start, 16666666));
    }
  }
}

TEST(SimLatency, OtherLayersDrawTheirFixedFrames) {
  const DeviceConfig config;
  const int64_t period = 16666666;
  const int64_t start = 40 * kNsPerSecond;
  const int64_t now = 300 * kNsPerSecond + 4 * kMs;
  const auto desiredOf = [&](const std::string& name, int64_t at) {
    const Latency latency = latencyAt(config, start, at, name);
    expectOrdered(latency);
    std::vector<int64_t> desired;
    for (const Timing& f : latency.frames) desired.push_back(f.desired);
    return desired;
  };
  // The window's first frames, on the vsyncs from its start.
  const std::string window = listedName(config, start, "com.example.game/");
  const int64_t first = vsyncFrom(start, period);
  EXPECT_EQ(desiredOf(window, now),
            (std::vector<int64_t>{first, first + period, first + 2 * period}));
  EXPECT_EQ(desiredOf(window, first + period), (std::vector<int64_t>{first, first + period}));
  EXPECT_TRUE(desiredOf(window, first - 1).empty());
  EXPECT_EQ(desiredOf("NavigationBar0#66", now),
            (std::vector<int64_t>{kNsPerSecond, kNsPerSecond + period}));
  EXPECT_EQ(desiredOf("Wallpaper BBQ wrapper#39", kNsPerSecond),
            (std::vector<int64_t>{kNsPerSecond}));
  EXPECT_TRUE(desiredOf("NavigationBar0#66", kNsPerSecond - 1).empty());
  const std::vector<int64_t> statusBar = desiredOf("StatusBar#64", now);
  ASSERT_EQ(statusBar.size(), sim::kLatencySlots);
  for (size_t i = 0; i < statusBar.size(); ++i) {
    EXPECT_EQ(statusBar[i], static_cast<int64_t>(299 - 126 + i) * kNsPerSecond + 5 * kMs);
  }
  EXPECT_EQ(desiredOf("StatusBar#64", 3 * kNsPerSecond),
            (std::vector<int64_t>{5 * kMs, kNsPerSecond + 5 * kMs, 2 * kNsPerSecond + 5 * kMs}));
}

TEST(SimLayers, EachAndroidVersionListsItsShape) {
  const struct {
    int android;
    std::string listing;
  } cases[] = {
      {7,
       "com.android.systemui.ImageWallpaper\n"
       "DimLayer\n"
       "p/A\n"
       "SurfaceView - p/A\n"
       "StatusBar\n"
       "NavigationBar\n"},
      {10,
       "mBelowAppWindowsContainers#0\n"
       "WallpaperWindowToken{4e8d1b7 token=android.os.Binder@6f3a2c1}#0\n"
       "com.android.systemui.ImageWallpaper#0\n"
       "AppWindowToken{a1b2c3d token=Token{e4f5a6b ActivityRecord{7c8d9e0 u0 p/A t12}}}#0\n"
       "p/A#0\n"
       "SurfaceView - p/A#0\n"
       "Background for -SurfaceView - p/A#0\n"
       "StatusBar#0\n"
       "NavigationBar#0\n"},
      {12,
       "Display Root#0\n"
       "Display Overlays#0\n"
       "com.android.systemui.ImageWallpaper#0\n"
       "Wallpaper BBQ wrapper#0\n"
       "StatusBar#0\n"
       "NavigationBar0#0\n"
       "ActivityRecord{7c8d9e0 u0 p/A t12}#0\n"
       "p/A#0\n"
       "SurfaceView[p/A]#0\n"
       "SurfaceView[p/A](BLAST)#0\n"
       "Background for SurfaceView[p/A]#0\n"},
      {15,
       "RequestedLayerState{Display Root#0 layerStack=0}\n"
       "RequestedLayerState{Display Overlays#1 z=1 layerStack=0}\n"
       "RequestedLayerState{com.android.systemui.ImageWallpaper#38 parentId=37 z=-1}\n"
       "RequestedLayerState{Wallpaper BBQ wrapper#39 parentId=38}\n"
       "RequestedLayerState{StatusBar#64 parentId=63 z=2}\n"
       "RequestedLayerState{NavigationBar0#66 parentId=65 relativeParentId=64 z=1}\n"
       "RequestedLayerState{Mirror of {Display 0}#70 mirrorId=0 !handle layerStack=2}\n"
       "RequestedLayerState{ActivityRecord{7c8d9e0 u0 p/A t12}#141 parentId=140 z=0}\n"
       "RequestedLayerState{p/A#142 parentId=141}\n"
       "RequestedLayerState{SurfaceView[p/A]#147 parentId=142 relativeParentId=142 z=-2}\n"
       "RequestedLayerState{SurfaceView[p/A](BLAST)#148 parentId=147}\n"
       "RequestedLayerState{Background for SurfaceView[p/A]#149 parentId=147 !handle "
       "z=-2147483648}\n"},
  };
  for (const auto& c : cases) {
    const DeviceConfig config =
        configOf("package=p\nactivity=A\nandroid=" + std::to_string(c.android));
    EXPECT_EQ(sim::layerListing(config, 0), c.listing) << "Android " << c.android;
    // Without the app, only its layers go, whichever the version.
    std::istringstream all(c.listing);
    std::string withoutApp;
    for (std::string line; std::getline(all, line);) {
      if (line.find("p/A") == std::string::npos) withoutApp += line + "\n";
    }
    EXPECT_EQ(sim::layerListing(config, std::nullopt), withoutApp) << "Android " << c.android;
  }
}

// What the latency command takes for a listed line: Android 15's bare name
// within "RequestedLayerState{NAME ATTRIBUTES}", any other line as it is.
std::string bareName(const std::string& line) {
  const std::string open = "RequestedLayerState{";
  if (line.compare(0, open.size(), open) != 0) return line;
  std::string name = line.substr(open.size(), line.size() - open.size() - 1);
  const char* const attributes[] = {"parentId=", "relativeParentId=", "mirrorId=", "!handle",
                                    "z=",        "layerStack="};
  for (size_t space = name.rfind(' '); space != std::string::npos; space = name.rfind(' ')) {
    const std::string word = name.substr(space + 1);
    bool attribute = false;
    for (const char* a : attributes) attribute = attribute || word.rfind(a, 0) == 0;
    if (!attribute) break;
    name.erase(space);
  }
  return name;
}

TEST(SimLayers, EveryVersionShowsTheFramesOnOneLayerAndZerosBesideIt) {
  const struct {
    int android;
    std::string frameLayer;
    std::string container;  // empty: none
  } cases[] = {
      {7, "SurfaceView - p/A", ""},
      {10, "SurfaceView - p/A#0", ""},
      {12, "SurfaceView[p/A](BLAST)#0", "SurfaceView[p/A]#0"},
      {13, "SurfaceView[p/A](BLAST)#148", "SurfaceView[p/A]#147"},
      {15, "SurfaceView[p/A](BLAST)#148", "SurfaceView[p/A]#147"},
  };
  const int64_t now = 60 * kNsPerSecond;
  std::string zeros = "16666666\n";
  for (size_t i = 0; i < sim::kLatencySlots; ++i) zeros += "0\t0\t0\n";
  zeros += "\n";
  for (const auto& c : cases) {
    SCOPED_TRACE("Android " + std::to_string(c.android));
    const DeviceConfig config =
        configOf("package=p\nactivity=A\nandroid=" + std::to_string(c.android));
    EXPECT_EQ(sim::frameLayerName(config, 0), c.frameLayer);
    const std::vector<int64_t> truth = sim::presentedFrames(config, 0, 0, now);
    std::istringstream listing(sim::layerListing(config, 0));
    int framed = 0;
    for (std::string line; std::getline(listing, line);) {
      const std::string name = bareName(line);
      const std::string out = sim::latencyOutput(config, 0, now, name);
      const Latency latency = parseLatency(out);
      expectOrdered(latency);
      if (name == c.frameLayer) {
        ++framed;
        ASSERT_EQ(latency.frames.size(), sim::kLatencySlots);
        const Timing& newestShown = latency.frames.back().actual == sim::kPendingFenceNs
                                        ? latency.frames[latency.frames.size() - 2]
                                        : latency.frames.back();
        EXPECT_EQ(newestShown.actual, truth.back());
      }
      if (name == c.container) {
        EXPECT_EQ(out, zeros);
      }
      // Android 15's listing line itself is no layer name.
      if (name != line) {
        EXPECT_EQ(sim::latencyOutput(config, 0, now, line), "16666666\n");
      }
    }
    EXPECT_EQ(framed, 1);
  }
}

TEST(SimLayers, Android14Qpr2ListsNothingAndGivesThePeriodAlone) {
  const DeviceConfig config = configOf("android=14qpr2\nrefresh_hz=90");
  const int64_t now = 60 * kNsPerSecond;
  EXPECT_EQ(sim::layerListing(config, 0), "");
  EXPECT_EQ(sim::layerListing(config, std::nullopt), "");
  // Its layers are named as Android 13 names them, frames or none.
  const std::string blast = sim::frameLayerName(config, 0);
  EXPECT_EQ(blast, sim::frameLayerName(configOf("android=13"), 0));
  for (const std::string& name : {blast, std::string("StatusBar#64"), std::string("nope")}) {
    EXPECT_EQ(sim::latencyOutput(config, 0, now, name), "11111111\n") << name;
  }
  EXPECT_EQ(sim::latencyOutput(configOf("android=14qpr2\nprefix=unresponsive"), 0, now, blast),
            "SurfaceFlinger appears to be unresponsive, dumping anyways (no lock held)\n"
            "16666666\n");
  const std::string timeout = "*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT (10000ms) EXPIRED ***\n";
  const DeviceConfig late = configOf("android=14qpr2\ntimeout_suffix=1");
  EXPECT_EQ(sim::layerListing(late, 0), "\n" + timeout);
  EXPECT_EQ(sim::latencyOutput(late, 0, now, blast), "16666666\n\n" + timeout);
}

// Rows as builds that answer from the frame timeline print them: the newest
// frames, a pending one included, and never an empty slot.
TEST(SimLatency, LatencyRowsKeepTheNewestFramesWithoutEmptySlots) {
  // A frame comes a millisecond after each vsync: just after one it awaits
  // its fence.
  const int64_t start = simtest::kStart + kMs;
  const int64_t pending = start + 10 * kNsPerSecond + 1;
  const struct {
    std::string conf;
    int64_t now;
    std::string name;
    size_t rows;
  } cases[] = {
      {"refresh_hz=120\nfps=120\nlatency_rows=64", pending, "", 64},
      {"refresh_hz=120\nfps=120\nlatency_rows=64", pending + 4 * kMs, "", 64},
      {"refresh_hz=120\nfps=120\nlatency_rows=1", pending, "", 1},
      {"fps=60\nlatency_rows=127", pending, "", 127},
      // Fewer frames than rows: as many rows as frames.
      {"fps=60\nlatency_rows=64", start + 500 * kMs, "", 31},
      {"latency_rows=64", pending, "NavigationBar0#66", 2},
      {"latency_rows=64", pending,
       listedName(DeviceConfig(), start,
                  "SurfaceView[com.example.game/com.example.game.MainActivity]#"),
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf + ", " + c.name);
    const DeviceConfig config = configOf(c.conf);
    const std::string name = c.name.empty() ? sim::frameLayerName(config, start) : c.name;
    const std::string out = sim::latencyOutput(config, start, c.now, name);
    // The same frames as the full output's newest.
    const std::string full = sim::latencyOutput(
        configOf(c.conf.substr(0, c.conf.find("latency_rows"))), start, c.now, name);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<std::string> fullLines;
    std::istringstream fullIn(full);
    for (std::string line; std::getline(fullIn, line);) fullLines.push_back(line);
    ASSERT_EQ(lines.size(), c.rows + 2);
    ASSERT_EQ(fullLines.size(), sim::kLatencySlots + 2);
    EXPECT_EQ(lines.front(), fullLines.front());
    EXPECT_EQ(lines.back(), "");
    for (size_t i = 1; i <= c.rows; ++i) {
      EXPECT_NE(lines[i], "0\t0\t0") << "row " << i;
      EXPECT_EQ(lines[i], fullLines[fullLines.size() - 2 - c.rows + i]) << "row " << i;
    }
  }
  // Just after a vsync the newest row is the pending frame's.
  const DeviceConfig config = configOf("refresh_hz=120\nfps=120\nlatency_rows=64");
  const std::string out =
      sim::latencyOutput(config, start, pending, sim::frameLayerName(config, start));
  EXPECT_NE(out.find("\t9223372036854775807\t"), std::string::npos);
}

TEST(SimLayers, ARecreatedAppGetsNewIds) {
  for (const int android : {13, 15}) {
    SCOPED_TRACE("Android " + std::to_string(android));
    const DeviceConfig config = configOf("android=" + std::to_string(android));
    const int64_t first = 120 * kNsPerSecond + 5 * kMs;
    const int64_t second = first + 1000;  // a microsecond later
    const std::string before = sim::frameLayerName(config, first);
    const std::string after = sim::frameLayerName(config, second);
    EXPECT_NE(before, after);
    EXPECT_EQ(sim::frameLayerName(config, first), before);
    // The old name is gone with its app.
    const int64_t now = second + 10 * kNsPerSecond;
    EXPECT_EQ(latencyAt(config, second, now, after).frames.size(), sim::kLatencySlots);
    EXPECT_EQ(sim::latencyOutput(config, second, now, before), "16666666\n");
    // Ids stay below 2^31 for any start.
    for (const int64_t start : {int64_t{0}, int64_t{99999999999999}, int64_t{1} << 62}) {
      const std::string name = sim::frameLayerName(config, start);
      const int64_t id = std::stoll(name.substr(name.rfind('#') + 1));
      EXPECT_GT(id, 0);
      EXPECT_LT(id, int64_t{1} << 31);
    }
  }
  // Versions before 13 name every layer #0.
  for (const int android : {10, 12}) {
    const DeviceConfig config = configOf("android=" + std::to_string(android));
    EXPECT_EQ(sim::layerListing(config, 0), sim::layerListing(config, 77 * kNsPerSecond));
  }
}

TEST(SimLatency, PrefixAndTimeoutLinesFrameTheOutput) {
  const std::string unresponsive =
      "SurfaceFlinger appears to be unresponsive, dumping anyways (no lock held)\n";
  const std::string withoutLock =
      "Dumping without lock after timeout: Connection timed out (-110)\n";
  const std::string timeout = "*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT (10000ms) EXPIRED ***\n";
  const int64_t start = 0;
  const int64_t now = 100 * kNsPerSecond;
  const DeviceConfig plain;
  const std::string frames = sim::latencyOutput(plain, start, now, kBlast);
  const struct {
    std::string conf;
    std::string name;
    std::string out;
  } cases[] = {
      {"prefix=unresponsive", kBlast, unresponsive + frames},
      {"prefix=without_lock", kBlast, withoutLock + frames},
      {"prefix=without_lock\nprefix_percent=100", "nope", withoutLock + "16666666\n"},
      {"prefix=unresponsive\nprefix_percent=0", kBlast, frames},
      {"timeout_suffix=1", kBlast, frames + timeout},
      // dumpsys' message begins with a line feed.
      {"timeout_suffix=1", "nope", "16666666\n\n" + timeout},
      {"timeout_suffix=1\nprefix=unresponsive", kBlast, unresponsive + frames + timeout},
      {"timeout_suffix=0\nprefix=none\nprefix_percent=100", kBlast, frames},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim::latencyOutput(configOf(c.conf), start, now, c.name), c.out) << c.conf;
  }
  EXPECT_EQ(sim::layerListing(configOf("timeout_suffix=1"), start),
            sim::layerListing(plain, start) + "\n" + timeout);
  EXPECT_EQ(sim::layerListing(configOf("prefix=unresponsive"), start),
            sim::layerListing(plain, start));
}

TEST(SimLatency, APrefixPercentPicksDumpsByTimeAndSeed) {
  const auto picks = [](const std::string& conf) {
    std::vector<bool> picked;
    for (int i = 0; i < 2000; ++i) {
      const std::string out =
          sim::latencyOutput(configOf(conf), 0, kNsPerSecond + i * 997 * kMs / 1000, kBlast);
      picked.push_back(out.compare(0, 8, "16666666") != 0);
    }
    return picked;
  };
  const std::vector<bool> thirty = picks("prefix=unresponsive\nprefix_percent=30");
  const auto count = std::count(thirty.begin(), thirty.end(), true);
  EXPECT_GT(count, 2000 * 25 / 100);
  EXPECT_LT(count, 2000 * 35 / 100);
  EXPECT_EQ(picks("prefix=unresponsive\nprefix_percent=30"), thirty);
  EXPECT_EQ(picks("prefix=without_lock\nprefix_percent=30"), thirty);
  EXPECT_NE(picks("prefix=unresponsive\nprefix_percent=30\nseed=2"), thirty);
}

// The app as the panel shows it: one frame per vsync at most, every frame of
// an app no faster than the panel, every vsync of an app faster.
TEST(SimVsync, PresentsFallOnVsyncsAtTheAppsRateOrThePanels) {
  const int64_t start = 7 * kNsPerSecond + 123456789;
  for (const int hz : {60, 90, 120, 144}) {
    for (const int fps : {24, 30, 45, 60, 90, 120, 144, 1000}) {
      SCOPED_TRACE(std::to_string(fps) + " fps on " + std::to_string(hz) + " Hz");
      const DeviceConfig config =
          configOf("refresh_hz=" + std::to_string(hz) + "\nfps=" + std::to_string(fps));
      const int64_t period = kNsPerSecond / hz;
      const int64_t from = start + 30 * kNsPerSecond;
      const std::vector<int64_t> presents =
          sim::presentedFrames(config, start, from, from + 10 * kNsPerSecond);
      const int64_t expected = 10 * std::min(fps, hz);
      EXPECT_GE(static_cast<int64_t>(presents.size()), expected - 1);
      EXPECT_LE(static_cast<int64_t>(presents.size()), expected + 1);
      // Each gap holds as many vsyncs as the app's spacing rounds to.
      const int64_t spacing = kNsPerSecond / fps;
      const int64_t fewest = std::max<int64_t>(spacing / period, 1);
      const int64_t most = std::max<int64_t>((spacing + period - 1) / period, 1);
      for (size_t i = 0; i < presents.size(); ++i) {
        ASSERT_EQ(presents[i] % period, 0) << presents[i];
        if (i == 0) continue;
        const int64_t gap = presents[i] - presents[i - 1];
        ASSERT_GE(gap, fewest * period) << presents[i];
        ASSERT_LE(gap, most * period) << presents[i];
      }
    }
  }
}

// The configurations the truth is held to: steady, jittered, faster than
// the panel, stalled, scheduled with a pause and a stop.
const char* const kTruthConfigs[] = {
    "fps=60",
    "refresh_hz=120\nfps=45\njitter_ms=9\nseed=7",
    "refresh_hz=60\nfps=144\njitter_ms=2",
    "refresh_hz=90\nfps=90\njitter_ms=3\nstall_every_s=2.5\nstall_ms=300",
    "refresh_hz=144\nfps=0:24,3:144,6:0,7.5:30,11:0",
    "refresh_hz=1000\nfps=1000",
};

TEST(SimVsync, LatencyRowsAreTheTruthsNewestFrames) {
  for (const char* conf : kTruthConfigs) {
    const DeviceConfig config = configOf(conf);
    for (const int64_t start : {int64_t{0}, 33 * kNsPerSecond + 4321}) {
      for (int i = 0; i < 400; ++i) {
        const int64_t now = start + i * 37 * kMs + i % 7;
        SCOPED_TRACE(std::string(conf) + ", start " + std::to_string(start) + ", now " +
                     std::to_string(now));
        const Latency latency = latencyAt(config, start, now);
        std::vector<int64_t> shown;
        for (const Timing& f : latency.frames) {
          if (f.actual != sim::kPendingFenceNs) shown.push_back(f.actual);
          EXPECT_EQ(f.desired, f.actual == sim::kPendingFenceNs ? f.desired : f.actual);
        }
        const std::vector<int64_t> truth = sim::presentedFrames(config, start, 0, now);
        ASSERT_GE(truth.size(), shown.size());
        EXPECT_TRUE(std::equal(shown.begin(), shown.end(), truth.end() - shown.size()));
        // Not full: every frame so far.
        if (latency.frames.size() < sim::kLatencySlots) {
          EXPECT_EQ(shown.size(), truth.size());
        }
        // A pending frame is the newest and is shown at its vsync.
        if (!latency.frames.empty() && latency.frames.back().actual == sim::kPendingFenceNs) {
          const int64_t vsync = latency.frames.back().desired;
          EXPECT_GT(vsync, now);
          EXPECT_EQ(sim::presentedFrames(config, start, now, vsync), (std::vector<int64_t>{vsync}));
        }
      }
    }
  }
}

TEST(SimVsync, DumpsEveryHalfSecondAddUpToTheTruth) {
  for (const char* conf : kTruthConfigs) {
    SCOPED_TRACE(conf);
    const DeviceConfig config = configOf(conf);
    const int64_t start = 5 * kNsPerSecond + 777;
    const int64_t first = start + 2 * kNsPerSecond;
    const int64_t last = first + 60 * kNsPerSecond;
    std::set<int64_t> seen;
    // At 1000 fps 127 rows hold a tenth of a second.
    const int64_t tick = config.refreshHz > 200 ? 100 * kMs : 500 * kMs;
    for (int64_t now = first; now <= last; now += tick) {
      for (const Timing& f : latencyAt(config, start, now).frames) {
        if (f.actual != sim::kPendingFenceNs && f.actual > first) seen.insert(f.actual);
      }
    }
    const std::vector<int64_t> truth = sim::presentedFrames(config, start, first, last);
    EXPECT_EQ(std::vector<int64_t>(seen.begin(), seen.end()), truth);
  }
}

TEST(SimVsync, TruthWindowsJoinEdgeToEdge) {
  for (const char* conf : kTruthConfigs) {
    SCOPED_TRACE(conf);
    const DeviceConfig config = configOf(conf);
    const int64_t start = 12 * kNsPerSecond;
    // Ten minutes, cut at a vsync, just before and just after one.
    const int64_t from = start - kNsPerSecond;
    const int64_t to = start + 600 * kNsPerSecond;
    const std::vector<int64_t> whole = sim::presentedFrames(config, start, from, to);
    ASSERT_FALSE(whole.empty());
    EXPECT_GE(whole.front(), start);
    EXPECT_LE(whole.back(), to);
    for (const int64_t cut : {whole[whole.size() / 2], whole[whole.size() / 3] - 1,
                              whole[whole.size() / 4] + 1, from, to}) {
      std::vector<int64_t> joined = sim::presentedFrames(config, start, from, cut);
      const std::vector<int64_t> rest = sim::presentedFrames(config, start, cut, to);
      joined.insert(joined.end(), rest.begin(), rest.end());
      EXPECT_EQ(joined, whole) << "cut at " << cut;
    }
  }
  const DeviceConfig config;
  EXPECT_TRUE(sim::presentedFrames(config, 0, 50 * kNsPerSecond, 50 * kNsPerSecond).empty());
  EXPECT_TRUE(sim::presentedFrames(config, 0, 50 * kNsPerSecond, 40 * kNsPerSecond).empty());
  EXPECT_TRUE(sim::presentedFrames(config, 60 * kNsPerSecond, 0, 59 * kNsPerSecond).empty());
  // Nothing is shown at the clock's zero: an app started there shows its
  // first frame at the first vsync.
  EXPECT_EQ(sim::presentedFrames(config, 0, -1, 16666666), (std::vector<int64_t>{16666666}));
}

TEST(SimVsync, AnAppThatStopsDrawingKeepsItsLastFrames) {
  const DeviceConfig config = configOf("fps=0:60,5:0");
  const int64_t start = 20 * kNsPerSecond;
  const Latency atStop = latencyAt(config, start, start + 5 * kNsPerSecond);
  EXPECT_EQ(latencyAt(config, start, start + 500 * kNsPerSecond).frames.size(), sim::kLatencySlots);
  EXPECT_EQ(sim::latencyOutput(config, start, start + 6 * kNsPerSecond, kBlast),
            sim::latencyOutput(config, start, start + 500 * kNsPerSecond, kBlast));
  EXPECT_TRUE(
      sim::presentedFrames(config, start, start + 5 * kNsPerSecond, start + 500 * kNsPerSecond)
          .empty());
  EXPECT_EQ(sim::presentedFrames(config, start, start, start + 5 * kNsPerSecond).size(), 300u);
  EXPECT_EQ(atStop.frames.back().actual,
            sim::presentedFrames(config, start, start, start + 5 * kNsPerSecond).back());
}

TEST(SimFrameTime, LastFrameAtOrBeforeInvertsTheFrameOffset) {
  EXPECT_EQ(sim::frameOffsetNs(1, 60), 16666666);
  EXPECT_EQ(sim::frameOffsetNs(3, 60), 50000000);
  EXPECT_EQ(sim::frameOffsetNs(60, 60), kNsPerSecond);
  EXPECT_EQ(sim::frameOffsetNs(7 * 1000000000LL, 7), 1000000000LL * kNsPerSecond);
  const int rates[] = {1, 7, 24, 60, 90, 144, 999, 1000};
  const int64_t offsets[] = {
      0, 1, 16666666, 16666667, 999999999, kNsPerSecond, 123456789012345, INT64_MAX / 2};
  for (const int fps : rates) {
    for (const int64_t offset : offsets) {
      const int64_t k = sim::lastFrameAtOrBefore(offset, fps);
      EXPECT_LE(sim::frameOffsetNs(k, fps), offset) << fps << " fps, offset " << offset;
      EXPECT_GT(sim::frameOffsetNs(k + 1, fps), offset) << fps << " fps, offset " << offset;
    }
  }
}

}  // namespace
