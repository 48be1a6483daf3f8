#include "fpsbench/frame_stats.h"

#include <inttypes.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>

#include "fields.h"

namespace {

// The period line's value, or 0 when the line does not start with a number
// that could be one.
uint64_t periodOf(const char* line) {
  uint64_t value = 0;
  if (!scanTimingValue(&line, &value) || value >= static_cast<uint64_t>(INT64_MAX)) return 0;
  return value;
}

}  // namespace

FrameCounter::FrameCounter(const LayerTrack& track, uint64_t cutoff,
                           std::vector<uint64_t>* frameTimes)
    : before_(track), cutoff_(cutoff), frameTimes_(frameTimes) {
  frameTimes_->clear();
}

void FrameCounter::firstLine(const char* line) {
  frames_.periodNs = periodOf(line);
  // A line about SurfaceFlinger's lock comes before the period; a period
  // line always starts with a digit.
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  awaitingPeriod_ = !(*p >= '0' && *p <= '9');
}

void FrameCounter::addRecent(uint64_t frameNs) {
  if (recentCount_ == 3) {
    recent_[0] = recent_[1];
    recent_[1] = recent_[2];
    recent_[2] = frameNs;
  } else {
    recent_[recentCount_++] = frameNs;
  }
}

void FrameCounter::judge(uint64_t frameNs) {
  if (recentCount_ == 3) {
    // Longer than twice the mean of the three before it, in integers: a
    // frame time can be any 63-bit number.
    const unsigned __int128 three = static_cast<unsigned __int128>(frameNs) * 3;
    const unsigned __int128 twiceSum =
        (static_cast<unsigned __int128>(recent_[0]) + recent_[1] + recent_[2]) * 2;
    if (three > twiceSum && frameNs > kJankNs) {
      ++frames_.jank;
      frames_.jankNs += frameNs;
      if (frameNs > kBigJankNs) ++frames_.bigJank;
    }
  }
  // Longer than one and a half refresh periods: a vsync went by without it.
  if (frames_.periodNs != 0 && static_cast<unsigned __int128>(frameNs) * 2 >
                                   static_cast<unsigned __int128>(frames_.periodNs) * 3) {
    ++frames_.missedVsyncs;
  }
}

void FrameCounter::row(const char* line, const TimingRow& row) {
  if (awaitingPeriod_) {
    awaitingPeriod_ = false;
    frames_.periodNs = periodOf(line);
    return;
  }
  if (row.complete) ++frames_.rows;
  // Zero rows are empty slots, a pending frame has no present time yet, and
  // a present time past INT64_MAX is not a time at all.
  if (!row.complete || !row.startedNonZero || !row.readyNonZero || row.pending ||
      row.present == 0 || row.present >= static_cast<uint64_t>(INT64_MAX)) {
    return;
  }
  frames_.hasRows = true;
  const uint64_t present = row.present;
  // A frame out of order is no frame of this timeline.
  if (havePrevious_ && present <= previous_) return;
  if (present <= cutoff_) {
    if (havePrevious_) addRecent(present - previous_);
    // The track knows the frame times before this one even where this
    // output no longer holds them.
    if (present == before_.lastPresent && before_.recentCount >= recentCount_) {
      std::copy(before_.recent, before_.recent + 3, recent_);
      recentCount_ = before_.recentCount;
    }
  } else {
    ++frames_.frames;
    if (havePrevious_) {
      const uint64_t frameNs = present - previous_;
      judge(frameNs);
      addRecent(frameNs);
      frames_.spanNs += frameNs;
      frames_.maxNs = std::max(frames_.maxNs, frameNs);
      if (frameTimes_->size() < kMaxFrameTimes) {
        frameTimes_->push_back(frameNs);
      } else {
        (*frameTimes_)[frames_.timedFrames % kMaxFrameTimes] = frameNs;
      }
      ++frames_.timedFrames;
    } else {
      // Frames before this one were lost between two outputs: what came
      // before it is unknown.
      recentCount_ = 0;
    }
  }
  previous_ = present;
  havePrevious_ = true;
}

LayerTrack FrameCounter::track() const {
  // An output that ends before the newest frame counted (an older one,
  // replayed) must not bring back frames already counted.
  if (!havePrevious_ || previous_ < before_.lastPresent) return before_;
  LayerTrack track;
  track.lastPresent = previous_;
  std::copy(recent_, recent_ + 3, track.recent);
  track.recentCount = recentCount_;
  return track;
}

unsigned readsPerSecond(size_t rows, size_t timedFrames, uint64_t spanNs) {
  if (rows == 0 || timedFrames == 0 || spanNs == 0) return 1;
  const double perSecond = static_cast<double>(timedFrames) * 1e9 / static_cast<double>(spanNs);
  if (perSecond * 100 < static_cast<double>(rows) * kNearlyFullPct) return 1;
  const double reads = perSecond * 100 / (static_cast<double>(rows) * kReadEveryPct);
  if (!(reads < kMaxReadsPerSecond)) return kMaxReadsPerSecond;
  return std::max(2u, static_cast<unsigned>(std::ceil(reads)));
}

void addLayerFrames(LayerFrames* sum, const LayerFrames& more) {
  sum->hasRows = sum->hasRows || more.hasRows;
  sum->rows = more.rows;
  sum->frames += more.frames;
  if (sum->periodNs == 0) sum->periodNs = more.periodNs;
  sum->timedFrames += more.timedFrames;
  sum->spanNs += more.spanNs;
  sum->maxNs = std::max(sum->maxNs, more.maxNs);
  sum->jank += more.jank;
  sum->bigJank += more.bigJank;
  sum->jankNs += more.jankNs;
  sum->missedVsyncs += more.missedVsyncs;
}

namespace {

// Adds frame times to those of earlier reads, keeping the newest
// kMaxFrameTimes when there are more.
void addTimes(std::vector<uint64_t>* to, const std::vector<uint64_t>& times) {
  to->insert(to->end(), times.begin(), times.end());
  if (to->size() > kMaxFrameTimes) to->erase(to->begin(), to->end() - kMaxFrameTimes);
}

}  // namespace

void FrameTracker::beginTick(uint64_t nowNs) {
  ++tick_;
  previousTickNs_ = tickNs_;
  tickNs_ = nowNs;
  tickNewest_ = 0;
  tickPeriodNs_ = 0;
  haveBest_ = false;
  best_ = LayerFrames();
  bestName_.clear();
  bestTimes_.clear();
}

FrameCounter FrameTracker::counterFor(const std::string& name) {
  // A layer new to the tracks gets one with no frame, which endLayer fills.
  current_ = &tracks_[name];
  if (current_->lastPresent != 0) return FrameCounter(*current_, current_->lastPresent, &times_);
  return FrameCounter(LayerTrack(), newestPresent_, &times_);
}

void FrameTracker::endLayer(const std::string& name, const FrameCounter& counter) {
  LayerTrack& track = *current_;
  track = counter.track();
  track.seenInTick = tick_;
  tickNewest_ = std::max(tickNewest_, track.lastPresent);
  LayerFrames frames = counter.frames();
  if (tickPeriodNs_ == 0) tickPeriodNs_ = frames.periodNs;
  // Frames the reads between ticks counted come before this output's new
  // ones, which are newer than all of them.
  if (name == extra_.layer && (carried_.hasRows || carried_.frames > 0)) {
    LayerFrames read = frames;
    frames = carried_;
    addLayerFrames(&frames, read);
    addTimes(&carriedTimes_, times_);
    times_.swap(carriedTimes_);
  }
  // The layer with the most new frames; one without a single frame never
  // wins over one with frames, and ties go to the earlier.
  const bool better = !haveBest_ || (frames.hasRows && !best_.hasRows) ||
                      (frames.hasRows == best_.hasRows && frames.frames > best_.frames);
  if (better) {
    haveBest_ = true;
    best_ = frames;
    bestName_ = name;
    bestTimes_.swap(times_);
  }
}

FrameCounter FrameTracker::counterForExtraRead() { return counterFor(extra_.layer); }

void FrameTracker::endExtraRead(const FrameCounter& counter) {
  const uint64_t seen = current_->seenInTick;
  *current_ = counter.track();
  current_->seenInTick = seen;
  addLayerFrames(&carried_, counter.frames());
  addTimes(&carriedTimes_, times_);
}

FrameStats FrameTracker::endTick(bool layersListed) {
  carried_ = LayerFrames();
  carriedTimes_.clear();
  extra_ = ExtraReads();
  // Only the layers of this listing keep their tracks.
  for (auto it = tracks_.begin(); it != tracks_.end();) {
    it = it->second.seenInTick == tick_ ? std::next(it) : tracks_.erase(it);
  }
  // Until a frame has been seen, every frame an output holds is new.
  const bool firstTick = newestPresent_ == 0;
  newestPresent_ = std::max(newestPresent_, tickNewest_);

  FrameStats stats;
  stats.periodNs = best_.hasRows && best_.periodNs != 0 ? best_.periodNs : tickPeriodNs_;
  if (!layersListed) {
    stats.state = FrameStats::State::kNoLayer;
    return stats;
  }
  stats.source = FrameStats::Source::kLatency;
  if (!haveBest_ || !best_.hasRows) {
    stats.state = FrameStats::State::kNoFrames;
    return stats;
  }
  stats.state = FrameStats::State::kCollecting;
  extra_.layer = bestName_;
  extra_.perSecond = readsPerSecond(best_.rows, best_.timedFrames, best_.spanNs);
  stats.hasLayer = true;
  stats.layer = bestName_;
  stats.measured = true;
  // With no frame seen before, the window is the span of the frames the
  // output held, as far back as it goes.
  stats.windowNs = firstTick ? best_.spanNs : tickNs_ - previousTickNs_;
  stats.frames = best_.frames;
  stats.timedFrames = best_.timedFrames;
  stats.maxNs = best_.maxNs;
  stats.spanNs = best_.spanNs;
  stats.jank = best_.jank;
  stats.bigJank = best_.bigJank;
  stats.jankNs = best_.jankNs;
  stats.missedVsyncs = best_.missedVsyncs;
  if (!bestTimes_.empty()) {
    std::sort(bestTimes_.begin(), bestTimes_.end());
    const size_t n = bestTimes_.size();
    // Nearest rank: a frame time that was, not one between two.
    auto rank = [&](size_t percent) {
      return bestTimes_[std::max<size_t>((n * percent + 99) / 100, 1) - 1];
    };
    stats.p50Ns = rank(50);
    stats.p95Ns = rank(95);
  }
  return stats;
}

namespace {

const char* stateName(FrameStats::State state) {
  switch (state) {
    case FrameStats::State::kCollecting:
      return "collecting";
    case FrameStats::State::kNoLayer:
      return "no-layer";
    case FrameStats::State::kNoFrames:
      return "no-frames";
  }
  return "collecting";
}

const char* sourceName(FrameStats::Source source) {
  switch (source) {
    case FrameStats::Source::kNone:
      break;
    case FrameStats::Source::kLatency:
      return "latency";
    case FrameStats::Source::kTimeStats:
      return "timestats";
  }
  return "NA";
}

// value / divisor (not 0) with `decimals` decimals, rounded half up, in
// integers: a long division, digit by digit, so that no step divides 128-bit
// numbers, which would call a compiler runtime function that Android's libc
// does not carry.
std::string decimal(uint64_t value, uint64_t divisor, int decimals) {
  uint64_t whole = value / divisor;
  uint64_t rest = value % divisor;
  uint64_t part = 0;
  uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) {
    // rest < divisor, so ten times it holds divisor fewer than ten times.
    unsigned __int128 r = static_cast<unsigned __int128>(rest) * 10;
    uint64_t digit = 0;
    while (r >= divisor) {
      r -= divisor;
      ++digit;
    }
    part = part * 10 + digit;
    rest = static_cast<uint64_t>(r);
    scale *= 10;
  }
  if (static_cast<unsigned __int128>(rest) * 2 >= divisor && ++part == scale) {
    part = 0;
    ++whole;
  }
  char buf[48];
  if (decimals == 0) {
    snprintf(buf, sizeof buf, "%" PRIu64, whole);
  } else {
    snprintf(buf, sizeof buf, "%" PRIu64 ".%0*" PRIu64, whole, decimals, part);
  }
  return buf;
}

// A time in ns as field f writes its milliseconds.
std::string ms(const field::Field& f, uint64_t ns) {
  return decimal(ns, 1000000, field::decimalsOf(f));
}

}  // namespace

std::string frameStatsText(const FrameStats* stats) {
  using namespace field;
  const std::string na = "NA";
  const bool measured = stats != nullptr && stats->measured;
  const bool timed = measured && stats->timedFrames > 0;
  std::string fps = na;
  if (measured && stats->source == FrameStats::Source::kTimeStats) {
    // Counters give frames, not their times: the rate is over the window.
    if (stats->windowNs != 0) {
      fps = decimal(std::min<uint64_t>(stats->frames, UINT64_MAX / 1000000000u) * 1000000000u,
                    stats->windowNs, decimalsOf(kFps));
    }
  } else if (timed) {
    fps = decimal(std::min<uint64_t>(stats->timedFrames, UINT64_MAX / 1000000000u) * 1000000000u,
                  stats->spanNs, decimalsOf(kFps));
  } else if (measured && stats->frames == 0) {
    fps = decimal(0, 1, decimalsOf(kFps));
  }
  const uint64_t period = stats != nullptr ? stats->periodNs : 0;
  std::string text;
  const auto line = [&text](const Field& f, const std::string& value) {
    text += f.name;
    text += ' ';
    text += value;
    text += '\n';
  };
  line(kState, stats == nullptr ? "idle" : stateName(stats->state));
  line(kFps, fps);
  line(kFrames, measured ? std::to_string(stats->frames) : na);
  line(kWindowMs, measured ? decimal(stats->windowNs, 1000000, decimalsOf(kWindowMs)) : na);
  line(kFrameMsP50, timed ? ms(kFrameMsP50, stats->p50Ns) : na);
  line(kFrameMsP95, timed ? ms(kFrameMsP95, stats->p95Ns) : na);
  line(kFrameMsMax, timed ? ms(kFrameMsMax, stats->maxNs) : na);
  line(kJank, measured ? std::to_string(stats->jank) : na);
  line(kBigJank, measured ? std::to_string(stats->bigJank) : na);
  line(kMissedVsyncs, measured && period != 0 ? std::to_string(stats->missedVsyncs) : na);
  line(kRefreshHz, period != 0 ? decimal(1000000000u, period, decimalsOf(kRefreshHz)) : na);
  line(kLayer, stats != nullptr && stats->hasLayer ? stats->layer : na);
  line(kJankMs, measured ? ms(kJankMs, stats->jankNs) : na);
  line(kSource, stats != nullptr ? sourceName(stats->source) : na);
  const bool osJank = measured && stats->hasOsJank;
  line(kOsJank, osJank ? std::to_string(stats->osJank) : na);
  line(kOsJankApp, osJank ? std::to_string(stats->osJankApp) : na);
  line(kOsJankSf, osJank ? std::to_string(stats->osJankSf) : na);
  return text;
}
