#include "sources.h"

#include <stdio.h>

#include <string_view>
#include <unordered_map>
#include <utility>

#include "catalog.h"
#include "device_stats.h"
#include "replies.h"

namespace perfprobe {

namespace {

size_t seriesCount(const std::vector<Kind>& kinds) {
  size_t n = 0;
  for (const Kind& kind : kinds) n += kind.series.size();
  return n;
}

const Metric& onlyRow(From from) { return *rowsFrom(from).front(); }


// The series of the catalog's rows of one reply of fields, laid out from
// the first reply (its CPUs, clusters and zones), and their values from any
// later one.
class FieldSeries {
 public:
  FieldSeries(From from, const Reading& first);
  const std::vector<Kind>& kinds() const { return kinds_; }
  std::vector<Value> values(const Reading& reply) const;

 private:
  // What a series reads: the lines it is made of, and how.
  struct Get {
    Derive derive;
    std::vector<std::string> lines;
    const std::vector<Word>* words = nullptr;  // of a text: the index of its word
  };

  std::vector<Kind> kinds_;
  std::vector<Get> gets_;  // one per series, in the order of the kinds
};

FieldSeries::FieldSeries(From from, const Reading& first) {
  const std::vector<Core> cpus = cores(first);
  // By CPU number, as GET_SIMPLE's columns are.
  const size_t count = cpus.empty() ? 0 : cpus.back().cpu + 1;
  const std::vector<Cluster> groups = clusters(cpus);
  for (const Metric* row : rowsFrom(from)) {
    if (!row->makesSeries()) continue;
    const field::Field& f = *row->field;
    std::vector<Item> items;
    std::vector<Get> gets;
    switch (row->derive) {
      case Derive::kValue:
        items.push_back({""});
        gets.push_back({row->derive, {f.name}, row->isText() ? &row->words : nullptr});
        break;
      case Derive::kEach:
        if (field::perCpu(f)) {
          for (size_t cpu = 0; cpu < count; ++cpu) items.push_back({std::to_string(cpu)});
        } else {
          for (const Reading::Field& line : first.fields) {
            const std::string_view item = field::itemOf(f, line.name);
            if (!item.empty()) items.push_back({std::string(item)});
          }
        }
        for (const Item& item : items) gets.push_back({row->derive, {columnOf(*row, item.item)}});
        break;
      case Derive::kCluster:
      case Derive::kClusterMean:
        for (const Cluster& group : groups) {
          // A cluster of one CPU would take that CPU's own columns as cpu7.
          items.push_back({group.name.substr(3), group.name});
          Get get{row->derive, {}};
          for (unsigned cpu : group.cpus) {
            get.lines.push_back(f.name + std::to_string(cpu) + f.suffix);
          }
          gets.push_back(std::move(get));
        }
        break;
      case Derive::kHottest: {
        items.push_back({""});
        Get get{row->derive, {}};
        for (const Reading::Field& line : first.fields) {
          if (!field::itemOf(f, line.name).empty()) get.lines.push_back(line.name);
        }
        gets.push_back(std::move(get));
        break;
      }
    }
    kinds_.push_back(kindOf(*row, items));
    gets_.insert(gets_.end(), gets.begin(), gets.end());
  }
}

std::vector<Value> FieldSeries::values(const Reading& reply) const {
  std::unordered_map<std::string, Value> numbers;
  numbers.reserve(reply.fields.size());
  for (const Reading::Field& line : reply.fields) {
    numbers.emplace(line.name, line.value ? statsNumber(*line.value) : std::nullopt);
  }
  const auto number = [&numbers](const std::string& name) -> Value {
    const auto found = numbers.find(name);
    return found == numbers.end() ? std::nullopt : found->second;
  };
  std::vector<Value> row;
  row.reserve(gets_.size());
  for (const Get& get : gets_) {
    Value value;
    if (get.words != nullptr) {
      const auto text = reply.text(get.lines.front());
      for (size_t i = 0; text && i < get.words->size(); ++i) {
        if ((*get.words)[i].text == *text) value = static_cast<double>(i);
      }
      row.push_back(value);
      continue;
    }
    switch (get.derive) {
      case Derive::kValue:
      case Derive::kEach:
        value = number(get.lines.front());
        break;
      case Derive::kCluster:
        // They share one clock, and an offline CPU has none.
        for (const std::string& line : get.lines) {
          if ((value = number(line))) break;
        }
        break;
      case Derive::kClusterMean: {
        double sum = 0;
        size_t n = 0;
        for (const std::string& line : get.lines) {
          if (const Value v = number(line)) {
            sum += *v;
            ++n;
          }
        }
        if (n > 0) value = sum / static_cast<double>(n);
        break;
      }
      case Derive::kHottest:
        for (const std::string& line : get.lines) {
          const Value v = number(line);
          if (v && (!value || *v > *value)) value = v;
        }
        break;
    }
    row.push_back(value);
  }
  return row;
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

// The frame statistics of the daemon's last tick (GET_FRAMESTATS) when the
// daemon gives them, else the last published rate (GET_FPS). A daemon that
// does not know the keyword gives no reply at all, so one short try at the
// start decides, and the rest of the run keeps the columns it chose.
class FrameSource : public Source {
 public:
  explicit FrameSource(Ask probe) : probe_(std::move(probe)) {}

  std::optional<std::vector<Kind>> start(const Ask& ask) override {
    if (!probe_ || !probe_(request_, isFrameStats)) return fps_.start(ask);
    series_.emplace(From::kFrameStats, Reading());
    return series_->kinds();
  }

  std::optional<std::vector<Value>> sample(const Ask& ask) override {
    if (!series_) return fps_.sample(ask);
    const auto reply = ask(request_, isFrameStats);
    if (!reply) return std::nullopt;
    return series_->values(*parseFrameStats(*reply));
  }

 private:
  // Its reply is held to three times the request beyond loopback.
  const std::string request_ = paddedRequest(kGetFrameStats);
  const Ask probe_;
  FpsSource fps_;
  std::optional<FieldSeries> series_;
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
    series_.emplace(From::kStats, *parseDeviceStats(*reply));
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
  std::optional<FieldSeries> series_;
};

}  // namespace

std::vector<Kind> deviceStatsKinds(const Reading& first) {
  return FieldSeries(From::kStats, first).kinds();
}

std::vector<Kind> frameStatsKinds() { return FieldSeries(From::kFrameStats, Reading()).kinds(); }

Kind fpsKind() { return kindOf(onlyRow(From::kFps), {{""}}); }

Kind cpuKind(size_t count) {
  std::vector<Item> items;
  for (size_t i = 0; i < count; ++i) items.push_back({std::to_string(i)});
  return kindOf(onlyRow(From::kCpuReport), items);
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
