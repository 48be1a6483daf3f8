#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fpsbench/frame_stats.h"

class PackagePattern;

// The compositor's time statistics, "dumpsys SurfaceFlinger --timestats
// -dump": where the layer listing prints nothing (Android 14 QPR2 and QPR3,
// whose new front end lists no layer and gives latency outputs without a
// row), the only place left that counts a layer's frames.
//
// The dump prints nothing until the statistics have been enabled once. Then
// a global part ("SurfaceFlinger TimeStats:", legacy counters and
// histograms, and blocks of the aggregated jank payload that begin like a
// layer's but name no layer), then one block per layer and rate pair, each
// after a blank line:
//
//   displayRefreshRate = 120 fps
//   renderRate = 60 fps
//   uid = 10234
//   layerName = SurfaceView[com.example.game/com.example.game.Main](BLAST)#1234
//   totalFrames = 3560
//   ...
//   jankyFrames = 12
//   sfLongCpuJankyFrames = 0            (and four more sf... counters)
//   appUnattributedJankyFrames = 10     (and appBufferStuffingJankyFrames)
//   ...
//   present2present histogram is as below:
//   0ms=0 1ms=0 ... 16ms=12 17ms=3400 ... 1000ms=0
//
// with more "NAME histogram is as below:" pairs in any order. Every figure
// counts from when the statistics service last pulled them, which clears
// every layer at a moment nobody here chooses.

// The commands, as argument vectors for Command::start. Enabling is
// idempotent; clearing or disabling would take the counters from the
// system's statistics service, which reads them too, so neither is ever
// sent.
inline constexpr const char* kTimeStatsEnableArguments[] = {"dumpsys", "SurfaceFlinger",
                                                            "--timestats", "-enable", nullptr};
inline constexpr const char* kTimeStatsDumpArguments[] = {"dumpsys", "SurfaceFlinger",
                                                          "--timestats", "-dump", nullptr};

// The histograms' buckets: a time in whole milliseconds, truncated, counts
// in the first bucket not below it, and anything beyond the last in the
// last.
constexpr size_t kTimeStatsBuckets = 85;
extern const uint16_t kTimeStatsBucketMs[kTimeStatsBuckets];

// The time a bucket stands for, in ns: the middle of the times it holds
// (16.5 ms for "16ms", which holds 16.0 to 16.99 ms; 36 ms for "36ms", which
// holds 35.0 to 36.99 ms).
uint64_t bucketMiddleNs(size_t bucket);

// One layer's counters, added up over its blocks.
struct LayerTimeStats {
  // One rate pair of the layer, and the frames it presented at it; each
  // pair once.
  struct Block {
    uint32_t refreshHz = 0;
    uint32_t renderHz = 0;
    uint64_t totalFrames = 0;
  };

  std::string name;
  uint64_t totalFrames = 0;
  uint64_t janky = 0;
  uint64_t jankyApp = 0;  // appUnattributed + appBufferStuffing
  uint64_t jankySf = 0;   // the five sf... counters
  uint64_t present2present[kTimeStatsBuckets] = {};
  std::vector<Block> blocks;
};

// Reads a dump line by line, as Command::readLines hands it over (pieces
// of at most 1023 bytes; a piece without its line feed goes on in the next),
// and keeps the counters of the layers whose name the pattern matches, so
// that a dump of any length costs only what those layers hold. A histogram
// line, which can outgrow one piece, is read across them.
class TimeStatsParser {
 public:
  explicit TimeStatsParser(const PackagePattern* pattern) : pattern_(pattern) {}

  void line(const char* text, size_t len);
  // The matching layers, in the order of their first block.
  std::vector<LayerTimeStats> take();

 private:
  void keyLine(const char* text, size_t len);
  // lineEnds: the piece is the last of its line.
  void histogramPiece(const char* text, size_t len, bool lineEnds);
  void histogramToken(const char* text, size_t len);
  LayerTimeStats* layer() { return layer_ < 0 ? nullptr : &layers_[static_cast<size_t>(layer_)]; }

  const PackagePattern* const pattern_;
  std::vector<LayerTimeStats> layers_;
  std::unordered_map<std::string, size_t> byName_;
  // The piece before this one had no line feed: this one goes on with it.
  bool continued_ = false;
  // Within a block: its rates, and its layer once named (-1: none, or one
  // the pattern does not match).
  bool inBlock_ = false;
  bool named_ = false;
  LayerTimeStats::Block block_;
  long layer_ = -1;
  size_t blockIndex_ = 0;
  // The next line is the block's present2present histogram.
  bool histogramNext_ = false;
  bool inHistogram_ = false;
  // A histogram token cut by the end of a piece, and its length, which may
  // outgrow the room.
  char token_[32];
  size_t tokenLen_ = 0;
};

// The dump of a whole text, for tests and fuzzing.
std::vector<LayerTimeStats> timeStatsFromOutput(const std::string& output,
                                                const PackagePattern* pattern);

// What one dump gives a tick: its statistics, and the rate GET_FPS
// publishes, unless the tick cannot tell (then the last one stays).
struct TimeStatsTick {
  FrameStats stats;
  std::optional<int> fps;
};

// A collection's dumps, one a tick: each tick's figures are the difference
// between its dump and the previous one.
class TimeStatsTracker {
 public:
  // layers: the matching layers of a dump taken at monotonic time nowNs.
  TimeStatsTick tick(std::vector<LayerTimeStats>&& layers, uint64_t nowNs);
  // The next dump starts afresh, as a collection's first.
  void forget();

 private:
  bool havePrevious_ = false;
  uint64_t previousNs_ = 0;
  std::unordered_map<std::string, LayerTimeStats> previous_;
};
