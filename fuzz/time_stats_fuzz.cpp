// The compositor's time statistics over a collection whose dumps are the
// input's pieces (split at "\n--tick--\n"). A dump read whole and one fed in
// chunks must give the same layers; the pattern must only choose among the
// layers, never change one; a dump compared with itself brings no frame;
// and every tick's figures must hold together.

#include <stddef.h>
#include <stdint.h>

#include <iterator>
#include <string>
#include <vector>

#include "fields.h"
#include "fpsbench/line_splitter.h"
#include "fpsbench/time_stats.h"
#include "fuzz_common.h"
#include "package_pattern.h"

namespace {

constexpr char kTick[] = "\n--tick--\n";

std::vector<std::string> dumpsOf(const std::string& input) {
  std::vector<std::string> dumps;
  size_t from = 0;
  for (;;) {
    const size_t at = input.find(kTick, from);
    if (at == std::string::npos || dumps.size() == 7) break;
    dumps.push_back(input.substr(from, at - from + 1));
    from = at + sizeof kTick - 1;
  }
  dumps.push_back(input.substr(from));
  return dumps;
}

bool sameLayer(const LayerTimeStats& a, const LayerTimeStats& b) {
  if (a.name != b.name || a.totalFrames != b.totalFrames || a.janky != b.janky ||
      a.jankyApp != b.jankyApp || a.jankySf != b.jankySf || a.blocks.size() != b.blocks.size()) {
    return false;
  }
  for (size_t i = 0; i < kTimeStatsBuckets; ++i) {
    if (a.present2present[i] != b.present2present[i]) return false;
  }
  for (size_t i = 0; i < a.blocks.size(); ++i) {
    if (a.blocks[i].refreshHz != b.blocks[i].refreshHz ||
        a.blocks[i].renderHz != b.blocks[i].renderHz ||
        a.blocks[i].totalFrames != b.blocks[i].totalFrames) {
      return false;
    }
  }
  return true;
}

void checkFigures(const TimeStatsTick& tick) {
  const FrameStats& s = tick.stats;
  FUZZ_CHECK(!tick.fps || *tick.fps >= 0, "a negative rate %d", *tick.fps);
  if (!s.measured) return;
  FUZZ_CHECK(s.windowNs > 0, "a measured tick without a window");
  FUZZ_CHECK(s.p50Ns <= s.p95Ns && s.p95Ns <= s.maxNs, "percentiles out of order");
  FUZZ_CHECK(s.bigJank <= s.jank && s.jank <= s.timedFrames, "jank %u/%u of %zu frames",
             s.bigJank, s.jank, s.timedFrames);
  FUZZ_CHECK(s.missedVsyncs <= s.timedFrames, "more missed vsyncs than frames");
  const std::string text = frameStatsText(&s);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  FUZZ_CHECK(lines == std::size(field::kFrameStatsFields) &&
                 text.back() == '\n',
             "a reply of %zu lines: %s", lines, fuzz::show(text).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const PackagePattern pattern("game");
  TimeStatsTracker tracker;
  TimeStatsTracker twice;
  fuzz::ChunkSizes sizes(data, size, 0);
  uint64_t nowNs = 1000000000;
  for (const std::string& dump : dumpsOf(input)) {
    const std::vector<LayerTimeStats> layers = timeStatsFromOutput(dump, &pattern);
    const std::vector<LayerTimeStats> all = timeStatsFromOutput(dump, nullptr);

    TimeStatsParser chunked(&pattern);
    LineSplitter lines;
    fuzz::feedInChunks(lines, reinterpret_cast<const uint8_t*>(dump.data()), dump.size(), sizes,
                       [&chunked](const char* line, size_t len) { chunked.line(line, len); });
    const std::vector<LayerTimeStats> fromChunks = chunked.take();
    FUZZ_CHECK(fromChunks.size() == layers.size(), "%zu layers in chunks, %zu whole",
               fromChunks.size(), layers.size());

    size_t next = 0;
    for (size_t i = 0; i < layers.size(); ++i) {
      FUZZ_CHECK(sameLayer(layers[i], fromChunks[i]), "layer %zu differs in chunks", i);
      FUZZ_CHECK(layers[i].name.find("game") != std::string::npos && !layers[i].blocks.empty(),
                 "layer %s", fuzz::show(layers[i].name).c_str());
      // In the order of the whole dump's layers, and the same.
      while (next < all.size() && all[next].name != layers[i].name) ++next;
      FUZZ_CHECK(next < all.size() && sameLayer(layers[i], all[next]),
                 "the pattern changed layer %s", fuzz::show(layers[i].name).c_str());
    }

    checkFigures(tracker.tick(std::vector<LayerTimeStats>(layers), nowNs));
    std::vector<LayerTimeStats> copy = layers;
    twice.tick(std::move(copy), nowNs);
    const TimeStatsTick again = twice.tick(std::vector<LayerTimeStats>(layers), nowNs + 1000);
    checkFigures(again);
    FUZZ_CHECK(layers.empty() || (again.stats.measured && again.stats.frames == 0 &&
                                  again.stats.jank == 0 && again.fps == 0),
               "a dump compared with itself brought frames");
    nowNs += 1000000000;
  }
  return 0;
}
