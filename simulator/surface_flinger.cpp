#include "surface_flinger.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "device_model.h"

namespace sim {
namespace {

struct Frame {
  int64_t desiredNs;
  int64_t actualNs;
  int64_t readyNs;
};

enum class Drawing { nothing, appFrames, appWindow, statusBar, bootOnly };

struct Layer {
  std::string line;  // as the listing prints it
  std::string name;  // as the latency command takes it
  Drawing drawing;
};

bool ofApp(Drawing drawing) {
  return drawing == Drawing::appFrames || drawing == Drawing::appWindow;
}

// Sequence ids count every layer SurfaceFlinger has made, so a re-created
// app's layers get new ones: here one set per microsecond of its start time,
// which any two starts differ by. An app started at boot has the first.
int64_t appLayerId(int64_t appStartNs) {
  constexpr int64_t kNsPerUs = 1000;
  // Below 2^31, as the compositor's ids are.
  constexpr int64_t kGenerations = 100000000;
  return 142 + 8 * (appStartNs / kNsPerUs % kGenerations);
}

std::vector<Layer> layersOf(const DeviceConfig& config, std::optional<int64_t> appStartNs) {
  std::vector<Layer> layers;
  const auto add = [&layers](std::string name, Drawing drawing) {
    layers.push_back({name, name, drawing});
  };
  // Android 15 lists a layer as "RequestedLayerState{NAME ATTRIBUTES}", the
  // attributes in this order: parentId, relativeParentId, mirrorId, !handle,
  // z, layerStack; the latency command knows only NAME.
  const auto addWrapped = [&layers](std::string name, Drawing drawing,
                                    const std::string& attributes) {
    layers.push_back({"RequestedLayerState{" + name + " " + attributes + "}", name, drawing});
  };
  const std::string window = windowName(config);
  const std::string activityRecord = "ActivityRecord{7c8d9e0 u0 " + window + " t12}";
  const int64_t id = appStartNs ? appLayerId(*appStartNs) : 0;
  const auto named = [id](const std::string& name, int64_t offset) {
    return name + "#" + std::to_string(id + offset);
  };
  switch (config.android) {
    case 7:
      add("com.android.systemui.ImageWallpaper", Drawing::nothing);
      add("DimLayer", Drawing::nothing);
      if (appStartNs) {
        add(window, Drawing::appWindow);
        add("SurfaceView - " + window, Drawing::appFrames);
      }
      add("StatusBar", Drawing::statusBar);
      add("NavigationBar", Drawing::bootOnly);
      break;
    case 10:
      add("mBelowAppWindowsContainers#0", Drawing::nothing);
      add("WallpaperWindowToken{4e8d1b7 token=android.os.Binder@6f3a2c1}#0", Drawing::nothing);
      add("com.android.systemui.ImageWallpaper#0", Drawing::nothing);
      if (appStartNs) {
        add("AppWindowToken{a1b2c3d token=Token{e4f5a6b " + activityRecord + "}}#0",
            Drawing::nothing);
        add(window + "#0", Drawing::appWindow);
        add("SurfaceView - " + window + "#0", Drawing::appFrames);
        add("Background for -SurfaceView - " + window + "#0", Drawing::nothing);
      }
      add("StatusBar#0", Drawing::statusBar);
      add("NavigationBar#0", Drawing::bootOnly);
      break;
    case 12:
      add("Display Root#0", Drawing::nothing);
      add("Display Overlays#0", Drawing::nothing);
      add("com.android.systemui.ImageWallpaper#0", Drawing::nothing);
      add("Wallpaper BBQ wrapper#0", Drawing::bootOnly);
      add("StatusBar#0", Drawing::statusBar);
      add("NavigationBar0#0", Drawing::bootOnly);
      if (appStartNs) {
        add(activityRecord + "#0", Drawing::nothing);
        add(window + "#0", Drawing::appWindow);
        add("SurfaceView[" + window + "]#0", Drawing::nothing);
        add("SurfaceView[" + window + "](BLAST)#0", Drawing::appFrames);
        add("Background for SurfaceView[" + window + "]#0", Drawing::nothing);
      }
      break;
    case 15: {
      addWrapped("Display Root#0", Drawing::nothing, "layerStack=0");
      addWrapped("Display Overlays#1", Drawing::nothing, "z=1 layerStack=0");
      addWrapped("com.android.systemui.ImageWallpaper#38", Drawing::nothing, "parentId=37 z=-1");
      addWrapped("Wallpaper BBQ wrapper#39", Drawing::bootOnly, "parentId=38");
      addWrapped("StatusBar#64", Drawing::statusBar, "parentId=63 z=2");
      addWrapped("NavigationBar0#66", Drawing::bootOnly, "parentId=65 relativeParentId=64 z=1");
      addWrapped("Mirror of {Display 0}#70", Drawing::nothing, "mirrorId=0 !handle layerStack=2");
      if (appStartNs) {
        const auto parent = [id](int64_t offset) {
          return "parentId=" + std::to_string(id + offset);
        };
        addWrapped(named(activityRecord, -1), Drawing::nothing, parent(-2) + " z=0");
        addWrapped(named(window, 0), Drawing::appWindow, parent(-1));
        addWrapped(named("SurfaceView[" + window + "]", 5), Drawing::nothing,
                   parent(0) + " relativeParentId=" + std::to_string(id) + " z=-2");
        addWrapped(named("SurfaceView[" + window + "](BLAST)", 6), Drawing::appFrames, parent(5));
        addWrapped(named("Background for SurfaceView[" + window + "]", 7), Drawing::nothing,
                   parent(5) + " !handle z=-2147483648");
      }
      break;
    }
    default:  // 13, and 14 QPR2 alike
      add("Display Root#0", Drawing::nothing);
      add("Display Overlays#1", Drawing::nothing);
      add("com.android.systemui.ImageWallpaper#38", Drawing::nothing);
      add("Wallpaper BBQ wrapper#39", Drawing::bootOnly);
      add("StatusBar#64", Drawing::statusBar);
      add("NavigationBar0#66", Drawing::bootOnly);
      if (appStartNs) {
        add(named(window, 0), Drawing::appWindow);
        add(named("SurfaceView[" + window + "]", 5), Drawing::nothing);
        add(named("SurfaceView[" + window + "](BLAST)", 6), Drawing::appFrames);
        add(named("Background for SurfaceView[" + window + "]", 7), Drawing::nothing);
      }
      break;
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

// A frame the app draws: number k of stretch seg of its schedule.
struct Drawn {
  size_t seg;
  int64_t k;
  int64_t idealNs;
  // When its buffer reaches the compositor: the ideal time plus jitter.
  int64_t queuedNs;
};

// The frames the app draws by its schedule and stalls, found from any time
// in either direction without walking from the start. Queue times strictly
// increase with the ideal times.
class AppTimeline {
 public:
  // Knows the app's frames queued by untilNs, throttling included.
  AppTimeline(const DeviceConfig& config, int64_t startNs, int64_t untilNs)
      : config_(config),
        fps_(drawnSchedule(config, std::max<int64_t>(untilNs - startNs, 0))),
        startNs_(startNs) {}

  // Each loop below passes a stall or a stretch per turn, and then finds its
  // frame; the bound only guards against a schedule of a million stretches.
  std::optional<Drawn> firstAtOrAfter(int64_t ns) const {
    ns = std::max(ns, startNs_);
    for (int step = 0; step < kMaxLoopSteps; ++step) {
      const size_t seg = stretchAt(ns);
      const int64_t segStart = stretchStart(seg);
      const int64_t segEnd = stretchEnd(seg);
      const int fps = fps_[seg].fps;
      if (fps == 0) {
        if (segEnd == INT64_MAX) return std::nullopt;
        ns = segEnd;
        continue;
      }
      const int64_t k = ns == segStart ? 0 : lastFrameAtOrBefore(ns - 1 - segStart, fps) + 1;
      const int64_t ideal = segStart + frameOffsetNs(k, fps);
      if (ideal >= segEnd) {
        ns = segEnd;
        continue;
      }
      if (const auto stall = stallAt(ideal)) {
        ns = *stall + config_.stallNs;
        continue;
      }
      return drawn(seg, k, ideal);
    }
    return std::nullopt;
  }

  int fpsOf(size_t seg) const { return fps_[seg].fps; }

  std::optional<Drawn> lastAtOrBefore(int64_t ns) const {
    for (int step = 0; step < kMaxLoopSteps && ns >= startNs_; ++step) {
      const size_t seg = stretchAt(ns);
      const int64_t segStart = stretchStart(seg);
      const int fps = fps_[seg].fps;
      if (fps == 0) {
        ns = segStart - 1;
        continue;
      }
      const int64_t k = lastFrameAtOrBefore(ns - segStart, fps);
      const int64_t ideal = segStart + frameOffsetNs(k, fps);
      if (const auto stall = stallAt(ideal)) {
        ns = *stall - 1;
        continue;
      }
      return drawn(seg, k, ideal);
    }
    return std::nullopt;
  }

 private:
  static constexpr int kMaxLoopSteps = 2000000;

  // The last stretch that begins at or before ns (>= the start).
  size_t stretchAt(int64_t ns) const {
    const auto after =
        std::upper_bound(fps_.begin(), fps_.end(), ns - startNs_,
                         [](int64_t offset, const FpsStep& step) { return offset < step.fromNs; });
    return static_cast<size_t>(after - fps_.begin()) - 1;
  }
  int64_t stretchStart(size_t seg) const { return startNs_ + fps_[seg].fromNs; }
  int64_t stretchEnd(size_t seg) const {
    return seg + 1 < fps_.size() ? stretchStart(seg + 1) : INT64_MAX;
  }

  // The start of the stall that holds ns, if one does.
  std::optional<int64_t> stallAt(int64_t ns) const {
    if (config_.stallEveryNs <= 0 || config_.stallNs <= 0) return std::nullopt;
    const int64_t sinceStart = ns - startNs_;
    const int64_t m = sinceStart / config_.stallEveryNs;
    if (m < 1 || sinceStart - m * config_.stallEveryNs >= config_.stallNs) return std::nullopt;
    return startNs_ + m * config_.stallEveryNs;
  }

  Drawn drawn(size_t seg, int64_t k, int64_t ideal) const {
    const int fps = fps_[seg].fps;
    const int64_t spacing = kNsPerSecond / fps;
    // A third of the spacing at most, and never past the stretch's end, so
    // that frames keep their order.
    const int64_t maxJitter = std::min(config_.jitterNs, spacing / 3);
    const uint64_t hash =
        splitmix64(splitmix64(splitmix64(config_.seed) ^ seg) ^ static_cast<uint64_t>(k));
    const int64_t jitter =
        maxJitter > 0 ? static_cast<int64_t>(hash % static_cast<uint64_t>(maxJitter + 1)) : 0;
    return {seg, k, ideal, std::min(ideal + jitter, stretchEnd(seg) - 1)};
  }

  const DeviceConfig& config_;
  // The frames drawn: the schedule, throttled stretches cut in.
  const std::vector<FpsStep> fps_;
  const int64_t startNs_;
};

// Vsyncs that take many frames each (an app faster than the panel) cost a
// step per frame; this holds 127 rows of 1000 fps on a 1 Hz panel.
constexpr int kMaxWalkSteps = 1000000;

// The app's rows, newest first: one per vsync that a frame queued by nowNs
// takes, its present time unknown until that vsync has come.
std::vector<Frame> appFrames(const DeviceConfig& config, int64_t startNs, int64_t nowNs) {
  std::vector<Frame> frames;
  const int64_t periodNs = refreshPeriodNs(config);
  // Jitter never holds a frame past its stretch's end, so a stretch that
  // begins a nanosecond after now may decide what was queued by now.
  const AppTimeline timeline(config, startNs, nowNs + 1);
  int64_t newerVsync = -1;
  std::optional<Drawn> frame = timeline.lastAtOrBefore(nowNs);
  for (int step = 0; frame && step < kMaxWalkSteps && frames.size() < kLatencySlots; ++step) {
    // Jitter may hold the newest frame back until after now.
    if (frame->queuedNs <= nowNs) {
      const int64_t vsync = vsyncAtOrAfter(frame->queuedNs, periodNs);
      if (vsync != newerVsync) {
        frames.push_back(
            {vsync, vsync > nowNs ? kPendingFenceNs : vsync, readyTime(vsync, periodNs)});
        newerVsync = vsync;
      }
    }
    frame = timeline.lastAtOrBefore(frame->idealNs - 1);
  }
  return frames;
}

// The line before the period, on the dumps a hash of the seed and the time
// picks, so that "now and then" repeats run after run.
std::string prefixLine(const DeviceConfig& config, int64_t nowNs) {
  if (config.prefix == DumpPrefix::none) return "";
  const uint64_t hash =
      splitmix64(splitmix64(config.seed ^ 0x707265666978ULL) ^ static_cast<uint64_t>(nowNs));
  if (hash % 100 >= static_cast<uint64_t>(config.prefixPercent)) return "";
  return config.prefix == DumpPrefix::unresponsive
             ? "SurfaceFlinger appears to be unresponsive, dumping anyways (no lock held)\n"
             : "Dumping without lock after timeout: Connection timed out (-110)\n";
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
        const int64_t t = vsyncAtOrAfter(*appStartNs, periodNs) + i * periodNs;
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

// The frames of a layer that only the system draws, shown in (fromNs, toNs],
// oldest first.
void forEachSystemFrame(Drawing drawing, const DeviceConfig& config,
                        std::optional<int64_t> appStartNs, int64_t fromNs, int64_t toNs,
                        const std::function<void(const ShownFrame&)>& shown) {
  const int64_t periodNs = refreshPeriodNs(config);
  int64_t previous = -1;
  // Drawn a moment before it is shown, at its own steady pace: no jank.
  const auto each = [&](int64_t presentNs, int64_t paceNs) {
    if (presentNs > fromNs && presentNs <= toNs) {
      shown({presentNs, readyTime(presentNs, periodNs), previous, paceNs, false, 0});
    }
    previous = presentNs;
  };
  switch (drawing) {
    case Drawing::nothing:
    case Drawing::appFrames:
      break;
    case Drawing::appWindow:
      for (int64_t i = 0; i < 3; ++i)
        each(vsyncAtOrAfter(*appStartNs, periodNs) + i * periodNs, periodNs);
      break;
    case Drawing::statusBar: {
      constexpr int64_t kTickNs = 5000000;
      if (toNs < kTickNs) break;
      // From the tick before the window on, for its previous present.
      const int64_t first = std::max<int64_t>(fromNs - kTickNs, 0) / kNsPerSecond;
      if (first > 0) previous = (first - 1) * kNsPerSecond + kTickNs;
      for (int64_t s = first; s * kNsPerSecond + kTickNs <= toNs; ++s) {
        each(s * kNsPerSecond + kTickNs, kNsPerSecond);
      }
      break;
    }
    case Drawing::bootOnly:
      for (int64_t i = 0; i < 2; ++i) each(kNsPerSecond + i * periodNs, periodNs);
      break;
  }
}

}  // namespace

// Its message begins with a line feed: after an output that ends in a blank
// line that is the blank line, after any other there is one more.
std::string withTimeoutSuffix(const DeviceConfig& config, std::string out) {
  if (!config.timeoutSuffix) return out;
  if (out.size() < 2 || out.compare(out.size() - 2, 2, "\n\n") != 0) out += "\n";
  return out + "*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT (10000ms) EXPIRED ***\n";
}

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

int64_t vsyncAtOrAfter(int64_t ns, int64_t periodNs) {
  return std::max<int64_t>((ns + periodNs - 1) / periodNs, 1) * periodNs;
}

std::string layerListing(const DeviceConfig& config, std::optional<int64_t> appStartNs) {
  std::string out;
  if (config.android != kAndroid14Qpr2) {
    for (const Layer& layer : layersOf(config, appStartNs)) out += layer.line + "\n";
  }
  return withTimeoutSuffix(config, std::move(out));
}

std::string frameLayerName(const DeviceConfig& config, int64_t appStartNs) {
  for (const Layer& layer : layersOf(config, appStartNs)) {
    if (layer.drawing == Drawing::appFrames) return layer.name;
  }
  return "";
}

std::string latencyOutput(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                          int64_t nowNs, const std::string& name) {
  std::string out = prefixLine(config, nowNs) + std::to_string(refreshPeriodNs(config)) + "\n";
  const std::vector<Layer> layers = layersOf(config, appStartNs);
  const auto layer = std::find_if(layers.begin(), layers.end(),
                                  [&name](const Layer& l) { return l.name == name; });
  // The new front end keeps no frames for this command.
  if (layer == layers.end() || config.android == kAndroid14Qpr2) {
    return withTimeoutSuffix(config, std::move(out));
  }
  std::vector<Frame> frames = framesOf(layer->drawing, config, appStartNs, nowNs);
  if (config.latencyRows > 0) {
    frames.resize(std::min(frames.size(), static_cast<size_t>(config.latencyRows)));
  } else {
    for (size_t i = frames.size(); i < kLatencySlots; ++i) out += "0\t0\t0\n";
  }
  for (auto f = frames.rbegin(); f != frames.rend(); ++f) {
    out += std::to_string(f->desiredNs) + "\t" + std::to_string(f->actualNs) + "\t" +
           std::to_string(f->readyNs) + "\n";
  }
  out += "\n";
  return withTimeoutSuffix(config, std::move(out));
}

std::vector<int64_t> presentedFrames(const DeviceConfig& config, int64_t appStartNs, int64_t fromNs,
                                     int64_t toNs) {
  std::vector<int64_t> presents;
  forEachAppFrame(config, appStartNs, fromNs, toNs,
                  [&presents](const ShownFrame& frame) { presents.push_back(frame.presentNs); });
  return presents;
}

void forEachAppFrame(const DeviceConfig& config, int64_t appStartNs, int64_t fromNs, int64_t toNs,
                     const std::function<void(const ShownFrame&)>& shown) {
  if (toNs <= fromNs || toNs < appStartNs) return;
  const int64_t periodNs = refreshPeriodNs(config);
  const AppTimeline timeline(config, appStartNs, toNs + 1);
  // Frames before this one reach the compositor before its ideal time, at or
  // before the last vsync at or before fromNs, and are shown by then.
  const int64_t lastVsyncNs = std::max<int64_t>(fromNs, 0) / periodNs * periodNs;
  std::optional<Drawn> frame = timeline.lastAtOrBefore(lastVsyncNs);
  // The layer's latest present so far; the frame before the first walked
  // one holds a vsync of its own, or shares the vsync of one that does.
  int64_t previous = -1;
  if (frame) {
    if (const auto before = timeline.lastAtOrBefore(frame->idealNs - 1))
      previous = vsyncAtOrAfter(before->queuedNs, periodNs);
  } else {
    frame = timeline.firstAtOrAfter(appStartNs);
  }
  // Held back until the frames that lose its vsync to it are counted.
  std::optional<ShownFrame> last;
  for (int step = 0; frame && frame->queuedNs <= toNs && step < kMaxTruthSteps; ++step) {
    const int64_t vsync = vsyncAtOrAfter(frame->queuedNs, periodNs);
    if (vsync == previous) {
      if (last && last->presentNs == vsync) ++last->droppedAfter;
    } else {
      if (vsync > fromNs && vsync <= toNs) {
        if (last) shown(*last);
        const int64_t paceNs = kNsPerSecond / timeline.fpsOf(frame->seg);
        last = ShownFrame{vsync, frame->queuedNs, previous, paceNs, frame->k != 0, 0};
      }
      previous = vsync;
    }
    frame = timeline.firstAtOrAfter(frame->idealNs + 1);
  }
  if (last) shown(*last);
}

std::vector<DrawingLayer> drawingLayers(const DeviceConfig& config,
                                        std::optional<int64_t> appStartNs) {
  std::vector<DrawingLayer> drawing;
  for (const Layer& layer : layersOf(config, appStartNs)) {
    if (layer.drawing != Drawing::nothing) drawing.push_back({layer.name, ofApp(layer.drawing)});
  }
  return drawing;
}

void forEachShownFrame(const DeviceConfig& config, std::optional<int64_t> appStartNs,
                       const std::string& name, int64_t fromNs, int64_t toNs,
                       const std::function<void(const ShownFrame&)>& shown) {
  for (const Layer& layer : layersOf(config, appStartNs)) {
    if (layer.name != name) continue;
    if (layer.drawing == Drawing::appFrames) {
      forEachAppFrame(config, *appStartNs, fromNs, toNs, shown);
    } else {
      forEachSystemFrame(layer.drawing, config, appStartNs, fromNs, toNs, shown);
    }
    return;
  }
}

}  // namespace sim
