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

std::vector<std::unique_ptr<Source>> monitorSources() {
  std::vector<std::unique_ptr<Source>> sources;
  sources.push_back(std::make_unique<FpsSource>());
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
