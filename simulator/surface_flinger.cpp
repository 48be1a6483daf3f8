#include "surface_flinger.h"

#include <algorithm>
#include <vector>

namespace sim {
namespace {

// Every frame, stall and schedule entry passed costs one step; only a
// schedule of a million entries would reach this.
constexpr int kMaxWalkSteps = 1000000;

struct Frame {
  int64_t desiredNs;
  int64_t actualNs;
  int64_t readyNs;
};

enum class Drawing { nothing, appFrames, appWindow, statusBar, bootOnly };

struct Layer {
  std::string name;
  Drawing drawing;
};

std::vector<Layer> layersOf(const DeviceConfig& config, bool appRunning) {
  std::vector<Layer> layers{
      {"Display Root#0", Drawing::nothing},
      {"Display Overlays#1", Drawing::nothing},
      {"com.android.systemui.ImageWallpaper#38", Drawing::nothing},
      {"Wallpaper BBQ wrapper#39", Drawing::bootOnly},
      {"StatusBar#64", Drawing::statusBar},
      {"NavigationBar0#66", Drawing::bootOnly},
  };
  if (appRunning) {
    const std::string window = windowName(config);
    layers.push_back({window + "#142", Drawing::appWindow});
    layers.push_back({"SurfaceView[" + window + "]#147", Drawing::nothing});
    layers.push_back({"SurfaceView[" + window + "](BLAST)#148", Drawing::appFrames});
    layers.push_back({"Background for SurfaceView[" + window + "]#149", Drawing::nothing});
  }
  return layers;
}

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The buffer is ready a little before it is shown; never 0, which would
// make the line look like an empty slot.
int64_t readyTime(int64_t presentNs, int64_t periodNs) {
  return std::max<int64_t>(presentNs - periodNs * 2 / 3, 1);
}

Frame shownAt(int64_t ns, int64_t periodNs) { return {ns, ns, readyTime(ns, periodNs)}; }

// The app's frames, newest first: the schedule walked back from now, with
// stalled frames left out.
std::vector<Frame> appFrames(const DeviceConfig& config, int64_t startNs, int64_t nowNs) {
  std::vector<Frame> frames;
  if (nowNs < startNs) return frames;
  const int64_t periodNs = refreshPeriodNs(config);
  size_t seg = 0;
  while (seg + 1 < config.fps.size() && startNs + config.fps[seg + 1].fromNs <= nowNs) ++seg;
  int64_t bound = nowNs;
  for (int step = 0; step < kMaxWalkSteps && frames.size() < kLatencySlots; ++step) {
    const int64_t segStart = startNs + config.fps[seg].fromNs;
    const int fps = config.fps[seg].fps;
    if (bound < segStart || fps == 0) {
      if (seg == 0) break;
      --seg;
      bound = std::min(bound, segStart - 1);
      continue;
    }
    const int64_t k = lastFrameAtOrBefore(bound - segStart, fps);
    const int64_t ideal = segStart + frameOffsetNs(k, fps);
    const int64_t sinceStart = ideal - startNs;
    if (config.stallEveryNs > 0 && config.stallNs > 0) {
      const int64_t m = sinceStart / config.stallEveryNs;
      if (m >= 1 && sinceStart - m * config.stallEveryNs < config.stallNs) {
        bound = startNs + m * config.stallEveryNs - 1;
        continue;
      }
    }
    const int64_t spacing = kNsPerSecond / fps;
    const int64_t segEnd =
        seg + 1 < config.fps.size() ? startNs + config.fps[seg + 1].fromNs : INT64_MAX;
    // A third of the spacing at most, and never past the stretch's end, so
    // that frames keep their order.
    const int64_t maxJitter = std::min(config.jitterNs, spacing / 3);
    const uint64_t hash =
        splitmix64(splitmix64(splitmix64(config.seed) ^ seg) ^ static_cast<uint64_t>(k));
    const int64_t jitter =
        maxJitter > 0 ? static_cast<int64_t>(hash % static_cast<uint64_t>(maxJitter + 1)) : 0;
    const int64_t actual = std::min(ideal + jitter, segEnd - 1);
    const bool pending = frames.empty() && nowNs - ideal < spacing;
    frames.push_back({ideal, pending ? kPendingFenceNs : actual, readyTime(actual, periodNs)});
    bound = k == 0 ? segStart - 1 : ideal - 1;
  }
  return frames;
}

std::vector<Frame> framesOf(Drawing drawing, const DeviceConfig& config,
                            std::optional<int64_t> appStartNs, int64_t nowNs) {
  const int64_t periodNs = refreshPeriodNs(config);
  std::vector<Frame> frames;
  switch (drawing) {
    case Drawing::nothing:
      break;
    case Drawing::appFrames:
      frames = appFrames(config, *appStartNs, nowNs);
      break;
    case Drawing::appWindow:
      // The window draws its first frames, then the SurfaceView does the work.
      for (int64_t i = 2; i >= 0; --i) {
        const int64_t t = *appStartNs + i * periodNs;
        if (t <= nowNs) frames.push_back(shownAt(t, periodNs));
      }
      break;
    case Drawing::statusBar: {
      // The clock ticks once a second, 5 ms after the second.
      constexpr int64_t kTickNs = 5000000;
      if (nowNs < kTickNs) break;
      for (int64_t s = (nowNs - kTickNs) / kNsPerSecond; s >= 0 && frames.size() < kLatencySlots;
           --s) {
        frames.push_back(shownAt(s * kNsPerSecond + kTickNs, periodNs));
      }
      break;
    }
    case Drawing::bootOnly:
      for (int64_t i = 1; i >= 0; --i) {
        const int64_t t = kNsPerSecond + i * periodNs;
        if (t <= nowNs) frames.push_back(shownAt(t, periodNs));
      }
      break;
  }
  return frames;
}

}  // namespace

int64_t frameOffsetNs(int64_t k, int fps) {
  return k / fps * kNsPerSecond + k % fps * kNsPerSecond / fps;
}

int64_t lastFrameAtOrBefore(int64_t offsetNs, int fps) {
  // Whole seconds hold fps frames each; within the last one, frame j is at or
  // before r while j * 1e9 < (r + 1) * fps.
  const int64_t seconds = offsetNs / kNsPerSecond;
  const int64_t r = offsetNs % kNsPerSecond;
  return seconds * fps + ((r + 1) * fps - 1) / kNsPerSecond;
}

std::string layerListing(const DeviceConfig& config, std::optional<int64_t> appStartNs) {
  std::string out;
  for (const Layer& layer : layersOf(config, appStartNs.has_value())) out += layer.name + "\n";
  return out;
}

std::string latencyOutput(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                          int64_t nowNs, const std::string& name) {
  std::string out = std::to_string(refreshPeriodNs(config)) + "\n";
  const std::vector<Layer> layers = layersOf(config, appStartNs.has_value());
  const auto layer = std::find_if(layers.begin(), layers.end(),
                                  [&name](const Layer& l) { return l.name == name; });
  if (layer == layers.end()) return out;
  const std::vector<Frame> frames = framesOf(layer->drawing, config, appStartNs, nowNs);
  for (size_t i = frames.size(); i < kLatencySlots; ++i) out += "0\t0\t0\n";
  for (auto f = frames.rbegin(); f != frames.rend(); ++f) {
    out += std::to_string(f->desiredNs) + "\t" + std::to_string(f->actualNs) + "\t" +
           std::to_string(f->readyNs) + "\n";
  }
  out += "\n";
  return out;
}

}  // namespace sim
