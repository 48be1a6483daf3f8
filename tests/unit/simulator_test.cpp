#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cpu_model.h"
#include "device_config.h"
#include "fpsbench/parse.h"
#include "surface_flinger.h"

namespace {

using sim::DeviceConfig;
using sim::kNsPerSecond;

constexpr int64_t kMs = 1000000;
const std::string kBlast = "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#148";

DeviceConfig configOf(const std::string& text) {
  std::string error;
  const auto config = sim::parseDeviceConfig(text, &error);
  EXPECT_TRUE(config.has_value()) << text << ": " << error;
  return config.value_or(DeviceConfig());
}

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

Latency latencyAt(const DeviceConfig& config, int64_t start, int64_t now,
                  const std::string& name = kBlast) {
  return parseLatency(sim::latencyOutput(config, start, now, name));
}

int rateAt(const DeviceConfig& config, int64_t start, int64_t now) {
  return layerRateFromOutput(sim::latencyOutput(config, start, now, kBlast));
}

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

TEST(SimConfig, EmptyOrCommentOnlyGivesTheDefaults) {
  for (const std::string text : {"", "\n\n", "# nothing set\n  \n\t# indented comment\n"}) {
    const DeviceConfig config = configOf(text);
    EXPECT_EQ(config.package, "com.example.game");
    EXPECT_EQ(sim::windowName(config), "com.example.game/com.example.game.MainActivity");
    EXPECT_EQ(config.refreshHz, 60);
    EXPECT_EQ(sim::refreshPeriodNs(config), 16666666);
    ASSERT_EQ(config.fps.size(), 1u);
    EXPECT_EQ(config.fps[0].fromNs, 0);
    EXPECT_EQ(config.fps[0].fps, 60);
    EXPECT_EQ(config.jitterNs, 0);
    EXPECT_EQ(config.stallEveryNs, 0);
    EXPECT_EQ(config.stallNs, 0);
    EXPECT_EQ(config.seed, 1u);
  }
}

TEST(SimConfig, ReadsEveryKey) {
  const DeviceConfig config = configOf(
      "# a slow phone\r\n"
      "package = org.test.app\r\n"
      "activity=org.other.Main\n"
      "refresh_hz=90\n"
      "fps=0:30, 2.5:0 ,10.000000001:1000\n"
      "jitter_ms=2.5\n"
      "stall_every_s=1.5\n"
      "stall_ms=250\n"
      "seed=18446744073709551615");
  EXPECT_EQ(sim::windowName(config), "org.test.app/org.other.Main");
  EXPECT_EQ(sim::refreshPeriodNs(config), 11111111);
  ASSERT_EQ(config.fps.size(), 3u);
  EXPECT_EQ(config.fps[1].fromNs, 2500000000);
  EXPECT_EQ(config.fps[1].fps, 0);
  EXPECT_EQ(config.fps[2].fromNs, 10000000001);
  EXPECT_EQ(config.fps[2].fps, 1000);
  EXPECT_EQ(config.jitterNs, 2500000);
  EXPECT_EQ(config.stallEveryNs, 1500000000);
  EXPECT_EQ(config.stallNs, 250 * kMs);
  EXPECT_EQ(config.seed, UINT64_MAX);
}

TEST(SimConfig, WindowNameJoinsPackageAndActivity) {
  const struct {
    std::string conf;
    std::string window;
  } cases[] = {
      {"package=a.b\nactivity=.Main", "a.b/a.b.Main"},
      {"package=a.b\nactivity=x.y.Main", "a.b/x.y.Main"},
      // Quotes, "$" and spaces stay as they are, for quoting tests of the daemon.
      {"package=it's $(x) app\nactivity=.A", "it's $(x) app/it's $(x) app.A"},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::windowName(configOf(c.conf)), c.window) << c.conf;
}

TEST(SimConfig, BadValuesAreRefusedWithLineAndReason) {
  const struct {
    std::string conf;
    std::string reason;  // part of the error
  } cases[] = {
      {"colour=blue", "line 1: colour: unknown key"},
      {"# ok\nfps 60", "line 2: expected key=value"},
      {"fps=1001", "fps: expected a frame rate"},
      {"fps=abc", "fps: expected a frame rate"},
      {"fps=-1", "fps: expected a frame rate"},
      {"fps=5:60", "must start at second 0"},
      {"fps=0:60,5:45,5:50", "increase strictly"},
      {"fps=0:60,5:45,3:50", "increase strictly"},
      {"fps=0:60,", "not SECONDS:FPS"},
      {"fps=0:60;5:45", "needs seconds"},
      {"fps=0:60,1.0000000001:30", "needs seconds"},
      {"fps=0:60,2.:30", "needs seconds"},
      {"fps=0:60,2:60.5", "needs seconds"},
      {"refresh_hz=0", "refresh_hz: expected"},
      {"refresh_hz=60.5", "refresh_hz: expected"},
      {"refresh_hz=", "refresh_hz: expected"},
      {"jitter_ms=-1", "jitter_ms: expected milliseconds"},
      {"jitter_ms=1e3", "jitter_ms: expected milliseconds"},
      {"stall_every_s=x", "stall_every_s: expected seconds"},
      {"seed=-3", "seed: expected"},
      {"seed=18446744073709551616", "seed: expected"},
      {"package=a/b", "package: must be non-empty"},
      {"activity=", "activity: must be non-empty"},
      {"fps=60\nfps=30", "line 2: fps: given twice"},
      {"stall_every_s=1\nstall_ms=1000", "stall_ms must be shorter"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(sim::parseDeviceConfig(c.conf, &error).has_value()) << c.conf;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.conf << " -> " << error;
  }
}

TEST(SimConfig, AppStartIsDecimalNanoseconds) {
  const struct {
    std::string text;
    std::optional<int64_t> start;
  } cases[] = {
      {"123456789\n", 123456789},
      {"0", 0},
      {"", std::nullopt},
      {"\n", std::nullopt},
      {"12a\n", std::nullopt},
      {"-5", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::parseAppStart(c.text), c.start) << c.text;
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
  EXPECT_EQ(sim::layerListing(config, 5 * kNsPerSecond),
            system +
                "com.example.game/com.example.game.MainActivity#142\n"
                "SurfaceView[com.example.game/com.example.game.MainActivity]#147\n"
                "SurfaceView[com.example.game/com.example.game.MainActivity](BLAST)#148\n"
                "Background for SurfaceView[com.example.game/com.example.game.MainActivity]#149\n");
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
    const int64_t expected = back <= 25 ? start + 4 * kNsPerSecond + (25 - back) * 40 * kMs
                                        : start + sim::frameOffsetNs(179 - (back - 26), 60);
    ASSERT_EQ(desired, expected) << "frame " << back << " from the newest";
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
    EXPECT_EQ(layerRateFromOutput(sim::latencyOutput(config, start, now, kBlast)), 44) << now;
  }
  // A stall every 2.5 s lowers some seconds only.
  const DeviceConfig sparse = configOf("fps=60\nstall_every_s=2.5\nstall_ms=250");
  std::set<int> rates;
  for (int i = 0; i < 100; ++i)
    rates.insert(rateAt(sparse, start, start + 10 * kNsPerSecond + i * 50 * kMs));
  EXPECT_EQ(rates, (std::set<int>{44, 59}));
}

TEST(SimLatency, JitterKeepsFramesInOrderAndTheRateNearItsValue) {
  const struct {
    std::string conf;
    int64_t maxLateNs;
    int nominal;
  } cases[] = {
      {"fps=60\njitter_ms=4", 4 * kMs, 59},
      // Capped at a third of the spacing.
      {"fps=60\njitter_ms=50", 16666666 / 3, 59},
      {"fps=30\njitter_ms=8\nseed=99", 8 * kMs, 29},
      // Across a change of rate, the last frame before it stays before it.
      {"fps=0:60,20.000001:20,20.450002:90\njitter_ms=30", 50 * kMs, -1},
  };
  const int64_t start = 3000 * kNsPerSecond + 4321;
  for (const auto& c : cases) {
    const DeviceConfig config = configOf(c.conf);
    bool late = false;
    for (int i = 0; i < 100; ++i) {
      SCOPED_TRACE(c.conf + ", step " + std::to_string(i));
      const int64_t now = start + 20 * kNsPerSecond + i * 13 * kMs;
      const Latency latency = latencyAt(config, start, now);
      ASSERT_EQ(latency.frames.size(), sim::kLatencySlots);
      expectOrdered(latency);
      for (size_t j = 0; j + 1 < latency.frames.size(); ++j) {
        const int64_t lateNs = latency.frames[j].actual - latency.frames[j].desired;
        EXPECT_LE(lateNs, c.maxLateNs);
        late = late || lateNs > 0;
      }
      if (c.nominal >= 0) {
        const int rate = rateAt(config, start, now);
        EXPECT_GE(rate, c.nominal - 2);
        EXPECT_LE(rate, c.nominal + 2);
      }
    }
    EXPECT_TRUE(late) << c.conf;
  }
  // The same seed and time give the same frames; another seed others.
  const int64_t now = start + 20 * kNsPerSecond;
  EXPECT_EQ(sim::latencyOutput(configOf("jitter_ms=4"), start, now, kBlast),
            sim::latencyOutput(configOf("jitter_ms=4"), start, now, kBlast));
  EXPECT_NE(sim::latencyOutput(configOf("jitter_ms=4"), start, now, kBlast),
            sim::latencyOutput(configOf("jitter_ms=4\nseed=2"), start, now, kBlast));
}

TEST(SimLatency, NewestFrameWithinOnePeriodOfNowAwaitsItsFence) {
  const int64_t start = 10 * kNsPerSecond;
  const int64_t frame = start + 5 * kNsPerSecond;  // frame 300 at 60 fps
  const struct {
    std::string conf;
    int64_t now;
    bool pending;
  } cases[] = {
      {"fps=60", frame, true},
      {"fps=60", frame + 16666666 - 1, true},
      {"fps=60", frame + 16666666, true},  // frame 301 has just come
      {"fps=60\nstall_every_s=5\nstall_ms=100", frame + 17 * kMs, false},
      {"fps=60\nstall_every_s=5\nstall_ms=100", frame + 100 * kMs, true},
      {"fps=0:60,5:2", frame + 499 * kMs, true},
      {"fps=0:60,5:2", frame + 500 * kMs, true},
      // After frames stop, the last one has long been shown.
      {"fps=0:60,5:0", frame - 2, true},
      {"fps=0:60,5:0", frame - 1, false},  // one period after frame 299
      {"fps=0:60,5:0", frame + 1, false},
      {"fps=0:60,5:0,6:30", frame + 999 * kMs, false},
      {"fps=0:60,5:0,6:30", frame + kNsPerSecond, true},
  };
  for (const auto& c : cases) {
    const Latency latency = latencyAt(configOf(c.conf), start, c.now);
    ASSERT_FALSE(latency.frames.empty()) << c.conf;
    EXPECT_EQ(latency.frames.back().actual == sim::kPendingFenceNs, c.pending)
        << c.conf << " at " << c.now;
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
      EXPECT_EQ(latency.frames.front().desired, start);
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
  EXPECT_EQ(desiredOf("com.example.game/com.example.game.MainActivity#142", now),
            (std::vector<int64_t>{start, start + period, start + 2 * period}));
  EXPECT_EQ(desiredOf("com.example.game/com.example.game.MainActivity#142", start + period),
            (std::vector<int64_t>{start, start + period}));
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

std::map<std::string, sim::TreeEntry> treeByPath(int cpus) {
  std::map<std::string, sim::TreeEntry> byPath;
  for (const sim::TreeEntry& entry : sim::cpuTree(cpus)) {
    const size_t slash = entry.path.rfind('/');
    if (slash != std::string::npos) {
      const auto parent = byPath.find(entry.path.substr(0, slash));
      EXPECT_TRUE(parent != byPath.end() && parent->second.kind == sim::TreeEntry::Kind::dir)
          << entry.path << " comes before its folder";
    }
    EXPECT_TRUE(byPath.emplace(entry.path, entry).second) << entry.path << " twice";
  }
  return byPath;
}

std::string fileIn(const std::map<std::string, sim::TreeEntry>& tree, const std::string& path) {
  const auto it = tree.find(path);
  if (it == tree.end() || it->second.kind != sim::TreeEntry::Kind::file) {
    ADD_FAILURE() << "no file " << path;
    return "";
  }
  return it->second.content;
}

TEST(SimCpuTree, EightCpusLookLikeAPhone) {
  const auto tree = treeByPath(8);
  const struct {
    int policy;
    std::string cpus;
    int64_t minKHz;
    int64_t maxKHz;
  } clusters[] = {
      {0, "0 1 2 3\n", 300000, 1804800},
      {4, "4 5 6\n", 710400, 2419200},
      {7, "7\n", 844800, 2841600},
  };
  for (const auto& c : clusters) {
    const std::string dir = "cpufreq/policy" + std::to_string(c.policy) + "/";
    const std::string min = std::to_string(c.minKHz) + "\n";
    const std::string max = std::to_string(c.maxKHz) + "\n";
    EXPECT_EQ(fileIn(tree, dir + "related_cpus"), c.cpus);
    EXPECT_EQ(fileIn(tree, dir + "affected_cpus"), c.cpus);
    EXPECT_EQ(fileIn(tree, dir + "cpuinfo_min_freq"), min);
    EXPECT_EQ(fileIn(tree, dir + "scaling_min_freq"), min);
    EXPECT_EQ(fileIn(tree, dir + "scaling_cur_freq"), min);
    EXPECT_EQ(fileIn(tree, dir + "cpuinfo_max_freq"), max);
    EXPECT_EQ(fileIn(tree, dir + "scaling_max_freq"), max);
    EXPECT_EQ(fileIn(tree, dir + "scaling_governor"), "schedutil\n");
    const std::string available = fileIn(tree, dir + "scaling_available_frequencies");
    EXPECT_EQ(available.substr(available.size() - 2), " \n");
    const auto freqs = sim::parseFrequencyList(available);
    ASSERT_TRUE(freqs.has_value()) << available;
    EXPECT_EQ(freqs->front(), c.minKHz);
    EXPECT_EQ(freqs->back(), c.maxKHz);
    EXPECT_GE(freqs->size(), 10u);
    EXPECT_LE(freqs->size(), 15u);
  }
  for (int cpu = 0; cpu < 8; ++cpu) {
    const std::string dir = "cpu" + std::to_string(cpu);
    EXPECT_EQ(tree.at(dir).kind, sim::TreeEntry::Kind::dir);
    EXPECT_EQ(fileIn(tree, dir + "/online"), "1\n");
    const sim::TreeEntry& link = tree.at(dir + "/cpufreq");
    EXPECT_EQ(link.kind, sim::TreeEntry::Kind::symlink);
    EXPECT_EQ(link.content, cpu < 4   ? "../cpufreq/policy0"
                            : cpu < 7 ? "../cpufreq/policy4"
                                      : "../cpufreq/policy7");
  }
  for (const char* name : {"online", "possible", "present"}) EXPECT_EQ(fileIn(tree, name), "0-7\n");
  EXPECT_EQ(fileIn(tree, "kernel_max"), "31\n");
  EXPECT_EQ(tree.at("cpuidle").kind, sim::TreeEntry::Kind::dir);
  EXPECT_EQ(tree.at("power").kind, sim::TreeEntry::Kind::dir);
  EXPECT_EQ(tree.count("cpu8"), 0u);
}

TEST(SimCpuTree, OtherCountsSplitIntoSensibleClusters) {
  const struct {
    int cpus;
    std::map<int, int> policySizes;  // first CPU -> CPUs in the cluster
    std::string present;
  } cases[] = {
      {1, {{0, 1}}, "0\n"},
      {4, {{0, 4}}, "0-3\n"},
      {5, {{0, 2}, {2, 2}, {4, 1}}, "0-4\n"},
      {6, {{0, 3}, {3, 2}, {5, 1}}, "0-5\n"},
      {64, {{0, 32}, {32, 31}, {63, 1}}, "0-63\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.cpus) + " CPUs");
    const auto tree = treeByPath(c.cpus);
    EXPECT_EQ(fileIn(tree, "present"), c.present);
    std::map<int, int> sizes;
    for (const auto& [path, entry] : tree) {
      if (entry.kind != sim::TreeEntry::Kind::symlink) continue;
      const int cpu = std::stoi(path.substr(3));
      const int policy = std::stoi(entry.content.substr(std::string("../cpufreq/policy").size()));
      ++sizes[policy];
      std::istringstream related(
          fileIn(tree, "cpufreq/policy" + std::to_string(policy) + "/related_cpus"));
      std::set<int> members;
      for (int member = 0; related >> member;) members.insert(member);
      EXPECT_EQ(members.count(cpu), 1u) << "cpu" << cpu << " is not in policy" << policy;
      EXPECT_EQ(*members.begin(), policy);
    }
    EXPECT_EQ(sizes, c.policySizes);
  }
}

TEST(SimCpuTree, FrequencyListsAsSysfsPrintsThem) {
  const struct {
    std::string text;
    std::optional<std::vector<int64_t>> freqs;
  } cases[] = {
      {"300000 403200 \n", std::vector<int64_t>{300000, 403200}},
      {"403200 300000 403200\n", std::vector<int64_t>{300000, 403200}},
      {"1804800", std::vector<int64_t>{1804800}},
      {"", std::nullopt},
      {" \n", std::nullopt},
      {"300000,403200\n", std::nullopt},
      {"0 300000\n", std::nullopt},
      {"-300000\n", std::nullopt},
      {"3000000000000000000000\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::parseFrequencyList(c.text), c.freqs) << c.text;
}

// Without a burst the index moves toward the target, by one or two steps,
// never past it; at the target it stays.
bool followsTarget(size_t before, size_t after, size_t target) {
  if (before == target) return after == before;
  if (before < target) return after > before && after <= target && after - before <= 2;
  return after < before && after >= target && before - after <= 2;
}

TEST(SimGovernor, WalkStaysInTheTableFollowsTheLoadAndMoves) {
  for (const size_t steps : {size_t{1}, size_t{2}, size_t{14}, size_t{15}}) {
    SCOPED_TRACE(std::to_string(steps) + " steps");
    uint64_t random = steps;
    sim::GovernorState state{500, steps / 2};
    std::set<size_t> visited;
    int ups = 0;
    int downs = 0;
    int bursts = 0;
    for (int i = 0; i < 3000; ++i) {
      const sim::GovernorState next = sim::governorStep(state, steps, sim::nextRandom(&random));
      ASSERT_LT(next.index, steps);
      ASSERT_GE(next.loadPerMille, 0);
      ASSERT_LE(next.loadPerMille, 1000);
      ASSERT_LE(std::abs(next.loadPerMille - state.loadPerMille), 150);
      const size_t target = sim::targetIndex(next.loadPerMille, steps);
      if (!followsTarget(state.index, next.index, target)) {
        ASSERT_EQ(next.index, steps - 1)
            << state.index << " -> " << next.index << " with target " << target;
        ++bursts;
      }
      ups += next.index > state.index;
      downs += next.index < state.index;
      visited.insert(next.index);
      state = next;
    }
    if (steps > 2) {
      EXPECT_GT(bursts, 0);
      EXPECT_GT(ups, 100);
      EXPECT_GT(downs, 100);
      EXPECT_EQ(visited.size(), steps);
    }
  }
}

TEST(SimGovernor, TargetSpansTheTable) {
  const struct {
    int load;
    size_t steps;
    size_t target;
  } cases[] = {{0, 15, 0},   {1000, 15, 14}, {500, 15, 7}, {0, 1, 0},
               {1000, 1, 0}, {499, 2, 0},    {500, 2, 1}};
  for (const auto& c : cases)
    EXPECT_EQ(sim::targetIndex(c.load, c.steps), c.target) << c.load << "/" << c.steps;
}

}  // namespace
