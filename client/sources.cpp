#include "sources.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <utility>

#include "device_stats.h"
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

// The zones a tester watches beside the hottest one: the skin (what a hand
// feels, and what many thermal policies cap at) and the battery. The first
// zone whose name holds each.
constexpr const char* kWatchedZones[] = {"skin", "batt"};

// GET_STATS' series, laid out from the first reply, and their values from
// any later one.
class DeviceSeries {
 public:
  explicit DeviceSeries(const DeviceStats& first);
  const std::vector<Kind>& kinds() const { return kinds_; }
  std::vector<Value> values(const DeviceStats& reply) const;

 private:
  // A reply's values by name, found once for all its series.
  struct Reading {
    std::map<std::string, Value> numbers;
    std::map<unsigned, CoreStats> cores;
    std::map<std::string, Value> zones;
  };
  using Get = std::function<Value(const Reading&)>;

  static Get number(const std::string& name);
  static Get core(unsigned cpu, std::optional<double> CoreStats::*member);
  // The first CPU of the cluster that has a value: they share one clock, and
  // an offline one has none.
  static Get firstOf(const Cluster& cluster, std::optional<double> CoreStats::*member);
  static Get meanOf(const Cluster& cluster, std::optional<double> CoreStats::*member);

  void add(Kind* kind, Series series, Get get);

  std::vector<Kind> kinds_;
  std::vector<Get> gets_;  // one per series, in the order of the kinds
};

DeviceSeries::Get DeviceSeries::number(const std::string& name) {
  return [name](const Reading& r) -> Value {
    const auto found = r.numbers.find(name);
    return found == r.numbers.end() ? std::nullopt : found->second;
  };
}

DeviceSeries::Get DeviceSeries::core(unsigned cpu, std::optional<double> CoreStats::*member) {
  return [cpu, member](const Reading& r) -> Value {
    const auto found = r.cores.find(cpu);
    return found == r.cores.end() ? std::nullopt : found->second.*member;
  };
}

DeviceSeries::Get DeviceSeries::firstOf(const Cluster& cluster,
                                        std::optional<double> CoreStats::*member) {
  return [cpus = cluster.cpus, member](const Reading& r) -> Value {
    for (unsigned cpu : cpus) {
      const auto found = r.cores.find(cpu);
      if (found != r.cores.end() && found->second.*member) return found->second.*member;
    }
    return std::nullopt;
  };
}

DeviceSeries::Get DeviceSeries::meanOf(const Cluster& cluster,
                                       std::optional<double> CoreStats::*member) {
  return [cpus = cluster.cpus, member](const Reading& r) -> Value {
    double sum = 0;
    size_t n = 0;
    for (unsigned cpu : cpus) {
      const auto found = r.cores.find(cpu);
      if (found == r.cores.end() || !(found->second.*member)) continue;
      sum += *(found->second.*member);
      ++n;
    }
    if (n == 0) return std::nullopt;
    return sum / static_cast<double>(n);
  };
}

void DeviceSeries::add(Kind* kind, Series series, Get get) {
  kind->series.push_back(std::move(series));
  gets_.push_back(std::move(get));
}

DeviceSeries::DeviceSeries(const DeviceStats& first) {
  const std::vector<CoreStats> cores = coreStats(first);
  const std::vector<Cluster> groups = clusters(cores);
  // By CPU number, as GET_SIMPLE's columns are.
  const size_t count = cores.empty() ? 0 : cores.back().cpu + 1;

  Kind perCore = cpuKind(count);
  perCore.panel.drawn = false;
  std::vector<Series> perCoreSeries;
  perCoreSeries.swap(perCore.series);
  for (size_t i = 0; i < count; ++i) {
    perCoreSeries[i].live = false;
    add(&perCore, perCoreSeries[i], core(static_cast<unsigned>(i), &CoreStats::khz));
  }
  kinds_.push_back(std::move(perCore));

  Kind clock;
  clock.unit = "kHz";
  clock.shownUnit = "MHz";
  clock.shownPer = 1000;
  clock.panel.ylabel = "CPU frequency (MHz)";
  clock.panel.style = "with lines lw 1.5";
  clock.panel.noSeries = "no CPU listed";
  clock.panel.noValues = "no CPU frequency";
  // A cluster of one CPU would take that CPU's own columns as cpu7.
  auto clusterName = [](const Cluster& group) { return "cluster" + group.name.substr(3); };
  for (const Cluster& group : groups) {
    add(&clock, {clusterName(group), group.name, {}}, firstOf(group, &CoreStats::khz));
  }
  for (const Cluster& group : groups) {
    add(&clock, {clusterName(group) + "_max", group.name + " max", {}, false, false},
        firstOf(group, &CoreStats::maxKhz));
  }
  kinds_.push_back(std::move(clock));

  Kind load;
  load.unit = "pct";
  load.decimals = 1;
  Figure mean{Figure::kMean, "mean_pct", "mean"};
  mean.suffix = "%";
  Figure max{Figure::kMax, "max_pct", "max"};
  max.suffix = "%";
  load.figures = {mean, max};
  load.panel.ylabel = "load (%)";
  load.panel.style = "with lines lw 1.5";
  load.panel.fromZero = true;
  load.panel.noValues = "no load";
  add(&load, {"cpu_load", "CPU load", {}}, number("cpu_load_pct"));
  for (const Cluster& group : groups) {
    add(&load, {clusterName(group) + "_load", group.name + " load", {}, false},
        meanOf(group, &CoreStats::loadPct));
  }
  add(&load, {"gpu_busy", "GPU busy", {}}, number("gpu_busy_pct"));
  kinds_.push_back(std::move(load));

  Kind coreLoad;
  coreLoad.unit = "pct";
  coreLoad.decimals = 1;
  coreLoad.group = Kind::Group{"core_load_pct", "core_loads", "CPU"};
  coreLoad.panel.drawn = false;
  for (size_t i = 0; i < count; ++i) {
    const std::string name = "cpu" + std::to_string(i);
    add(&coreLoad, {name + "_load", name, {}, false, false, false},
        core(static_cast<unsigned>(i), &CoreStats::loadPct));
  }
  kinds_.push_back(std::move(coreLoad));

  Kind gpu;
  gpu.unit = "kHz";
  gpu.shownUnit = "MHz";
  gpu.shownPer = 1000;
  gpu.panel.ylabel = "GPU frequency (MHz)";
  gpu.panel.style = "with lines lw 1.5";
  gpu.panel.noValues = "no GPU frequency";
  add(&gpu, {"gpu", "GPU", {}, false}, number("gpu_khz"));
  add(&gpu, {"gpu_max", "GPU max", {}, false}, number("gpu_max_khz"));
  kinds_.push_back(std::move(gpu));

  Kind temperature;
  temperature.unit = "C";
  temperature.decimals = 1;
  Figure hottest{Figure::kMax, "max_c", "max"};
  hottest.suffix = " °C";
  hottest.where = "zone";
  temperature.figures = {hottest};
  temperature.panel.ylabel = "temperature (°C)";
  temperature.panel.style = "with lines lw 1.5";
  temperature.panel.noValues = "no temperature";
  std::vector<std::string> zoneNames;
  for (const Zone& zone : zones(first)) zoneNames.push_back(zone.name);
  std::vector<std::string> watched;
  for (const char* part : kWatchedZones) {
    for (const std::string& name : zoneNames) {
      if (name.find(part) != std::string::npos) {
        watched.push_back(name);
        break;
      }
    }
  }
  for (const std::string& name : zoneNames) {
    const bool drawn = std::find(watched.begin(), watched.end(), name) != watched.end();
    add(&temperature, {"temp_" + name, name, {}, false, drawn, false},
        [name](const Reading& r) -> Value {
          const auto found = r.zones.find(name);
          return found == r.zones.end() ? std::nullopt : found->second;
        });
  }
  add(&temperature, {"temp_hottest", "hottest", {}}, [zoneNames](const Reading& r) -> Value {
    Value top;
    for (const std::string& name : zoneNames) {
      const auto found = r.zones.find(name);
      if (found != r.zones.end() && found->second && (!top || *found->second > *top)) {
        top = found->second;
      }
    }
    return top;
  });
  kinds_.push_back(std::move(temperature));

  Kind power;
  power.unit = "mW";
  Figure meanPower{Figure::kMean, "mean_mw", "mean"};
  meanPower.suffix = " mW";
  power.figures = {meanPower};
  power.panel.ylabel = "battery power (mW)";
  power.panel.style = "with lines lw 1.5";
  power.panel.noValues = "no battery power";
  add(&power, {"battery", "power", {}}, number("battery_mw"));
  kinds_.push_back(std::move(power));

  Kind level;
  level.unit = "pct";
  Figure drop{Figure::kDrop, "drop_pct", "drop"};
  drop.suffix = "%";
  level.figures = {drop};
  level.panel.drawn = false;
  add(&level, {"battery", "battery", {}, false}, number("battery_pct"));
  kinds_.push_back(std::move(level));

  // Figures the files keep, each in its unit.
  const struct {
    const char* unit;
    int decimals;
    const char* name;
    const char* field;
  } kept[] = {
      {"mV", 0, "battery", "battery_mv"},
      {"mA", 0, "battery", "battery_ma"},
      {"C", 1, "battery_temp", "battery_temp_c"},
      {"kB", 0, "mem_available", "mem_available_kb"},
  };
  for (const auto& k : kept) {
    Kind kind;
    kind.unit = k.unit;
    kind.decimals = k.decimals;
    kind.panel.drawn = false;
    add(&kind, {k.name, k.name, {}, false}, number(k.field));
    kinds_.push_back(std::move(kind));
  }

  Kind app;
  app.panel.drawn = false;
  add(&app, {"app_pids", "app processes", {}, false}, number("app_pids"));
  add(&app, {"app_threads", "app threads", {}, false}, number("app_threads"));
  kinds_.push_back(std::move(app));

  // What the app costs, and what measuring it does.
  Kind share;
  share.unit = "pct";
  share.decimals = 1;
  share.figures = {mean};
  share.panel.drawn = false;
  add(&share, {"app_cpu", "app CPU", {}, false}, number("app_cpu_pct"));
  add(&share, {"probe_cpu", "perfprobed CPU", {}, false}, number("probe_cpu_pct"));
  kinds_.push_back(std::move(share));

  Kind rss;
  rss.unit = "kB";
  Figure maxRss{Figure::kMax, "max_kb", "max"};
  maxRss.suffix = " kB";
  rss.figures = {maxRss};
  rss.panel.drawn = false;
  add(&rss, {"app_rss", "app RSS", {}, false}, number("app_rss_kb"));
  add(&rss, {"probe_rss", "perfprobed RSS", {}, false}, number("probe_rss_kb"));
  kinds_.push_back(std::move(rss));

  Kind uptime;
  uptime.unit = "ms";
  uptime.panel.drawn = false;
  add(&uptime, {"uptime", "uptime", {}, false}, number("uptime_ms"));
  kinds_.push_back(std::move(uptime));
}

std::vector<Value> DeviceSeries::values(const DeviceStats& reply) const {
  Reading r;
  for (const DeviceStats::Field& field : reply.fields) {
    r.numbers[field.name] = field.value ? statsNumber(*field.value) : std::nullopt;
  }
  for (const CoreStats& c : coreStats(reply)) r.cores[c.cpu] = c;
  for (const Zone& zone : zones(reply)) r.zones[zone.name] = zone.celsius;
  std::vector<Value> row;
  row.reserve(gets_.size());
  for (const Get& get : gets_) row.push_back(get(r));
  return row;
}

// The device's figures (GET_STATS) when the daemon gives them, else every
// CPU's frequency (GET_SIMPLE). As with the frames, one short try at the
// start decides; its reply lays out the columns, and is the first of the
// two that a load needs, so that the first sample has one.
class DeviceSource : public Source {
 public:
  explicit DeviceSource(Ask probe) : probe_(std::move(probe)) {}

  std::optional<std::vector<Kind>> start(const Ask& ask) override {
    const auto reply = probe_ ? probe_(request_, isDeviceStats) : std::nullopt;
    if (!reply) return cpus_.start(ask);
    series_.emplace(*parseDeviceStats(*reply));
    return series_->kinds();
  }

  std::optional<std::vector<Value>> sample(const Ask& ask) override {
    if (!series_) return cpus_.sample(ask);
    const auto reply = ask(request_, isDeviceStats);
    if (!reply) return std::nullopt;
    return series_->values(*parseDeviceStats(*reply));
  }

 private:
  // Its reply is held to three times the request beyond loopback.
  const std::string request_ = paddedRequest(kGetStats);
  const Ask probe_;
  CpuSource cpus_;
  std::optional<DeviceSeries> series_;
};

}  // namespace

std::vector<Kind> deviceStatsKinds(const DeviceStats& first) {
  return DeviceSeries(first).kinds();
}

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
  sources.push_back(std::make_unique<FrameSource>(probe));
  sources.push_back(std::make_unique<DeviceSource>(std::move(probe)));
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
