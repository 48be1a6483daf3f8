#include "fpsbench/frame_stats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "field_table.h"
#include "fpsbench/latency.h"
#include "fpsbench/line_splitter.h"

namespace {

using namespace std::string_literals;

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kPeriod60 = 16666666;
constexpr char kPending[] = "9223372036854775807";

// A latency output: the period line, `zeros` empty slots, then one row per
// present time (desired = present, ready 4 ms before), then a blank line.
std::string latency(const std::vector<uint64_t>& presents, int zeros = 0,
                    uint64_t period = kPeriod60) {
  std::string out = std::to_string(period) + "\n";
  for (int i = 0; i < zeros; ++i) out += "0\t0\t0\n";
  for (const uint64_t p : presents) {
    out += std::to_string(p) + "\t" + std::to_string(p) + "\t" + std::to_string(p - 4 * kMs) + "\n";
  }
  return out + "\n";
}

// Frames every stepNs from firstNs, count of them.
std::vector<uint64_t> steady(uint64_t firstNs, uint64_t stepNs, size_t count) {
  std::vector<uint64_t> out;
  for (size_t i = 0; i < count; ++i) out.push_back(firstNs + i * stepNs);
  return out;
}

// A collection's ticks over written outputs, as the collector makes them.
class Ticks {
 public:
  // One tick at nowNs: each (name, output) pair is a matching layer.
  FrameStats tick(uint64_t nowNs, const std::vector<std::pair<std::string, std::string>>& layers) {
    tracker_.beginTick(nowNs);
    for (const auto& [name, output] : layers) {
      FrameCounter counter = tracker_.counterFor(name);
      LatencyWindow window(&counter);
      LineSplitter lines;
      auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
      lines.feed(output.data(), output.size(), add);
      lines.finish(add);
      tracker_.endLayer(name, counter);
    }
    return tracker_.endTick(!layers.empty());
  }
  // A read between ticks of the layer the last tick chose.
  void extraRead(const std::string& output) {
    FrameCounter counter = tracker_.counterForExtraRead();
    LatencyWindow window(&counter);
    LineSplitter lines;
    auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
    lines.feed(output.data(), output.size(), add);
    lines.finish(add);
    tracker_.endExtraRead(counter);
  }
  const ExtraReads& extraReads() const { return tracker_.extraReads(); }
  std::string text(uint64_t nowNs, const std::vector<std::pair<std::string, std::string>>& layers) {
    const FrameStats stats = tick(nowNs, layers);
    return frameStatsText(&stats);
  }

 private:
  FrameTracker tracker_;
};

constexpr uint64_t kT0 = 5000 * 1000 * kMs;  // 5000 s of uptime

TEST(FrameStats, RepliesNameValueLinesInTheirOrder) {
  EXPECT_EQ(frameStatsText(nullptr),
            "state idle\nfps NA\nframes NA\nwindow_ms NA\nframe_ms_p50 NA\nframe_ms_p95 NA\n"
            "frame_ms_max NA\njank NA\nbig_jank NA\nmissed_vsyncs NA\nrefresh_hz NA\nlayer NA\n"
            "jank_ms NA\nsource NA\nos_jank NA\nos_jank_app NA\nos_jank_sf NA\n");
  const FrameStats before;  // a collection before its first tick
  EXPECT_EQ(frameStatsText(&before).substr(0, 24), "state collecting\nfps NA\n");

  // 60 frames at 60 Hz after a first tick: every figure, the layer's name
  // with its spaces as the listing gives it.
  Ticks ticks;
  const std::string name =
      "SurfaceView[com.example.game/com.example.game.Main Activity](BLAST)#148";
  ticks.tick(kT0, {{name, latency(steady(kT0 - 127 * kPeriod60, kPeriod60, 127))}});
  EXPECT_EQ(
      ticks.text(kT0 + 1000 * kMs, {{name, latency(steady(kT0 - 67 * kPeriod60, kPeriod60, 127))}}),
      "state collecting\nfps 60.0\nframes 60\nwindow_ms 1000\nframe_ms_p50 16.67\n"
      "frame_ms_p95 16.67\nframe_ms_max 16.67\njank 0\nbig_jank 0\nmissed_vsyncs 0\n"
      "refresh_hz 60.0\nlayer " +
          name + "\njank_ms 0.00\nsource latency\nos_jank NA\nos_jank_app NA\nos_jank_sf NA\n");
}

TEST(FrameStats, TheReplyFollowsTheFieldTable) {
  Ticks ticks;
  const FrameStats before;
  for (const std::string& text :
       {frameStatsText(nullptr), frameStatsText(&before),
        ticks.text(kT0, {{"L", latency(steady(kT0 - 60 * kPeriod60, kPeriod60, 60))}})}) {
    EXPECT_EQ(field_table::whyNotInOrder(text, field::kFrameStatsFields), "") << text;
  }
}

TEST(FrameStats, FiguresAreRoundedHalfUpFromWholeNanoseconds) {
  const struct {
    size_t timed;
    uint64_t span, p50, window, period;
    std::string fps, p50Text, windowText, refresh;
  } cases[] = {
      {60, 1000000001, 16665000, 999500000, 16666666, "60.0", "16.67", "1000", "60.0"},
      {1, 3, 16664999, 999499999, 6944444, "333333333.3", "16.66", "999", "144.0"},
      {59, 1000000000, 1, 0, 11111111, "59.0", "0.00", "0", "90.0"},
      {7, 80000000, 5000, 1, 9223372036854775806u, "87.5", "0.01", "0", "0.0"},
  };
  for (const auto& c : cases) {
    FrameStats s;
    s.measured = true;
    s.frames = s.timedFrames = c.timed;
    s.spanNs = c.span;
    s.p50Ns = s.p95Ns = s.maxNs = c.p50;
    s.windowNs = c.window;
    s.periodNs = c.period;
    const std::string text = frameStatsText(&s);
    EXPECT_NE(text.find("\nfps " + c.fps + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nframe_ms_p50 " + c.p50Text + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nwindow_ms " + c.windowText + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nrefresh_hz " + c.refresh + "\n"), std::string::npos) << text;
  }
}

TEST(FrameStats, RateHoldsAtEveryPanelWhereTheNewest127FramesSpanLessThanTwoSeconds) {
  for (const int hz : {60, 90, 120, 144, 240}) {
    const uint64_t period = 1000000000 / hz;
    Ticks ticks;
    uint64_t next = kT0;  // the next frame's present time
    std::vector<uint64_t> shown;
    for (int t = 0; t < 5; ++t) {
      const uint64_t now = kT0 + t * 1000 * kMs;
      while (next <= now) {
        shown.push_back(next);
        next += period;
      }
      const size_t keep = std::min<size_t>(shown.size(), 127);
      const std::vector<uint64_t> newest(shown.end() - keep, shown.end());
      const FrameStats stats = ticks.tick(now, {{"L", latency(newest, 127 - keep, period)}});
      if (t == 0) continue;
      SCOPED_TRACE(hz);
      // Beyond 127 frames a tick, the output holds fewer than arrived: the
      // rate still comes from their span, and frames says how many there were.
      EXPECT_EQ(stats.frames, std::min<size_t>(127, hz));
      EXPECT_NEAR(static_cast<double>(stats.timedFrames) * 1e9 / stats.spanNs, hz, hz * 0.001);
      EXPECT_EQ(stats.windowNs, 1000 * kMs);
      EXPECT_EQ(stats.missedVsyncs, 0u);
    }
  }
}

TEST(FrameStats, FramesAreMergedAcrossTicksByPresentTime) {
  Ticks ticks;
  // Tick 1 sees frames at 10..50 ms, the last one pending.
  std::string first = latency({kT0 + 10 * kMs, kT0 + 20 * kMs, kT0 + 30 * kMs, kT0 + 40 * kMs});
  first.insert(first.size() - 1, "1\t"s + kPending + "\t1\n");
  FrameStats s = ticks.tick(kT0 + 45 * kMs, {{"L", first}});
  EXPECT_EQ(s.frames, 4u);
  EXPECT_EQ(s.timedFrames, 3u);
  EXPECT_EQ(s.windowNs, 30 * kMs);  // the first tick's window: the frames' span
  // Tick 2: the pending frame has landed at 50; old rows, a row out of
  // order, rows that do not parse, a pending desired time and zero rows
  // count nothing.
  const std::string second =
      std::to_string(kPeriod60) + "\n0\t0\t0\n" +
      latency({kT0 + 20 * kMs, kT0 + 30 * kMs, kT0 + 40 * kMs, kT0 + 50 * kMs}).substr(9) +
      std::to_string(kT0 + 45 * kMs) + "\t" + std::to_string(kT0 + 45 * kMs) + "\t1\n" +
      "12 34\nabc\n" + kPending + "\t" + std::to_string(kT0 + 70 * kMs) + "\t1\n" +
      std::to_string(kT0 + 60 * kMs) + "\t" + std::to_string(kT0 + 60 * kMs) + "\t0\n";
  s = ticks.tick(kT0 + 1045 * kMs, {{"L", second}});
  EXPECT_EQ(s.frames, 1u);
  EXPECT_EQ(s.timedFrames, 1u);
  EXPECT_EQ(s.spanNs, 10 * kMs);
  // Nothing new: 0 frames a second, and no frame time.
  s = ticks.tick(kT0 + 2045 * kMs, {{"L", second}});
  EXPECT_EQ(s.state, FrameStats::State::kCollecting);
  EXPECT_EQ(s.frames, 0u);
  const std::string text = frameStatsText(&s);
  EXPECT_NE(text.find("\nfps 0.0\nframes 0\nwindow_ms 1000\nframe_ms_p50 NA\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\njank 0\n"), std::string::npos) << text;
  // An older output, then the newer one again, bring back nothing.
  EXPECT_EQ(ticks.tick(kT0 + 3045 * kMs, {{"L", first}}).frames, 0u);
  EXPECT_EQ(ticks.tick(kT0 + 4045 * kMs, {{"L", second}}).frames, 0u);
}

TEST(FrameStats, JankNeedsTwiceTheMeanOfTheThreeFramesBeforeAndItsThreshold) {
  // Each case: frame times after a steady start of 16.67 ms frames; the
  // last frame is judged, against history kept from the previous tick.
  const struct {
    std::vector<uint64_t> frameMs;
    unsigned jank, bigJank;
  } cases[] = {
      {{84}, 1, 0},
      {{83}, 0, 0},   // below 83.3 ms
      {{126}, 1, 1},  // a big jank is a jank too
      {{125}, 1, 0},
      {{50, 50, 50, 110}, 1, 0},  // 110 > 2 * 50 and > 83.3
      {{50, 50, 50, 99}, 0, 0},   // 99 < 2 * 50
      // The first two 100 ms frames are janks, the third is not: the frames
      // before it are slow too; nor is 190 ms after three of 100.
      {{100, 100, 100, 190}, 2, 0},
      {{300, 17, 17, 17, 17, 130}, 2, 2},
  };
  for (const auto& c : cases) {
    Ticks ticks;
    std::vector<uint64_t> presents = steady(kT0, kPeriod60, 30);
    ticks.tick(kT0 + 30 * kPeriod60, {{"L", latency(presents)}});
    for (const uint64_t ms : c.frameMs) presents.push_back(presents.back() + ms * kMs);
    // The output keeps only the newest 100 rows; the history before them
    // is the track's.
    const std::vector<uint64_t> tail(presents.end() - std::min<size_t>(presents.size(), 100),
                                     presents.end());
    const FrameStats s = ticks.tick(presents.back() + kMs, {{"L", latency(tail)}});
    EXPECT_EQ(s.jank, c.jank) << c.frameMs.back();
    EXPECT_EQ(s.bigJank, c.bigJank) << c.frameMs.back();
    EXPECT_EQ(s.frames, c.frameMs.size());
  }
}

TEST(FrameStats, JankIsJudgedAcrossATickBoundaryFromTheTracksHistory) {
  Ticks ticks;
  // Tick 1 ends two frames after a run of 20 ms frames.
  std::vector<uint64_t> presents = steady(kT0, 20 * kMs, 10);
  ticks.tick(kT0 + 200 * kMs, {{"L", latency(presents)}});
  // Tick 2's output has lost every row but the last of tick 1: the three
  // frame times before the 90 ms frame are known only from the track.
  const FrameStats s =
      ticks.tick(kT0 + 1200 * kMs, {{"L", latency({presents.back(), presents.back() + 90 * kMs})}});
  EXPECT_EQ(s.frames, 1u);
  EXPECT_EQ(s.jank, 1u);
  EXPECT_EQ(s.jankNs, 90 * kMs);
  EXPECT_EQ(s.missedVsyncs, 1u);
}

TEST(FrameStats, RowsLostBetweenTicksBreakTheHistory) {
  Ticks ticks;
  ticks.tick(kT0, {{"L", latency(steady(kT0 - 100 * kPeriod60, kPeriod60, 100))}});
  // More frames came than the output holds: none of tick 1's rows is left,
  // so the first row has no known frame time, and the jank rule needs three
  // frames again before it judges.
  std::vector<uint64_t> next = steady(kT0 + 500 * kMs, kPeriod60, 3);
  next.push_back(next.back() + 200 * kMs);
  const FrameStats s = ticks.tick(kT0 + 1000 * kMs, {{"L", latency(next)}});
  EXPECT_EQ(s.frames, 4u);
  EXPECT_EQ(s.timedFrames, 3u);
  EXPECT_EQ(s.jank, 0u);
  EXPECT_EQ(s.maxNs, 200 * kMs);
}

TEST(FrameStats, LinesBeforeThePeriodAndAfterTheRowsAreSkipped) {
  const std::string rows = latency(steady(kT0, 8333333, 20), 0, 8333333);
  const std::string suffix = "*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT (10000ms) EXPIRED ***\n";
  for (const std::string& output :
       {rows, "SurfaceFlinger appears to be unresponsive, dumping anyways (no lock held)\n" + rows,
        "Dumping without lock after timeout: Connection timed out (-110)\n" + rows + suffix}) {
    Ticks ticks;
    const FrameStats s = ticks.tick(kT0, {{"L", output}});
    EXPECT_EQ(s.periodNs, 8333333u) << output.substr(0, 40);
    EXPECT_EQ(s.frames, 20u);
    EXPECT_EQ(s.timedFrames, 19u);
    const std::string text = frameStatsText(&s);
    EXPECT_NE(text.find("\nrefresh_hz 120.0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nfps 120.0\n"), std::string::npos) << text;
  }
}

TEST(FrameStats, TheLayerWithTheMostNewFramesWinsAndStatesSayWhy) {
  const std::string zeros = latency({}, 127);
  const std::string periodOnly = std::to_string(kPeriod60) + "\n";
  const std::string slow = latency(steady(kT0 - 900 * kMs, 300 * kMs, 4));
  const std::string fast = latency(steady(kT0 - 900 * kMs, kPeriod60, 50));
  const struct {
    std::vector<std::pair<std::string, std::string>> layers;
    FrameStats::State state;
    std::string layer;
  } cases[] = {
      {{}, FrameStats::State::kNoLayer, ""},
      {{{"container", zeros}, {"gone", periodOnly}, {"empty", ""}},
       FrameStats::State::kNoFrames,
       ""},
      // A container never wins over a layer with frames, wherever it stands.
      {{{"container", zeros}, {"slow", slow}}, FrameStats::State::kCollecting, "slow"},
      {{{"slow", slow}, {"fast", fast}, {"container", zeros}},
       FrameStats::State::kCollecting,
       "fast"},
      {{{"a", slow}, {"b", slow}}, FrameStats::State::kCollecting, "a"},
  };
  for (const auto& c : cases) {
    Ticks ticks;
    const FrameStats s = ticks.tick(kT0, c.layers);
    EXPECT_EQ(s.state, c.state) << c.layers.size();
    EXPECT_EQ(s.layer, c.layer);
    EXPECT_EQ(s.hasLayer, !c.layer.empty());
    const std::string text = frameStatsText(&s);
    if (c.layer.empty()) {
      EXPECT_NE(text.find("\nfps NA\nframes NA\n"), std::string::npos) << text;
      EXPECT_NE(text.find("\nlayer NA\n"), std::string::npos) << text;
    }
  }
}

TEST(FrameStats, ALayerSeenForTheFirstTimeCountsOnlyWhatCameAfterThePreviousTick) {
  Ticks ticks;
  ticks.tick(kT0, {{"old", latency(steady(kT0 - 500 * kMs, 100 * kMs, 6))}});
  // A re-created surface: its output also holds frames from before the
  // previous tick, which are not new.
  const FrameStats s =
      ticks.tick(kT0 + 1000 * kMs, {{"new", latency(steady(kT0 - 300 * kMs, 50 * kMs, 20))}});
  EXPECT_EQ(s.layer, "new");
  EXPECT_EQ(s.frames, 13u);  // kT0 + 50 ms .. kT0 + 650 ms
  EXPECT_EQ(s.timedFrames, 13u);
}

TEST(FrameStats, AnOutputThatRunsOnKeepsTheTimesOfItsLastFramesOnly) {
  // 3000 frames of 10 ms, the tenth one 50 ms long.
  std::vector<uint64_t> presents = steady(kT0, 10 * kMs, 3000);
  for (size_t i = 10; i < presents.size(); ++i) presents[i] += 40 * kMs;
  const std::string output = latency(presents);
  std::vector<uint64_t> times;
  FrameCounter counter(LayerTrack(), 0, &times);
  LatencyWindow window(&counter);
  LineSplitter lines;
  auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
  lines.feed(output.data(), output.size(), add);
  lines.finish(add);
  EXPECT_EQ(times.size(), kMaxFrameTimes);
  EXPECT_EQ(counter.frames().frames, 3000u);
  EXPECT_EQ(counter.frames().timedFrames, 2999u);
  EXPECT_EQ(counter.frames().maxNs, 50 * kMs);
  EXPECT_EQ(counter.frames().spanNs, presents.back() - presents.front());

  Ticks ticks;
  const FrameStats s = ticks.tick(kT0, {{"L", output}});
  EXPECT_EQ(s.maxNs, 50 * kMs);
  EXPECT_EQ(s.p95Ns, 10 * kMs);
  const std::string text = frameStatsText(&s);
  EXPECT_NE(text.find("\nfps 99.9\nframes 3000\n"), std::string::npos) << text;
}

}  // namespace

namespace {

TEST(FrameStats, OnlyANearlyFullOutputIsReadBetweenTicks) {
  struct Case {
    size_t rows;
    double fps;
    unsigned perSecond;
  } cases[] = {
      {127, 60, 1},  {127, 114, 1}, {127, 120, 2}, {127, 144, 2}, {64, 57, 1},  {64, 58, 2},
      {64, 90, 2},   {64, 120, 3},  {64, 240, 4},  {64, 1000, 4}, {0, 120, 1},
  };
  for (const Case& c : cases) {
    // A second of frames at the rate: timed frames over their span.
    EXPECT_EQ(readsPerSecond(c.rows, 1000, static_cast<uint64_t>(1000 / c.fps * 1e9)),
              c.perSecond)
        << c.rows << " rows at " << c.fps;
  }
  EXPECT_EQ(readsPerSecond(64, 0, 0), 1u);
}

// A frame-timeline output: the newest `rows` frames presented by nowNs, no
// empty slot.
std::string newestFrames(const std::vector<uint64_t>& presents, uint64_t nowNs, size_t rows,
                         uint64_t period) {
  std::vector<uint64_t> shown;
  for (uint64_t p : presents) {
    if (p <= nowNs) shown.push_back(p);
  }
  if (shown.size() > rows) shown.erase(shown.begin(), shown.end() - static_cast<long>(rows));
  return latency(shown, 0, period);
}

TEST(FrameStats, ReadsBetweenTicksLoseNoFrameAndCountNoneTwice) {
  constexpr uint64_t kPeriod120 = 8333333;
  const std::string name = "SurfaceView[com.example.game/.Main](BLAST)#7";
  // 120 FPS for five seconds, with a 200 ms stall at each of these moments
  // after the first tick: early, between two reads, just before a tick.
  for (const uint64_t stallAt : {kT0 + 120 * kMs, kT0 + 1200 * kMs, kT0 + 2990 * kMs}) {
    std::vector<uint64_t> presents;
    uint64_t t = kT0 - 1000 * kMs;
    while (t < kT0 + 5000 * kMs) {
      t += t < stallAt && t + kPeriod120 >= stallAt ? 200 * kMs : kPeriod120;
      presents.push_back(t);
    }
    const auto framesIn = [&presents](uint64_t from, uint64_t to) {
      size_t n = 0;
      for (uint64_t p : presents) n += p > from && p <= to;
      return n;
    };

    Ticks withReads;
    Ticks without;
    withReads.tick(kT0, {{name, newestFrames(presents, kT0, 64, kPeriod120)}});
    without.tick(kT0, {{name, newestFrames(presents, kT0, 64, kPeriod120)}});
    ASSERT_EQ(withReads.extraReads().layer, name);
    const unsigned perSecond = withReads.extraReads().perSecond;
    ASSERT_EQ(perSecond, 3u);
    unsigned jank = 0, jankWithout = 0;
    for (uint64_t tick = kT0 + 1000 * kMs; tick <= kT0 + 4000 * kMs; tick += 1000 * kMs) {
      for (unsigned k = 1; k < perSecond; ++k) {
        const uint64_t at = tick - 1000 * kMs + k * 1000 * kMs / perSecond;
        withReads.extraRead(newestFrames(presents, at, 64, kPeriod120));
      }
      const FrameStats s = withReads.tick(tick, {{name, newestFrames(presents, tick, 64, kPeriod120)}});
      EXPECT_EQ(s.frames, framesIn(tick - 1000 * kMs, tick)) << stallAt << " " << tick;
      EXPECT_EQ(s.timedFrames, s.frames);
      jank += s.jank;
      EXPECT_EQ(s.bigJank, s.jank);
      jankWithout += without.tick(tick, {{name, newestFrames(presents, tick, 64, kPeriod120)}}).jank;
    }
    EXPECT_EQ(jank, 1u) << "stall at " << stallAt;
    // One read a tick sees the newest 64 frames of some 120: a stall in
    // the older half of a tick is never seen.
    if (stallAt == kT0 + 1200 * kMs) {
      EXPECT_EQ(jankWithout, 0u);
    }
  }
}

}  // namespace
