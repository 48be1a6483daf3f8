#include "fpsbench/time_stats.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "fpsbench/line_splitter.h"
#include "package_pattern.h"

const uint16_t kTimeStatsBucketMs[kTimeStatsBuckets] = {
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,  15,  16,
    17,  18,  19,  20,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  33,
    34,  36,  38,  40,  42,  44,  46,  48,  50,  54,  58,  62,  66,  70,  74,  78,  82,
    86,  90,  94,  98,  102, 106, 110, 114, 118, 122, 126, 130, 134, 138, 142, 146, 150,
    200, 250, 300, 350, 400, 450, 500, 550, 600, 650, 700, 750, 800, 850, 900, 950, 1000,
};

uint64_t bucketMiddleNs(size_t bucket) {
  // Whole milliseconds from the one above the previous bucket up to this
  // one, each standing for the millisecond that follows it.
  const uint64_t from = bucket == 0 ? 0 : kTimeStatsBucketMs[bucket - 1] + 1u;
  const uint64_t to = kTimeStatsBucketMs[bucket] + 1u;
  return (from + to) * 500000u;
}

namespace {

constexpr size_t kLastBucketMs = 1000;

// For a bucket's name in milliseconds, its index plus one; 0 for a number
// that names no bucket.
struct BucketIndex {
  uint8_t of[kLastBucketMs + 1] = {};
  BucketIndex() {
    for (size_t i = 0; i < kTimeStatsBuckets; ++i) {
      of[kTimeStatsBucketMs[i]] = static_cast<uint8_t>(i + 1);
    }
  }
};
const BucketIndex kBucketIndex;

// A counter of the dump is a 32-bit int; anything larger (or longer) is
// not one, and is read as the most one can hold, so that sums of any number
// of them stay far from overflowing.
constexpr uint64_t kMaxCount = 0xffffffffu;

// The whole number at the start of text (len bytes), digits only; nullopt
// without a digit.
std::optional<uint64_t> count(const char* text, size_t len) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < len && text[i] >= '0' && text[i] <= '9') {
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(text[i] - '0'), kMaxCount + 1);
    ++i;
  }
  if (i == 0) return std::nullopt;
  return std::min(value, kMaxCount);
}

// When line (len bytes) is "KEY = VALUE", VALUE up to the line's end.
bool valueOf(const char* line, size_t len, const char* key, const char** value,
             size_t* valueLen) {
  const size_t keyLen = strlen(key);
  if (len < keyLen + 3 || memcmp(line, key, keyLen) != 0 || memcmp(line + keyLen, " = ", 3) != 0) {
    return false;
  }
  *value = line + keyLen + 3;
  *valueLen = len - keyLen - 3;
  return true;
}

// Sums and products that stop at a bound rather than wrap: a dump of any
// length or any numbers gives figures, however absurd, never garbage.
constexpr uint64_t kMaxSum = uint64_t{1} << 62;
void add(uint64_t* sum, uint64_t value) { *sum = std::min(*sum + value, kMaxSum); }
uint64_t times(uint64_t a, uint64_t b) {
  return b != 0 && a > kMaxSum / b ? kMaxSum : std::min(a * b, kMaxSum);
}
unsigned toUnsigned(uint64_t n) { return static_cast<unsigned>(std::min<uint64_t>(n, UINT32_MAX)); }

constexpr char kHistogramHeader[] = "present2present histogram is as below:";

const char* const kSfJankKeys[] = {
    "sfLongCpuJankyFrames",    "sfLongGpuJankyFrames",         "sfUnattributedJankyFrames",
    "sfSchedulingJankyFrames", "sfPredictionErrorJankyFrames",
};
const char* const kAppJankKeys[] = {"appUnattributedJankyFrames", "appBufferStuffingJankyFrames"};

}  // namespace

void TimeStatsParser::line(const char* text, size_t len) {
  const bool continued = continued_;
  const bool ends = len > 0 && text[len - 1] == '\n';
  // Only a whole piece goes on; a shorter one without its line feed ended
  // at a zero byte or with the dump.
  continued_ = !ends && len == LineSplitter::kLineBufSize - 1;
  const bool lineEnds = !continued_;
  if (continued) {
    // The rest of a line that outgrew its piece: only a histogram's matters.
    if (inHistogram_) histogramPiece(text, len, lineEnds);
    return;
  }
  inHistogram_ = false;
  tokenLen_ = 0;
  // A histogram's line starts with its first bucket; anything else after
  // its heading is read as it would be anywhere.
  if (histogramNext_ && (histogramNext_ = false, len > 0 && text[0] >= '0' && text[0] <= '9')) {
    inHistogram_ = true;
    histogramPiece(text, len, lineEnds);
    return;
  }
  if (ends) --len;
  if (len > 0 && text[len - 1] == '\r') --len;
  keyLine(text, len);
}

void TimeStatsParser::keyLine(const char* text, size_t len) {
  const char* value;
  size_t valueLen;
  if (len == 0) {
    // A blank line ends a block.
    inBlock_ = false;
    layer_ = -1;
    return;
  }
  if (valueOf(text, len, "displayRefreshRate", &value, &valueLen)) {
    inBlock_ = true;
    named_ = false;
    layer_ = -1;
    block_ = LayerTimeStats::Block();
    block_.refreshHz = static_cast<uint32_t>(count(value, valueLen).value_or(0));
    return;
  }
  if (!inBlock_) return;
  if (valueOf(text, len, "renderRate", &value, &valueLen)) {
    block_.renderHz = static_cast<uint32_t>(count(value, valueLen).value_or(0));
    return;
  }
  if (valueOf(text, len, "layerName", &value, &valueLen)) {
    // The first name is the block's; a layer named like a key line cannot
    // make a second one.
    if (named_) return;
    named_ = true;
    std::string name(value, valueLen);
    if (pattern_ != nullptr && !pattern_->matches(name)) return;
    const auto found = byName_.find(name);
    if (found != byName_.end()) {
      layer_ = static_cast<long>(found->second);
    } else {
      layer_ = static_cast<long>(layers_.size());
      byName_.emplace(name, layers_.size());
      layers_.emplace_back();
      layers_.back().name = std::move(name);
    }
    // Blocks that differ only in what is not kept here (the uid, the game
    // mode) count as one rate pair.
    std::vector<LayerTimeStats::Block>& blocks = layers_[static_cast<size_t>(layer_)].blocks;
    blockIndex_ = 0;
    while (blockIndex_ < blocks.size() && (blocks[blockIndex_].refreshHz != block_.refreshHz ||
                                            blocks[blockIndex_].renderHz != block_.renderHz)) {
      ++blockIndex_;
    }
    if (blockIndex_ == blocks.size()) blocks.push_back(block_);
    return;
  }
  LayerTimeStats* layer = this->layer();
  if (layer == nullptr) return;
  if (valueOf(text, len, "totalFrames", &value, &valueLen)) {
    const uint64_t n = count(value, valueLen).value_or(0);
    add(&layer->totalFrames, n);
    add(&layer->blocks[blockIndex_].totalFrames, n);
    return;
  }
  if (valueOf(text, len, "jankyFrames", &value, &valueLen)) {
    add(&layer->janky, count(value, valueLen).value_or(0));
    return;
  }
  for (const char* key : kSfJankKeys) {
    if (valueOf(text, len, key, &value, &valueLen)) {
      add(&layer->jankySf, count(value, valueLen).value_or(0));
      return;
    }
  }
  for (const char* key : kAppJankKeys) {
    if (valueOf(text, len, key, &value, &valueLen)) {
      add(&layer->jankyApp, count(value, valueLen).value_or(0));
      return;
    }
  }
  if (len == sizeof kHistogramHeader - 1 && memcmp(text, kHistogramHeader, len) == 0) {
    histogramNext_ = true;
  }
}

void TimeStatsParser::histogramPiece(const char* text, size_t len, bool lineEnds) {
  if (layer() == nullptr) return;
  size_t i = 0;
  while (i < len) {
    const char* space = static_cast<const char*>(memchr(text + i, ' ', len - i));
    const size_t end = space != nullptr ? static_cast<size_t>(space - text) : len;
    const char* part = text + i;
    size_t partLen = end - i;
    if (space == nullptr && !lineEnds) {
      // Cut by the piece's end: kept for the next piece. A token too long
      // for the room is no bucket's, and stays too long.
      if (tokenLen_ + partLen <= sizeof token_) memcpy(token_ + tokenLen_, part, partLen);
      tokenLen_ += partLen;
      return;
    }
    if (tokenLen_ > 0) {
      if (tokenLen_ + partLen <= sizeof token_) {
        memcpy(token_ + tokenLen_, part, partLen);
        histogramToken(token_, tokenLen_ + partLen);
      }
      tokenLen_ = 0;
    } else {
      histogramToken(part, partLen);
    }
    i = end + 1;
  }
}

void TimeStatsParser::histogramToken(const char* text, size_t len) {
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  // "1000ms=4294967295" and its like: anything longer is no bucket's, cut
  // by a piece's end or not.
  if (len > sizeof token_) return;
  size_t i = 0;
  size_t ms = 0;
  while (i < len && text[i] >= '0' && text[i] <= '9' && ms <= kLastBucketMs) {
    ms = ms * 10 + static_cast<size_t>(text[i] - '0');
    ++i;
  }
  if (i == 0 || ms > kLastBucketMs || len - i < 4 || memcmp(text + i, "ms=", 3) != 0) return;
  const uint8_t bucket = kBucketIndex.of[ms];
  const std::optional<uint64_t> n = count(text + i + 3, len - i - 3);
  // The count must be the rest of the token: "17ms=34x" is no count.
  if (bucket == 0 || !n) return;
  size_t digits = 0;
  while (i + 3 + digits < len && text[i + 3 + digits] >= '0' && text[i + 3 + digits] <= '9') {
    ++digits;
  }
  if (i + 3 + digits != len) return;
  add(&layer()->present2present[bucket - 1], *n);
}

std::vector<LayerTimeStats> TimeStatsParser::take() {
  byName_.clear();
  layer_ = -1;
  inBlock_ = false;
  return std::move(layers_);
}

std::vector<LayerTimeStats> timeStatsFromOutput(const std::string& output,
                                                const PackagePattern* pattern) {
  TimeStatsParser parser(pattern);
  LineSplitter lines;
  const auto feed = [&parser](const char* line, size_t len) { parser.line(line, len); };
  lines.feed(output.data(), output.size(), feed);
  lines.finish(feed);
  return parser.take();
}

namespace {

// What a layer presented between two dumps; false when a counter went
// back, which only a reset does.
bool difference(const LayerTimeStats& now, const LayerTimeStats* before, LayerTimeStats* d) {
  *d = now;
  if (before == nullptr) return true;
  const auto less = [](uint64_t a, uint64_t b, uint64_t* diff) {
    *diff = a - b;
    return a < b;
  };
  if (less(now.totalFrames, before->totalFrames, &d->totalFrames) ||
      less(now.janky, before->janky, &d->janky) ||
      less(now.jankyApp, before->jankyApp, &d->jankyApp) ||
      less(now.jankySf, before->jankySf, &d->jankySf)) {
    return false;
  }
  for (size_t i = 0; i < kTimeStatsBuckets; ++i) {
    if (less(now.present2present[i], before->present2present[i], &d->present2present[i])) {
      return false;
    }
  }
  for (LayerTimeStats::Block& block : d->blocks) {
    for (const LayerTimeStats::Block& old : before->blocks) {
      if (old.refreshHz == block.refreshHz && old.renderHz == block.renderHz) {
        if (block.totalFrames < old.totalFrames) return false;
        block.totalFrames -= old.totalFrames;
        break;
      }
    }
  }
  return true;
}

// The rank-th (from 1) frame time of a histogram's counts.
uint64_t nthNs(const uint64_t (&counts)[kTimeStatsBuckets], uint64_t rank) {
  uint64_t seen = 0;
  for (size_t i = 0; i < kTimeStatsBuckets; ++i) {
    seen += counts[i];
    if (seen >= rank) return bucketMiddleNs(i);
  }
  return bucketMiddleNs(kTimeStatsBuckets - 1);
}

}  // namespace

TimeStatsTick TimeStatsTracker::tick(std::vector<LayerTimeStats>&& layers, uint64_t nowNs) {
  TimeStatsTick tick;
  FrameStats& stats = tick.stats;
  stats.source = FrameStats::Source::kTimeStats;
  const bool first = !havePrevious_;
  const uint64_t windowNs = nowNs > previousNs_ ? nowNs - previousNs_ : 0;

  // The matching layer with the most new frames; ties go to the earlier
  // in the dump, which lists the layers with the most frames first.
  bool reset = false;
  bool haveBest = false;
  LayerTimeStats best;
  LayerTimeStats d;
  for (const LayerTimeStats& layer : layers) {
    const auto before = previous_.find(layer.name);
    if (!difference(layer, before == previous_.end() ? nullptr : &before->second, &d)) {
      reset = true;
      continue;
    }
    if (!haveBest || d.totalFrames > best.totalFrames) {
      haveBest = true;
      best = d;
    }
  }

  havePrevious_ = true;
  previousNs_ = nowNs;
  previous_.clear();
  for (LayerTimeStats& layer : layers) {
    std::string name = layer.name;
    previous_.emplace(std::move(name), std::move(layer));
  }

  // A collection's first dump may come right after the statistics were
  // enabled, before any layer has presented a frame: only later ones can
  // tell that no layer matches.
  if (first) {
    tick.fps = 0;
    return tick;
  }
  if (layers.empty()) {
    stats.state = FrameStats::State::kNoLayer;
    stats.source = FrameStats::Source::kNone;
    tick.fps = 0;
    return tick;
  }
  // With nothing to compare to, or counters cleared since, the tick cannot
  // tell how many frames came: its figures are unknown.
  if (reset || windowNs == 0) return tick;

  stats.measured = true;
  stats.windowNs = windowNs;
  stats.frames = best.totalFrames;
  stats.hasLayer = true;
  stats.layer = best.name;
  stats.hasOsJank = true;
  stats.osJank = best.janky;
  stats.osJankApp = best.jankyApp;
  stats.osJankSf = best.jankySf;
  const LayerTimeStats::Block* busiest = nullptr;
  for (const LayerTimeStats::Block& block : best.blocks) {
    if (busiest == nullptr || block.totalFrames > busiest->totalFrames) busiest = &block;
  }
  if (busiest != nullptr && busiest->refreshHz != 0) {
    stats.periodNs = 1000000000u / busiest->refreshHz;
  }

  uint64_t timed = 0;
  uint64_t jank = 0;
  uint64_t bigJank = 0;
  uint64_t missed = 0;
  for (uint64_t n : best.present2present) add(&timed, n);
  stats.timedFrames = static_cast<size_t>(timed);
  if (timed > 0) {
    stats.p50Ns = nthNs(best.present2present, std::max<uint64_t>((timed * 50 + 99) / 100, 1));
    stats.p95Ns = nthNs(best.present2present, std::max<uint64_t>((timed * 95 + 99) / 100, 1));
    for (size_t i = 0; i < kTimeStatsBuckets; ++i) {
      const uint64_t n = best.present2present[i];
      if (n == 0) continue;
      const uint64_t ns = bucketMiddleNs(i);
      stats.maxNs = ns;
      add(&stats.spanNs, times(n, ns));
      // The frames before each are unknown here: longer than twice the
      // window's median stands for longer than twice the mean of them.
      if (ns > kJankNs && ns > 2 * stats.p50Ns) {
        jank += n;
        add(&stats.jankNs, times(n, ns));
        if (ns > kBigJankNs) bigJank += n;
      }
      if (stats.periodNs != 0 && ns * 2 > stats.periodNs * 3) missed += n;
    }
  }
  stats.jank = toUnsigned(jank);
  stats.bigJank = toUnsigned(bigJank);
  stats.missedVsyncs = toUnsigned(missed);
  // As GET_FPS reads elsewhere: whole frames a second, less one.
  const uint64_t perSecond = times(stats.frames, 1000000000u) / windowNs;
  tick.fps = perSecond == 0 ? 0 : static_cast<int>(std::min<uint64_t>(perSecond - 1, INT32_MAX));
  return tick;
}

void TimeStatsTracker::forget() {
  havePrevious_ = false;
  previous_.clear();
}
