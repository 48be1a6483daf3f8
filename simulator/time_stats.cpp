#include "time_stats.h"

#include <stdio.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "surface_flinger.h"

namespace sim {
namespace {

constexpr int64_t kNsPerMs = 1000000;
// The app's, and System UI's, which draws the bars and the wallpaper.
constexpr int kAppUid = 10234;
constexpr int kSystemUiUid = 10139;
// The compositor keeps this many blocks at most.
constexpr size_t kMaxLayerBlocks = 200;

using Histogram = std::array<int64_t, kHistogramBuckets>;

int bucketMs(size_t bucket) {
  const int b = static_cast<int>(bucket);
  if (b <= 34) return b;
  if (b <= 42) return 36 + (b - 35) * 2;
  if (b <= 67) return 54 + (b - 43) * 4;
  return 200 + (b - 68) * 50;
}

size_t bucketOf(int64_t ns) {
  const int64_t ms = std::max<int64_t>(ns, 0) / kNsPerMs;
  if (ms <= 34) return static_cast<size_t>(ms);
  if (ms <= 50) return static_cast<size_t>(35 + (ms - 35) / 2);
  if (ms <= 150) return static_cast<size_t>(43 + (ms - 51) / 4);
  if (ms <= 1000) return static_cast<size_t>(68 + (ms - 151) / 50);
  return kHistogramBuckets - 1;
}

std::string histogramText(const Histogram& histogram) {
  std::string out;
  for (size_t b = 0; b < kHistogramBuckets; ++b) {
    out += (b == 0 ? "" : " ") + std::to_string(bucketMs(b)) + "ms=" + std::to_string(histogram[b]);
  }
  return out + "\n";
}

// A layer's histograms, in the order of their names, as Android keeps them
// in a std::map.
enum Times {
  acquire2present,
  appDeadlineDeltas,
  desired2present,
  latch2present,
  post2acquire,
  post2present,
  present2present,
  present2presentDelta,
  kTimes
};
const char* const kTimeNames[kTimes] = {
    "acquire2present", "appDeadlineDeltas", "desired2present", "latch2present",
    "post2acquire",    "post2present",      "present2present", "present2presentDelta",
};

// What the compositor makes of a shown frame.
struct Counted {
  // The refresh rate over the vsyncs it took: its render rate's bucket.
  int renderRate;
  bool janky;
  // Past the time its pace allowed.
  int64_t lateNs;
};

Counted countFrame(const ShownFrame& frame, int refreshHz, int64_t periodNs) {
  const int64_t paceVsyncs = std::max<int64_t>((frame.paceNs + periodNs - 1) / periodNs, 1);
  // Without an earlier present, as its pace asks.
  int64_t vsyncs = paceVsyncs;
  if (frame.previousNs >= 0) {
    const int64_t gap = frame.presentNs - frame.previousNs;
    vsyncs = std::max<int64_t>((gap + periodNs / 2) / periodNs, 1);
  }
  const bool janky = frame.paced && frame.previousNs >= 0 && vsyncs > paceVsyncs;
  const int renderRate = static_cast<int>((2 * refreshHz + vsyncs) / (2 * vsyncs));
  return {renderRate, janky, janky ? (vsyncs - paceVsyncs) * periodNs : 0};
}

struct LayerBlock {
  size_t layer;  // in drawingLayers' order
  int renderRate;
  int64_t frames = 0;
  int64_t dropped = 0;
  int64_t janky = 0;
  int64_t gapSumNs = 0;
  int64_t gaps = 0;
  std::array<Histogram, kTimes> times{};

  // gapNs: since the layer's present before, -1 for its first frame counted;
  // lastGapNs: the gap before that, likewise.
  void add(const ShownFrame& frame, const Counted& counted, int64_t periodNs, int64_t gapNs,
           int64_t lastGapNs) {
    ++frames;
    dropped += frame.droppedAfter;
    if (counted.janky) ++janky;
    const int64_t present = frame.presentNs;
    const int64_t acquire = std::max(frame.postNs, present - periodNs * 2 / 3);
    const int64_t latch = std::max(acquire, present - periodNs / 2);
    const auto count = [this](Times t, int64_t ns) { ++times[t][bucketOf(ns)]; };
    count(post2acquire, acquire - frame.postNs);
    count(post2present, present - frame.postNs);
    count(acquire2present, present - acquire);
    count(latch2present, present - latch);
    // An automatic timestamp: the buffer is due when it is posted.
    count(desired2present, present - frame.postNs);
    count(appDeadlineDeltas, counted.lateNs);
    if (gapNs >= 0) {
      count(present2present, gapNs);
      gapSumNs += gapNs;
      ++gaps;
    }
    if (gapNs >= 0 && lastGapNs >= 0) {
      count(present2presentDelta, gapNs > lastGapNs ? gapNs - lastGapNs : lastGapNs - gapNs);
    }
  }
};

// The jank payload's counts: every janky frame is the app's, unattributed.
std::string jankPayload(int64_t frames, int64_t janky) {
  return "totalTimelineFrames = " + std::to_string(frames) +
         "\njankyFrames = " + std::to_string(janky) +
         "\nsfLongCpuJankyFrames = 0"
         "\nsfLongGpuJankyFrames = 0"
         "\nsfUnattributedJankyFrames = 0"
         "\nappUnattributedJankyFrames = " +
         std::to_string(janky) +
         "\nsfSchedulingJankyFrames = 0"
         "\nsfPredictionErrorJankyFrames = 0"
         "\nappBufferStuffingJankyFrames = 0\n";
}

std::string layerBlockText(const LayerBlock& block, const DrawingLayer& layer, int refreshHz) {
  char averageFps[32];
  snprintf(averageFps, sizeof averageFps, "%.3f",
           block.gaps == 0
               ? 0.0
               : 1e9 * static_cast<double>(block.gaps) / static_cast<double>(block.gapSumNs));
  std::string out =
      "\ndisplayRefreshRate = " + std::to_string(refreshHz) +
      " fps\nrenderRate = " + std::to_string(block.renderRate) +
      " fps\nuid = " + std::to_string(layer.ofApp ? kAppUid : kSystemUiUid) +
      "\nlayerName = " + layer.name +
      "\npackageName = \ngameMode = Unsupported\ntotalFrames = " + std::to_string(block.frames) +
      "\ndroppedFrames = " + std::to_string(block.dropped) +
      "\nlateAcquireFrames = 0\nbadDesiredPresentFrames = 0\n"
      "Jank payload for this layer:\n" +
      jankPayload(block.frames, block.janky) +
      "SetFrameRate vote for this layer:\n"
      "frameRate = 0.00\n"
      "frameRateCompatibility = Default\n"
      "seamlessness = ShouldBeSeamless\n"
      "averageFPS = " +
      averageFps + "\n";
  for (size_t t = 0; t < kTimes; ++t) {
    out += std::string(kTimeNames[t]) + " histogram is as below:\n" + histogramText(block.times[t]);
  }
  return out;
}

// The global timeline's counts of one render rate.
struct GlobalBlock {
  int64_t frames = 0;
  int64_t janky = 0;
};

}  // namespace

int histogramBucketMs(int64_t ns) { return bucketMs(bucketOf(ns)); }

std::string timeStatsDump(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                          const TimeStatsState& state, int64_t nowNs) {
  if (!state.enabledNs) return "";
  const int64_t globalFromNs = std::min(*state.enabledNs, nowNs);
  const int64_t layerFromNs = std::max(globalFromNs, state.resetNs.value_or(globalFromNs));
  const int64_t periodNs = refreshPeriodNs(config);
  const int refreshHz = config.refreshHz;

  const std::vector<DrawingLayer> layers = drawingLayers(config, appStartNs);
  // Every layer's presents, for the frames the display composed.
  std::vector<int64_t> presents;
  // Highest render rate first.
  std::map<int, GlobalBlock, std::greater<int>> global;
  std::map<std::pair<size_t, int>, LayerBlock> blocks;
  for (size_t i = 0; i < layers.size(); ++i) {
    // The layer's last present and gap counted: the gaps chain from one
    // frame to the next whichever block each lands in.
    int64_t lastPresentNs = -1;
    int64_t lastGapNs = -1;
    forEachShownFrame(
        config, appStartNs, layers[i].name, globalFromNs, nowNs, [&](const ShownFrame& frame) {
          const Counted counted = countFrame(frame, refreshHz, periodNs);
          presents.push_back(frame.presentNs);
          GlobalBlock& g = global[counted.renderRate];
          ++g.frames;
          if (counted.janky) ++g.janky;
          if (frame.presentNs <= layerFromNs) return;
          const std::pair<size_t, int> key{i, counted.renderRate};
          LayerBlock& block =
              blocks.try_emplace(key, LayerBlock{i, counted.renderRate}).first->second;
          const int64_t gapNs = lastPresentNs < 0 ? -1 : frame.presentNs - lastPresentNs;
          block.add(frame, counted, periodNs, gapNs, lastGapNs);
          lastPresentNs = frame.presentNs;
          lastGapNs = gapNs;
        });
  }
  std::sort(presents.begin(), presents.end());
  presents.erase(std::unique(presents.begin(), presents.end()), presents.end());

  Histogram globalGaps{};
  int64_t gapSumNs = 0;
  for (size_t i = 1; i < presents.size(); ++i) {
    ++globalGaps[bucketOf(presents[i] - presents[i - 1])];
    gapSumNs += presents[i] - presents[i - 1];
  }
  // The compositor takes a quarter of a period a frame, on the GPU never.
  Histogram frameDurations{};
  frameDurations[bucketOf(periodNs / 4)] = static_cast<int64_t>(presents.size());
  const Histogram renderEngine{};
  const std::string onMs = std::to_string((nowNs - globalFromNs) / kNsPerMs);

  std::string out =
      "SurfaceFlinger TimeStats:\n"
      "Legacy stats are as follows:\n"
      "statsStart = " +
      std::to_string(kBootEpochSeconds + globalFromNs / kNsPerSecond) +
      "\nstatsEnd = " + std::to_string(kBootEpochSeconds + nowNs / kNsPerSecond) +
      "\ntotalFrames = " + std::to_string(presents.size()) +
      "\nmissedFrames = 0\n"
      "clientCompositionFrames = 0\n"
      "clientCompositionReusedFrames = 0\n"
      "refreshRateSwitches = 0\n"
      "compositionStrategyChanges = 0\n"
      "displayOnTime = " +
      onMs +
      " ms\n"
      "displayConfigStats is as below:\n" +
      std::to_string(refreshHz) + "fps = " + onMs +
      "ms\n"
      "totalP2PTime = " +
      std::to_string(gapSumNs / kNsPerMs) +
      " ms\n"
      "Global present2present histogram is as below:\n" +
      histogramText(globalGaps) + "Global frame duration histogram is as below:\n" +
      histogramText(frameDurations) + "Global render engine duration histogram is as below:\n" +
      histogramText(renderEngine) + "Global aggregated jank payload (Timeline stats):\n";
  for (const auto& [renderRate, g] : global) {
    // The compositor meets every deadline, a period after the last present.
    Histogram deadlines{};
    deadlines[0] = g.frames;
    Histogram presentDeltas{};
    presentDeltas[bucketOf(periodNs)] = g.frames;
    out += "\ndisplayRefreshRate = " + std::to_string(refreshHz) +
           " fps\nrenderRate = " + std::to_string(renderRate) + " fps\n" +
           jankPayload(g.frames, g.janky) + "displayDeadlineDeltas histogram is as below:\n" +
           histogramText(deadlines) + "displayPresentDeltas histogram is as below:\n" +
           histogramText(presentDeltas);
  }

  std::vector<const LayerBlock*> sorted;
  for (const auto& entry : blocks) sorted.push_back(&entry.second);
  // Ties in the listing's order, then highest render rate first, so that a
  // dump never reorders.
  std::sort(sorted.begin(), sorted.end(), [](const LayerBlock* a, const LayerBlock* b) {
    if (a->frames != b->frames) return a->frames > b->frames;
    if (a->layer != b->layer) return a->layer < b->layer;
    return a->renderRate > b->renderRate;
  });
  if (sorted.size() > kMaxLayerBlocks) sorted.resize(kMaxLayerBlocks);
  for (const LayerBlock* block : sorted)
    out += layerBlockText(*block, layers[block->layer], refreshHz);
  return out;
}

}  // namespace sim
