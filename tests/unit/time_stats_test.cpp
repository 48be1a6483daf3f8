#include "fpsbench/time_stats.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "dumpsys_double/time_stats.h"
#include "fpsbench/line_splitter.h"
#include "package_pattern.h"

namespace {

using namespace std::string_literals;

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kS = 1000 * kMs;

using dumpsys_double::Jank;

std::string histogram(const std::map<unsigned, uint64_t>& counts) {
  return dumpsys_double::timeStatsHistogram(counts);
}
std::string block(unsigned refresh, unsigned render, const std::string& name, uint64_t total,
                  const std::map<unsigned, uint64_t>& present2present, const Jank& jank = {}) {
  return dumpsys_double::timeStatsBlock(refresh, render, name, total, present2present, jank);
}
std::string globalPart() { return dumpsys_double::timeStatsGlobalPart(); }

bool startsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

const char kGame[] = "SurfaceView[com.example.game/com.example.game.Main](BLAST)#1234";

std::vector<LayerTimeStats> parse(const std::string& dump, const char* pattern) {
  const PackagePattern p(pattern);
  return timeStatsFromOutput(dump, &p);
}

TEST(TimeStats, BucketsStandForTheMiddleOfTheTimesTheyHold) {
  struct Case {
    unsigned ms;
    double middleMs;
  } cases[] = {{0, 0.5}, {16, 16.5}, {34, 34.5}, {36, 36.0}, {50, 50.0}, {54, 53.0},
               {150, 149.0}, {200, 176.0}, {1000, 976.0}};
  for (const Case& c : cases) {
    size_t i = 0;
    while (kTimeStatsBucketMs[i] != c.ms) ++i;
    EXPECT_EQ(bucketMiddleNs(i), static_cast<uint64_t>(c.middleMs * kMs)) << c.ms;
  }
  EXPECT_EQ(kTimeStatsBucketMs[kTimeStatsBuckets - 1], 1000);
}

TEST(TimeStats, TheParserKeepsTheMatchingLayersAndAddsUpTheirBlocks) {
  const std::string dump =
      globalPart() + block(120, 60, kGame, 3000, {{16, 2900}, {33, 99}}, {12, 0, 0, 1, 10, 0, 1, 0}) +
      block(120, 120, "StatusBar#12", 5000, {{8, 4999}}) +
      // The same layer again, at another rate pair: its counts add up.
      block(60, 60, kGame, 560, {{16, 559}}, {2, 1, 0, 0, 0, 0, 0, 1}) +
      // Decoys: a name that holds a key line's text, another app's layer.
      block(120, 120, "layerName = com.example.game totalFrames = 5", 40, {{8, 39}}) +
      block(120, 120, "SurfaceView[com.example.gamex/.Main](BLAST)#9", 7000, {{8, 6999}});
  const auto layers = parse(dump, "com\\.example\\.game/");
  ASSERT_EQ(layers.size(), 1u);
  const LayerTimeStats& game = layers[0];
  EXPECT_EQ(game.name, kGame);
  EXPECT_EQ(game.totalFrames, 3560u);
  EXPECT_EQ(game.janky, 14u);
  EXPECT_EQ(game.jankyApp, 11u);  // app-attributed plus buffer stuffing
  EXPECT_EQ(game.jankySf, 3u);    // the five compositor counters
  EXPECT_EQ(game.present2present[16], 3459u);
  EXPECT_EQ(game.present2present[33], 99u);
  ASSERT_EQ(game.blocks.size(), 2u);
  EXPECT_EQ(game.blocks[0].refreshHz, 120u);
  EXPECT_EQ(game.blocks[0].renderHz, 60u);
  EXPECT_EQ(game.blocks[0].totalFrames, 3000u);
  EXPECT_EQ(game.blocks[1].refreshHz, 60u);
  EXPECT_EQ(game.blocks[1].totalFrames, 560u);

  // A pattern that matches the decoy named like a key line takes it by its
  // whole name, and nothing else of the line.
  const auto decoy = parse(dump, "layerName = ");
  ASSERT_EQ(decoy.size(), 1u);
  EXPECT_EQ(decoy[0].totalFrames, 40u);
  EXPECT_TRUE(parse(globalPart(), ".").empty());
  EXPECT_TRUE(parse("", ".").empty());
}

TEST(TimeStats, AHistogramLineLongerThanAPieceIsReadAcrossThePieces) {
  // Counts of ten digits make the line some 1300 bytes: the reader hands it
  // over in pieces of 1023 bytes, cutting a token in two.
  std::map<unsigned, uint64_t> counts;
  for (uint16_t ms : kTimeStatsBucketMs) counts[ms] = 4000000000u + ms;
  const std::string line = histogram(counts);
  ASSERT_GT(line.size(), LineSplitter::kLineBufSize);
  const auto layers = parse(block(60, 60, kGame, 4000000000u, counts), "game");
  ASSERT_EQ(layers.size(), 1u);
  for (size_t i = 0; i < kTimeStatsBuckets; ++i) {
    EXPECT_EQ(layers[0].present2present[i], 4000000000u + kTimeStatsBucketMs[i]) << i;
  }
}

TEST(TimeStats, TheLastBucketCountsWhereTheDumpEndsWithoutALineFeed) {
  std::string dump = "displayRefreshRate = 60 fps\nlayerName = game#1\n"
                     "present2present histogram is as below:\n" +
                     histogram({{16, 5}, {1000, 2}});
  dump.pop_back();
  const auto layers = parse(dump, "game");
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers[0].present2present[16], 5u);
  EXPECT_EQ(layers[0].present2present[kTimeStatsBuckets - 1], 2u);
}

TEST(TimeStats, GarbageNeverCountsAndNeverStopsTheNextBlock) {
  const std::string dump =
      "displayRefreshRate = 60 fps\nlayerName = game#1\ntotalFrames = -5\njankyFrames = x\n"
      "present2present histogram is as below:\n"
      "16ms=7x 17ms=-1 ms=3 99999999999999999999ms=1 1001ms=4 35ms=5 "
      "16ms=000000000000000000000000000000001 16ms=2\n"
      "present2present histogram is as below:\n"
      // A heading without its line: the next block still starts.
      "displayRefreshRate = 90 fps\nrenderRate = 90 fps\nlayerName = game#2\n"
      "totalFrames = 99999999999999999999999\n\ntotalFrames = 12\n" +
      std::string(5000, 'x') + "\n\0\xff\n"s;
  const auto layers = parse(dump, "game");
  ASSERT_EQ(layers.size(), 2u);
  EXPECT_EQ(layers[0].totalFrames, 0u);
  EXPECT_EQ(layers[0].janky, 0u);
  uint64_t counted = 0;
  for (uint64_t n : layers[0].present2present) counted += n;
  EXPECT_EQ(counted, 2u);  // only "16ms=2": 35 names no bucket
  EXPECT_EQ(layers[1].blocks.at(0).refreshHz, 90u);
  // Past a blank line, a count belongs to no block.
  EXPECT_EQ(layers[1].totalFrames, 0xffffffffu);
}

// Two dumps of one layer a second apart, as a phone at 60 Hz gives them.
class Dumps {
 public:
  TimeStatsTick tick(uint64_t nowNs, const std::string& dump) {
    const PackagePattern pattern("com.example.game");
    return tracker_.tick(timeStatsFromOutput(dump, &pattern), nowNs);
  }

 private:
  TimeStatsTracker tracker_;
};

TEST(TimeStats, ATicksFiguresAreTheDifferenceBetweenTwoDumps) {
  Dumps dumps;
  const std::string global = globalPart();
  const TimeStatsTick first =
      dumps.tick(5 * kS, global + block(60, 60, kGame, 1000, {{16, 999}}, {4, 0, 0, 0, 4, 0, 0, 0}));
  EXPECT_EQ(first.stats.state, FrameStats::State::kCollecting);
  EXPECT_EQ(first.stats.source, FrameStats::Source::kTimeStats);
  EXPECT_FALSE(first.stats.measured);
  EXPECT_EQ(first.fps, 0);
  EXPECT_EQ(frameStatsText(&first.stats),
            "state collecting\nfps NA\nframes NA\nwindow_ms NA\nframe_ms_p50 NA\n"
            "frame_ms_p95 NA\nframe_ms_max NA\njank NA\nbig_jank NA\nmissed_vsyncs NA\n"
            "refresh_hz NA\nlayer NA\njank_ms NA\nsource timestats\nos_jank NA\n"
            "os_jank_app NA\nos_jank_sf NA\n");

  // 57 frames of 16 ms, one of 33 and one stall of 200 ms in 1.2 s; the
  // panel moved to 120 Hz for more of the new frames than stayed at 60, so
  // every frame is longer than 1.5 of its periods.
  const std::string later =
      global + block(60, 60, kGame, 1020, {{16, 1018}, {33, 1}}, {5, 0, 0, 0, 5, 0, 0, 0}) +
      block(120, 60, kGame, 39, {{16, 38}, {200, 1}}, {2, 0, 0, 1, 0, 0, 0, 1});
  const TimeStatsTick second = dumps.tick(6200 * kMs, later);
  EXPECT_EQ(second.fps, 48);  // 59 frames in 1.2 s: 49 a second, less one
  EXPECT_EQ(frameStatsText(&second.stats),
            "state collecting\nfps 49.2\nframes 59\nwindow_ms 1200\nframe_ms_p50 16.50\n"
            "frame_ms_p95 16.50\nframe_ms_max 176.00\njank 1\nbig_jank 1\nmissed_vsyncs 59\n"
            "refresh_hz 120.0\nlayer " +
                std::string(kGame) +
                "\njank_ms 176.00\nsource timestats\nos_jank 3\nos_jank_app 2\nos_jank_sf 1\n");

  // The app stops drawing: no new frame, a rate of 0.
  const TimeStatsTick idle = dumps.tick(7200 * kMs, later);
  EXPECT_EQ(idle.fps, 0);
  EXPECT_TRUE(startsWith(frameStatsText(&idle.stats),
                         "state collecting\nfps 0.0\nframes 0\nwindow_ms 1000\nframe_ms_p50 NA\n"));
}

TEST(TimeStats, AResetReadsUnknownOnceAndNeverANegativeRate) {
  Dumps dumps;
  dumps.tick(1 * kS, block(60, 60, kGame, 5000, {{16, 4999}}));
  ASSERT_EQ(dumps.tick(2 * kS, block(60, 60, kGame, 5060, {{16, 5059}})).fps, 59);
  // The statistics service pulled the counters: every one starts from 0.
  const TimeStatsTick reset = dumps.tick(3 * kS, block(60, 60, kGame, 30, {{16, 29}}));
  EXPECT_FALSE(reset.fps.has_value());  // GET_FPS keeps its last rate
  EXPECT_TRUE(startsWith(frameStatsText(&reset.stats), "state collecting\nfps NA\nframes NA\n"));
  // A reset that leaves more frames than before shows in a bucket.
  dumps.tick(4 * kS, block(60, 60, kGame, 90, {{16, 89}}));
  const TimeStatsTick hidden = dumps.tick(5 * kS, block(60, 60, kGame, 100, {{33, 99}}));
  EXPECT_FALSE(hidden.stats.measured);
  const TimeStatsTick after = dumps.tick(6 * kS, block(60, 60, kGame, 160, {{33, 99}, {16, 60}}));
  EXPECT_EQ(after.stats.frames, 60u);
  EXPECT_EQ(after.fps, 59);
}

TEST(TimeStats, TheLayerWithTheMostNewFramesWinsNotTheMostInTotal) {
  Dumps dumps;
  const std::string other = "SurfaceView[com.example.game.lobby/.Lobby](BLAST)#7";
  dumps.tick(1 * kS, block(60, 60, other, 90000, {{16, 89999}}) + block(60, 60, kGame, 10, {}));
  const TimeStatsTick t = dumps.tick(
      2 * kS, block(60, 60, other, 90010, {{16, 90009}}) + block(60, 60, kGame, 70, {{16, 60}}));
  EXPECT_EQ(t.stats.layer, kGame);
  EXPECT_EQ(t.stats.frames, 60u);
  // No matching layer at all: no-layer, and no source to name; but not on
  // a collection's first dump, which may come before any layer drew.
  Dumps fresh;
  EXPECT_EQ(fresh.tick(1 * kS, "").stats.state, FrameStats::State::kCollecting);
  EXPECT_EQ(fresh.tick(2 * kS, "").stats.state, FrameStats::State::kNoLayer);
  const TimeStatsTick none = dumps.tick(3 * kS, block(60, 60, "StatusBar#3", 10, {}));
  EXPECT_EQ(none.stats.state, FrameStats::State::kNoLayer);
  EXPECT_EQ(none.fps, 0);
  EXPECT_TRUE(startsWith(frameStatsText(&none.stats), "state no-layer\nfps NA\n"));
  EXPECT_NE(frameStatsText(&none.stats).find("\nsource NA\n"), std::string::npos);
}

}  // namespace
