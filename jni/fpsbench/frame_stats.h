#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "fpsbench/timing_row.h"

// The frame statistics of GET_FRAMESTATS: every frame a layer presented
// since the previous tick, found by its actual present time (a latency row's
// second column), so that a frame seen in two ticks' outputs counts once and
// none is lost while a tick brings fewer frames than an output holds.
//
// Everything here is pure: the outputs, the layer names and the tick times
// are parameters.

// Frames longer than twice the mean of the three before them are a jank when
// longer than two frames of a 24 FPS film, a big jank beyond three.
constexpr uint64_t kJankNs = 83300000;
constexpr uint64_t kBigJankNs = 125000000;

// What a layer's frames leave for the next tick: the newest frame counted
// and the frame times before it, which judge the next frame's jank.
struct LayerTrack {
  uint64_t lastPresent = 0;  // 0: no frame counted yet
  uint64_t recent[3] = {};   // oldest first
  unsigned recentCount = 0;
  uint64_t seenInTick = 0;
};

// A device's output holds 127 rows; of one that runs on (a dumpsys gone
// wrong) the percentiles see the last this many frames, so that its length
// costs no memory.
constexpr size_t kMaxFrameTimes = 1024;

// What one layer's latency output gave in one tick.
struct LayerFrames {
  bool hasRows = false;    // it holds a frame at all, new or old
  size_t rows = 0;         // rows of three numbers, empty slots included
  size_t frames = 0;       // frames newer than the cutoff
  uint64_t periodNs = 0;   // 0: no period line
  size_t timedFrames = 0;  // the new frames whose time is known
  uint64_t spanNs = 0;     // the sum of their times
  uint64_t maxNs = 0;
  unsigned jank = 0;
  unsigned bigJank = 0;
  uint64_t jankNs = 0;  // the time spent in jank frames
  unsigned missedVsyncs = 0;
};

// Reads one latency output line by line, with the track the layer had. The
// first line is the refresh period, unless SurfaceFlinger put a line about
// its lock before it ("SurfaceFlinger appears to be unresponsive…",
// "Dumping without lock after timeout: …"); any other line that is not a
// whole row (a blank line, dumpsys' "*** SERVICE … DUMP TIMEOUT …" after a
// timeout) holds no frame.
class FrameCounter {
 public:
  // Frames at or before cutoff are not new. frameTimes receives the time of
  // every new frame whose previous frame is known, the last kMaxFrameTimes
  // of them when there are more.
  FrameCounter(const LayerTrack& track, uint64_t cutoff, std::vector<uint64_t>* frameTimes);

  void firstLine(const char* line);
  void row(const char* line, const TimingRow& row);

  const LayerFrames& frames() const { return frames_; }
  // The track for the next tick.
  LayerTrack track() const;

 private:
  // The frame times before the next frame, which judge its jank.
  void addRecent(uint64_t frameNs);
  void judge(uint64_t frameNs);

  const LayerTrack before_;
  const uint64_t cutoff_;
  std::vector<uint64_t>* frameTimes_;
  bool awaitingPeriod_ = false;
  bool havePrevious_ = false;
  uint64_t previous_ = 0;
  uint64_t recent_[3] = {};
  unsigned recentCount_ = 0;
  LayerFrames frames_;
};

// What GET_FRAMESTATS tells of a tick.
struct FrameStats {
  enum class State { kCollecting, kNoLayer, kNoFrames };
  // Latency outputs give each frame's present time; the compositor's time
  // statistics give counters and histograms of whole milliseconds.
  enum class Source { kNone, kLatency, kTimeStats };
  State state = State::kCollecting;
  Source source = Source::kNone;
  // Whether a tick has given the window's figures (not before the first).
  bool measured = false;
  uint64_t windowNs = 0;
  size_t frames = 0;
  // The frames whose time is known, and the sum of their times.
  size_t timedFrames = 0;
  uint64_t spanNs = 0;
  uint64_t p50Ns = 0;
  uint64_t p95Ns = 0;
  uint64_t maxNs = 0;
  unsigned jank = 0;
  unsigned bigJank = 0;
  uint64_t jankNs = 0;
  unsigned missedVsyncs = 0;
  uint64_t periodNs = 0;  // 0: unknown
  bool hasLayer = false;
  std::string layer;
  // The phone's own verdict (time statistics only): janky frames, those
  // blamed on the app and those blamed on the compositor.
  bool hasOsJank = false;
  uint64_t osJank = 0;
  uint64_t osJankApp = 0;
  uint64_t osJankSf = 0;
};

// The reply: "name value" lines, "NA" for what is unknown. stats is null
// while no collection runs.
std::string frameStatsText(const FrameStats* stats);

// Reads of a layer between ticks, so that an output that holds fewer
// frames than a tick brings (64 rows at 120 FPS, 127 at 144) loses none.
struct ExtraReads {
  std::string layer;
  // Reads a second, the tick's own included; 1: none between ticks.
  unsigned perSecond = 1;
};

// An output is nearly full when a second brings at least this share of the
// rows it holds (in %): frames may then fall out of it between two reads.
constexpr unsigned kNearlyFullPct = 90;
// Between reads, a layer should bring at most this share of its rows.
constexpr unsigned kReadEveryPct = 75;
constexpr unsigned kMaxReadsPerSecond = 4;

// How often to read an output of `rows` rows of a layer that shows
// timedFrames frames in spanNs: 1 unless it is nearly full.
unsigned readsPerSecond(size_t rows, size_t timedFrames, uint64_t spanNs);

// Adds what a later read of the same layer counted (frames newer than
// everything in *sum) to *sum; the rows are the later output's, which say
// how full the layer's output now runs.
void addLayerFrames(LayerFrames* sum, const LayerFrames& more);

// The statistics of a collection, tick after tick: the tracks of the layers
// the last listing held, and the best layer of the running tick.
class FrameTracker {
 public:
  // A tick whose commands start at monotonic time nowNs.
  void beginTick(uint64_t nowNs);
  // Layer by layer, in listing order: a counter for the named layer (only
  // one at a time), then endLayer with the same name and what it counted.
  FrameCounter counterFor(const std::string& name);
  void endLayer(const std::string& name, const FrameCounter& counter);
  // The figures of the tick; layersListed: whether any layer matched.
  FrameStats endTick(bool layersListed);

  // After endTick: how often the tick's layer wants reading, between this
  // tick and the next.
  const ExtraReads& extraReads() const { return extra_; }
  // Between ticks, the extra reads of that layer: a counter as counterFor
  // gives, then endExtraRead with what it counted, which the next tick adds
  // to the layer's frames.
  FrameCounter counterForExtraRead();
  void endExtraRead(const FrameCounter& counter);

 private:
  std::unordered_map<std::string, LayerTrack> tracks_;
  // The track of the layer between counterFor and endLayer; the map's
  // elements stay where they are while it grows.
  LayerTrack* current_ = nullptr;
  uint64_t tick_ = 0;
  uint64_t tickNs_ = 0;
  uint64_t previousTickNs_ = 0;
  // The newest frame of any layer in the previous ticks: a layer seen for
  // the first time counts only what came after it.
  uint64_t newestPresent_ = 0;
  uint64_t tickNewest_ = 0;
  uint64_t tickPeriodNs_ = 0;
  bool haveBest_ = false;
  LayerFrames best_;
  std::string bestName_;
  std::vector<uint64_t> bestTimes_;
  std::vector<uint64_t> times_;
  ExtraReads extra_;
  // What the extra reads since the last tick counted, of extra_.layer.
  LayerFrames carried_;
  std::vector<uint64_t> carriedTimes_;
};
