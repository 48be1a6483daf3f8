#include "sources.h"

#include <stdio.h>

#include <utility>

#include "replies.h"

namespace perfprobe {

namespace {

// The frame rate a game shows as slow: the summary counts the seconds below
// it and the plot draws it.
constexpr double kSlowFps = 30;

size_t seriesCount(const std::vector<Kind>& kinds) {
  size_t n = 0;
  for (const Kind& kind : kinds) n += kind.series.size();
  return n;
}

// The last published frame rate (GET_FPS).
class FpsSource : public Source {
 public:
  std::optional<std::vector<Kind>> start(const Ask&) override {
    return std::vector<Kind>{fpsKind()};
  }

  std::optional<std::vector<Value>> sample(const Ask& ask) override {
    const auto reply = ask(kGetFps, [](const std::string& r) { return parseFps(r).has_value(); });
    if (!reply) return std::nullopt;
    return std::vector<Value>{static_cast<double>(*parseFps(*reply))};
  }
};

bool isFrameStats(const std::string& r) { return parseFrameStats(r).has_value(); }

// The frame statistics of the daemon's last tick (GET_FRAMESTATS) when the
// daemon gives them, else the last published rate (GET_FPS). A daemon that
// does not know the keyword gives no reply at all, so one short try at the
// start decides, and the rest of the run keeps the columns it chose.
class FrameSource : public Source {
 public:
  explicit FrameSource(Ask probe) : probe_(std::move(probe)) {}

  std::optional<std::vector<Kind>> start(const Ask& ask) override {
    stats_ = probe_ && probe_(request_, isFrameStats).has_value();
    if (!stats_) return fps_.start(ask);
    return frameStatsKinds();
  }

  std::optional<std::vector<Value>> sample(const Ask& ask) override {
    if (!stats_) return fps_.sample(ask);
    const auto reply = ask(request_, isFrameStats);
    if (!reply) return std::nullopt;
    const FrameStats s = *parseFrameStats(*reply);
    // In the order of frameStatsKinds' series.
    return std::vector<Value>{s.fps,          s.frames,     s.windowMs, s.frameMsP50,
                              s.frameMsP95,   s.frameMsMax, s.jank,     s.bigJank,
                              s.missedVsyncs, s.refreshHz,  s.jankMs};
  }

 private:
  // Its reply is held to three times the request beyond loopback.
  const std::string request_ = paddedRequest(kGetFrameStats);
  const Ask probe_;
  FpsSource fps_;
  bool stats_ = false;
};

// Every CPU's frequency (GET_SIMPLE). The columns are those of the first
// report: the daemon's list changes only when some client starts a
// collection again.
class CpuSource : public Source {
 public:
  std::optional<std::vector<Kind>> start(const Ask& ask) override {
    const auto reply = ask(kGetSimple, isReport);
    if (!reply) return std::nullopt;
    count_ = parseCpuReport(*reply)->size();
    return std::vector<Kind>{cpuKind(count_)};
  }

  std::optional<std::vector<Value>> sample(const Ask& ask) override {
    const auto reply = ask(kGetSimple, isReport);
    if (!reply) return std::nullopt;
    const std::vector<Khz> report = *parseCpuReport(*reply);
    if (report.size() != count_ && !warned_) {
      warned_ = true;
      fprintf(stderr,
              "perfprobe: the daemon now lists %zu CPUs instead of %zu; the columns "
              "stay those of the first report\n",
              report.size(), count_);
    }
    const std::vector<Khz> cpus = byCpuNumber(report);
    std::vector<Value> values(count_);
    for (size_t i = 0; i < count_ && i < cpus.size(); ++i) {
      if (cpus[i]) values[i] = static_cast<double>(*cpus[i]);
    }
    return values;
  }

 private:
  static bool isReport(const std::string& r) { return parseCpuReport(r).has_value(); }

  size_t count_ = 0;
  bool warned_ = false;
};

}  // namespace

Kind fpsKind() {
  Kind kind;
  kind.liveWidth = 6;
  kind.figures = {
      {Figure::kCount, "samples", "with a frame rate"},
      {Figure::kMin, "min", "min"},
      {Figure::kMedian, "median", "median"},
      {Figure::kMean, "mean", "mean"},
      {Figure::kP5, "p5", "5th percentile"},
      {Figure::kSecondsBelow, "seconds_below_30", "below 30 FPS", kSlowFps},
  };
  kind.panel.ylabel = "frames per second";
  kind.panel.style = "with linespoints lw 2 pt 7 ps 0.6";
  kind.panel.fromZero = true;
  kind.panel.guide = Panel::Guide{kSlowFps, "30 FPS"};
  kind.panel.noSeries = kind.panel.noValues = "no frame rate";
  kind.series = {{"fps", "FPS", {}}};
  return kind;
}

std::vector<Kind> frameStatsKinds() {
  Kind fps = fpsKind();
  fps.decimals = 1;

  // What each sample covers: the divisor of the rates below.
  Kind window;
  window.panel.drawn = false;
  window.series = {{"frames", "frames", {}, false}, {"window_ms", "window", {}, false}};

  Kind frameTime;
  frameTime.decimals = 2;
  frameTime.liveWidth = 13;
  frameTime.panel.ylabel = "frame time (ms)";
  frameTime.panel.style = "with lines lw 1.5";
  frameTime.panel.fromZero = true;
  frameTime.panel.noSeries = frameTime.panel.noValues = "no frame time";
  // At the sample's longest frame, since its jank frames are its longest.
  frameTime.panel.marks = {
      {"jank", "frame_ms_max", "with points pt 7 ps 1.2 lc rgb 'orange'", "jank"},
      {"big_jank", "frame_ms_max", "with points pt 5 ps 1.6 lc rgb 'red'", "big jank"},
  };
  frameTime.series = {{"frame_ms_p50", "p50", {}, false},
                      {"frame_ms_p95", "p95", {}},
                      {"frame_ms_max", "max", {}, false}};

  // Counts of frames, as a rate per 10 minutes of the windows sampled.
  Kind jank;
  Figure per10Min{Figure::kRatio, "per_10_min", "per 10 min"};
  per10Min.over = "window_ms";
  per10Min.per = 600000;
  jank.figures = {per10Min};
  jank.panel.drawn = false;
  jank.series = {{"jank", "jank", {}},
                 {"big_jank", "big jank", {}, false},
                 {"missed_vsyncs", "missed vsyncs", {}, false}};

  Kind refresh;
  refresh.unit = "Hz";
  refresh.decimals = 1;
  refresh.panel.drawn = false;
  refresh.series = {{"refresh", "refresh rate", {}, false}};

  // Stutter: the share of the time sampled that went to jank frames.
  Kind jankTime;
  jankTime.unit = "ms";
  jankTime.decimals = 2;
  Figure stutter{Figure::kRatio, "stutter_pct", "stutter"};
  stutter.over = "window_ms";
  stutter.per = 100;
  stutter.suffix = "%";
  jankTime.figures = {stutter};
  jankTime.panel.drawn = false;
  jankTime.series = {{"jank", "jank time", {}, false}};

  return {fps, window, frameTime, jank, refresh, jankTime};
}

Kind cpuKind(size_t count) {
  Kind kind;
  kind.unit = "kHz";
  kind.shownUnit = "MHz";
  kind.shownPer = 1000;
  kind.group = Kind::Group{"cpu_khz", "cpus", "CPU"};
  kind.figures = {{Figure::kMean, "mean_mhz", "mean MHz"}, {Figure::kMax, "max_mhz", "max MHz"}};
  kind.panel.ylabel = "CPU frequency (MHz)";
  kind.panel.style = "with lines lw 1.5";
  kind.panel.noSeries = "no CPU listed";
  kind.panel.noValues = "no CPU frequency";
  for (size_t i = 0; i < count; ++i) {
    const std::string name = "cpu" + std::to_string(i);
    kind.series.push_back({name, name, {}});
  }
  return kind;
}

std::vector<std::unique_ptr<Source>> monitorSources(Ask probe) {
  std::vector<std::unique_ptr<Source>> sources;
  sources.push_back(std::make_unique<FrameSource>(std::move(probe)));
  sources.push_back(std::make_unique<CpuSource>());
  return sources;
}

Sources::Sources(std::vector<std::unique_ptr<Source>> sources) : sources_(std::move(sources)) {}

std::optional<std::vector<Kind>> Sources::start(const Ask& ask) {
  std::vector<Kind> all;
  counts_.clear();
  for (const auto& source : sources_) {
    auto kinds = source->start(ask);
    if (!kinds) return std::nullopt;
    counts_.push_back(seriesCount(*kinds));
    for (Kind& kind : *kinds) all.push_back(std::move(kind));
  }
  return all;
}

std::vector<Value> Sources::sample(const Ask& ask, bool* answered) {
  std::vector<Value> row;
  *answered = false;
  for (size_t i = 0; i < sources_.size() && i < counts_.size(); ++i) {
    auto values = sources_[i]->sample(ask);
    if (values) *answered = true;
    // Each source fills its own series and no other's, whatever it gave.
    if (!values) values.emplace();
    values->resize(counts_[i]);
    row.insert(row.end(), values->begin(), values->end());
  }
  return row;
}

}  // namespace perfprobe
