#include "recording.h"

#include <math.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "report.h"
#include "text.h"

namespace perfprobe {

namespace {

using Json = nlohmann::ordered_json;

constexpr double kMaxRecordingS = 1e9;

std::string lineNote(size_t line) { return "line " + std::to_string(line) + ": "; }

}  // namespace

namespace {

std::string markLabel(std::string label) {
  for (char& c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  label.erase(0, std::min(label.find_first_not_of(' '), label.size()));
  if (label.size() > kMaxMarkLabel) {
    size_t cut = kMaxMarkLabel;
    // Not within a character: back to the first byte of the one cut.
    while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xc0) == 0x80) --cut;
    label.resize(cut);
  }
  // Trimmed once cut, so that a cut ends on no space either.
  label.erase(label.find_last_not_of(' ') + 1);
  return label;
}

}  // namespace

std::vector<std::string> MarkLines::add(std::string_view bytes) {
  std::vector<std::string> labels;
  for (;;) {
    const size_t eol = bytes.find('\n');
    if (!dropping_) {
      pending_.append(bytes.substr(0, std::min(eol, kMaxMarkLine - pending_.size())));
    }
    if (eol == std::string_view::npos) {
      if (!dropping_ && pending_.size() == kMaxMarkLine) {
        labels.push_back(markLabel(pending_));
        pending_.clear();
        dropping_ = true;
      }
      return labels;
    }
    if (!dropping_) labels.push_back(markLabel(pending_));
    pending_.clear();
    dropping_ = false;
    bytes.remove_prefix(eol + 1);
  }
}

std::vector<std::string> MarkLines::end() {
  std::vector<std::string> labels;
  if (!dropping_ && !pending_.empty()) labels.push_back(markLabel(pending_));
  pending_.clear();
  dropping_ = false;
  return labels;
}

std::string recordingHeader(const RecordingMeta& meta, const Table& table) {
  Json header;
  header["perfprobe_recording"] = kRecordingVersion;
  header["device"] = {{"host", meta.host}, {"port", meta.port}};
  header["package"] = meta.package;
  header["start"] = meta.start;
  header["interval_s"] = meta.intervalS;
  Json series = Json::array();
  for (const Kind& kind : table.kinds) {
    const Metric* row = kind.metric;
    const std::string chart =
        row != nullptr && row->chart != Chart::kNone ? chartDef(row->chart, row).id : "";
    for (const Series& s : kind.series) {
      series.push_back({{"name", s.name},
                        {"title", s.title},
                        {"unit", kind.unit},
                        {"chart", chart},
                        {"kind", row != nullptr ? row->key() : ""}});
    }
  }
  header["series"] = std::move(series);
  return header.dump() + "\n";
}

std::string recordingSample(const Table& table, size_t k) {
  Json line;
  line["t"] = std::round(table.timesS[k] * 1000.0) / 1000.0;
  Json values = Json::array();
  for (const Kind& kind : table.kinds) {
    for (const Series& s : kind.series) {
      values.push_back(jsonValue(kind, valueAt(s, k)));
    }
  }
  line["v"] = std::move(values);
  return line.dump() + "\n";
}

std::string recordingMark(const Mark& mark) {
  Json line;
  line["t"] = std::round(mark.timeS * 1000.0) / 1000.0;
  // A label from a terminal may hold anything: the JSON holds it as text,
  // with bytes that are not UTF-8 replaced.
  line["mark"] = mark.label;
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

const Recording::Series* Recording::find(const std::string& name) const {
  for (const Series& s : series) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

std::optional<Recording> parseRecording(std::string_view text, const std::string& name,
                                        std::vector<std::string>* warnings, std::string* error) {
  Recording rec;
  rec.name = name;
  // Of each series in the header, its place among the recording's series,
  // or none for one left out.
  std::vector<std::optional<size_t>> places;
  bool headed = false;
  size_t lineNo = 0;
  for (size_t from = 0; from < text.size();) {
    const size_t end = std::min(text.find('\n', from), text.size());
    const std::string_view line = text.substr(from, end - from);
    const bool last = end + 1 >= text.size();
    const bool ended = end < text.size();
    from = end + 1;
    ++lineNo;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    Json json = Json::parse(line.begin(), line.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
      if (!headed) {
        *error = "not a perfprobe recording (" + lineNote(lineNo) + "no JSON object)";
        return std::nullopt;
      }
      if (last && !ended) {
        warnings->push_back(lineNote(lineNo) + "cut short, as by a run that was killed: left out");
      } else {
        warnings->push_back(lineNote(lineNo) + "not a JSON object: left out");
      }
      continue;
    }
    if (!headed) {
      const auto version = json.find("perfprobe_recording");
      if (version == json.end()) {
        *error = "not a perfprobe recording (its first line has no \"perfprobe_recording\")";
        return std::nullopt;
      }
      if (!version->is_number_integer() || *version < kOldestRecordingVersion ||
          *version > kRecordingVersion) {
        *error = "a recording of version " + excerpt(version->dump()) +
                 "; this perfprobe reads versions " + std::to_string(kOldestRecordingVersion) +
                 " to " + std::to_string(kRecordingVersion) + " (a newer perfprobe may read it)";
        return std::nullopt;
      }
      // The first version names its series and nothing more: what each is
      // must be told from its name.
      const bool named = *version == 1;
      const auto series = json.find("series");
      if (series == json.end() || !series->is_array()) {
        *error = "its header lists no series";
        return std::nullopt;
      }
      // Every field is looked at before it is read: a value of another type
      // is taken as absent, never converted.
      const auto text = [](const Json& object, const char* key) {
        const auto v = object.find(key);
        return v != object.end() && v->is_string() ? v->get<std::string>() : std::string();
      };
      const auto device = json.find("device");
      if (device != json.end() && device->is_object()) {
        rec.meta.host = text(*device, "host");
        const auto port = device->find("port");
        if (port != device->end() && port->is_number_unsigned() && *port <= 65535) {
          rec.meta.port = port->get<int>();
        }
      }
      rec.meta.package = text(json, "package");
      rec.meta.start = text(json, "start");
      const auto interval = json.find("interval_s");
      if (interval != json.end() && interval->is_number() && interval->get<double>() > 0) {
        rec.meta.intervalS = interval->get<double>();
      }
      for (const Json& s : *series) {
        const std::string seriesName = s.is_object() ? text(s, "name") : std::string();
        const Metric* row = nullptr;
        if (named) {
          row = rowOfColumn(seriesName);
        } else if (s.is_object()) {
          row = rowByKey(text(s, "kind"));
          if (row != nullptr && !row->makesSeries()) row = nullptr;
        }
        const auto item = row != nullptr ? itemOfColumn(*row, seriesName) : std::nullopt;
        if (!item) {
          warnings->push_back("series \"" + excerpt(seriesName.empty() ? s.dump() : seriesName) +
                              "\" is not one this perfprobe knows: left out");
          places.emplace_back();
          continue;
        }
        if (rec.find(seriesName) != nullptr) {
          warnings->push_back("series \"" + seriesName + "\" is listed twice: the first is kept");
          places.emplace_back();
          continue;
        }
        std::string title = seriesName;
        if (s.contains("title") && s["title"].is_string()) title = s["title"].get<std::string>();
        places.push_back(rec.series.size());
        rec.series.push_back({seriesName, title, row, *item, {}});
      }
      headed = true;
      continue;
    }
    // Seconds since the sampling started: up to some 30 years.
    const auto t = json.find("t");
    const bool timed = t != json.end() && t->is_number() && t->get<double>() >= 0 &&
                       t->get<double>() <= kMaxRecordingS;
    if (json.contains("summary")) {
      rec.ended = true;
    } else if (json.contains("mark")) {
      if (!timed || !json["mark"].is_string()) {
        warnings->push_back(lineNote(lineNo) + "a marker without a time or a label: left out");
        continue;
      }
      rec.marks.push_back({t->get<double>(), json["mark"].get<std::string>()});
    } else if (json.contains("v")) {
      const Json& v = json["v"];
      if (!timed || !v.is_array() || v.size() != places.size()) {
        warnings->push_back(lineNote(lineNo) + "a sample without a time or with " +
                            std::to_string(v.is_array() ? v.size() : 0) + " values for " +
                            std::to_string(places.size()) + " series: left out");
        continue;
      }
      const double time = t->get<double>();
      if (!rec.timesS.empty() && time <= rec.timesS.back()) {
        warnings->push_back(lineNote(lineNo) + "a sample not after the one before: left out");
        continue;
      }
      rec.timesS.push_back(time);
      for (size_t i = 0; i < places.size(); ++i) {
        if (!places[i]) continue;
        Recording::Series& series = rec.series[*places[i]];
        Value value;
        if (!series.row->words.empty()) {
          // A word the row does not know is missing, as is a number.
          for (size_t w = 0; v[i].is_string() && w < series.row->words.size(); ++w) {
            if (v[i].get_ref<const std::string&>() == series.row->words[w].text) value = w;
          }
        } else if (v[i].is_number() && std::isfinite(v[i].get<double>())) {
          value = v[i].get<double>();
        }
        series.values.push_back(value);
      }
    } else {
      // A kind of line from a newer perfprobe: what this one knows still reads.
      warnings->push_back(lineNote(lineNo) +
                          "a line of a kind this perfprobe does not know: "
                          "left out");
    }
  }
  if (!headed) {
    *error = "not a perfprobe recording (it is empty)";
    return std::nullopt;
  }
  if (!rec.ended) {
    warnings->push_back(
        "no summary at its end: the run did not end as it should, and the "
        "recording holds what it measured until then");
  }
  return rec;
}

}  // namespace perfprobe
