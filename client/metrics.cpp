#include "metrics.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "catalog.h"
#include "device_stats.h"

namespace perfprobe {

namespace {

// Shortest text that reads back as the value to 15 significant digits: a
// kHz times 1000 stays whole, a percent over 100 stays short.
void appendNumber(std::string* out, double value) {
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  out->append(buf, result.ptr);
}

void appendEscaped(std::string* out, const std::string& value) {
  for (char c : value) {
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '"') {
      *out += "\\\"";
    } else if (c == '\n') {
      *out += "\\n";
    } else {
      *out += c;
    }
  }
}

// The families' rows of the catalog, after the exporter's own.
const std::vector<const Metric*>& exportedRows() {
  static const std::vector<const Metric*> rows = [] {
    std::vector<const Metric*> list;
    for (const Metric& row : catalog()) {
      if (!row.promName.empty()) list.push_back(&row);
    }
    return list;
  }();
  return rows;
}

std::string& lines(Samples* out, size_t family) {
  if (out->size() < families().size()) out->resize(families().size());
  return (*out)[family];
}

// name{LABEL[,extra]} value\n
void sample(Samples* out, size_t family, const std::string& label, const std::string& extra,
            double value, const char* suffix = "") {
  std::string& text = lines(out, family);
  text += families()[family].name;
  text += suffix;
  text += '{';
  text += label;
  if (!extra.empty()) {
    text += ',';
    text += extra;
  }
  text += "} ";
  appendNumber(&text, value);
  text += '\n';
}

std::string labelPair(const std::string& name, const std::string& value) {
  std::string pair = name;
  pair += "=\"";
  appendEscaped(&pair, value);
  pair += '"';
  return pair;
}

// The samples of one reply: each exported row's, in the catalog's order.
void render(const std::string& label, const Reading& reading, From from, Samples* out) {
  const std::vector<Core> cpus = from == From::kStats ? cores(reading) : std::vector<Core>();
  const std::vector<const Metric*>& rows = exportedRows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const Metric& row = *rows[i];
    if (row.from != from) continue;
    const size_t family = kOwnFamilies + i;
    const field::Field& f = *row.field;
    if (row.isText()) {
      // An info series: its text is a label, never a value.
      if (const auto text = reading.text(f.name)) {
        sample(out, family, label, labelPair(row.promLabel, *text), 1);
      }
      continue;
    }
    if (row.derive == Derive::kValue) {
      if (const auto v = reading.number(f.name)) sample(out, family, label, "", *v * row.promScale);
      continue;
    }
    if (!f.family()) continue;
    if (field::perCpu(f)) {
      for (const Core& core : cpus) {
        const std::string item = std::to_string(core.cpu);
        const auto v = reading.number(columnOf(row, item));
        if (!v) continue;
        std::string extra = labelPair(row.promLabel, item);
        if (row.promCluster && core.cluster) {
          extra += "," + labelPair("cluster", std::to_string(*core.cluster));
        }
        sample(out, family, label, extra, *v * row.promScale);
      }
      continue;
    }
    for (const Reading::Field& line : reading.fields) {
      const std::string_view item = field::itemOf(f, line.name);
      if (item.empty() || !line.value) continue;
      if (const auto v = statsNumber(*line.value)) {
        sample(out, family, label, labelPair(row.promLabel, std::string(item)), *v * row.promScale);
      }
    }
  }
}

}  // namespace

const std::vector<FamilyInfo>& families() {
  static const std::vector<FamilyInfo> list = [] {
    std::vector<FamilyInfo> all = {
        {"perfprobe_up", "gauge", "1 when the device's daemon answered the last poll, else 0."},
        {"perfprobe_request_duration_seconds", "histogram",
         "Round trip of the device-statistics request, from its first send to its reply."},
        {"perfprobe_requests_total", "counter", "Polls of the device."},
        {"perfprobe_request_failures_total", "counter",
         "Polls that got no reply after every retry."},
    };
    for (const Metric* row : exportedRows()) all.push_back({row->promName, "gauge", row->promHelp});
    return all;
  }();
  return list;
}

void RequestCounts::observe(double seconds) {
  size_t i = 0;
  while (i < kLatencyBuckets.size() && seconds > kLatencyBuckets[i]) ++i;
  ++buckets[i];
  latencySum += seconds;
  ++latencyCount;
}

std::string deviceLabel(const std::string& device) { return labelPair("device", device); }

void renderRequests(const std::string& label, bool up, const RequestCounts& counts, Samples* out) {
  sample(out, kUp, label, "", up ? 1 : 0);
  uint64_t cumulative = 0;
  char le[32];
  for (size_t i = 0; i <= kLatencyBuckets.size(); ++i) {
    cumulative += counts.buckets[i];
    if (i < kLatencyBuckets.size()) {
      const auto r = std::to_chars(le, le + sizeof le, kLatencyBuckets[i]);
      sample(out, kRequestDuration, label, "le=\"" + std::string(le, r.ptr) + "\"",
             static_cast<double>(cumulative), "_bucket");
    } else {
      sample(out, kRequestDuration, label, "le=\"+Inf\"", static_cast<double>(cumulative),
             "_bucket");
    }
  }
  sample(out, kRequestDuration, label, "", counts.latencySum, "_sum");
  sample(out, kRequestDuration, label, "", static_cast<double>(counts.latencyCount), "_count");
  sample(out, kRequests, label, "", static_cast<double>(counts.requests));
  sample(out, kRequestFailures, label, "", static_cast<double>(counts.failures));
}

void renderStats(const std::string& label, const Reading& stats, Samples* out) {
  render(label, stats, From::kStats, out);
}

void renderFrames(const std::string& label, const Reading& frames, Samples* out) {
  render(label, frames, From::kFrameStats, out);
}

std::string exposition(const std::vector<const Samples*>& devices) {
  size_t size = 0;
  for (const Samples* d : devices) {
    for (const std::string& text : *d) size += text.size();
  }
  const std::vector<FamilyInfo>& all = families();
  std::string out;
  out.reserve(size + all.size() * 160);
  for (size_t f = 0; f < all.size(); ++f) {
    bool any = false;
    for (const Samples* d : devices) any = any || (f < d->size() && !(*d)[f].empty());
    if (!any) continue;
    out += "# HELP ";
    out += all[f].name;
    out += ' ';
    out += all[f].help;
    out += "\n# TYPE ";
    out += all[f].name;
    out += ' ';
    out += all[f].type;
    out += '\n';
    for (const Samples* d : devices) {
      if (f < d->size()) out += (*d)[f];
    }
  }
  return out;
}

}  // namespace perfprobe
