#include "report.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <vector>

#include "catalog.h"
#include "figures.h"
#include "text.h"

namespace perfprobe {

namespace {

using Json = nlohmann::ordered_json;

// Milliseconds are all the clock of a sample means; more digits would only
// be noise in the files.
double roundedTime(double s) { return std::round(s * 1000.0) / 1000.0; }

// The kind's width, or more for a head that would touch the one before.
int liveWidth(const Kind& kind, const Series& series) {
  return std::max(kind.liveWidth, static_cast<int>(liveHead(series).size()) + 1);
}


// The series a figure divides by, when it has one and the table holds it.
const Series* overOf(const Table& table, const Figure& f) {
  if (f.over.empty()) return nullptr;
  const auto found = locate(table, f.over);
  return found ? found->series : nullptr;
}

// A whole number as a JSON integer, as the daemon wrote it; one beyond 64
// bits stays a plain number.
Json wholeJson(double value) {
  // Rounded as printf rounds the same value in the CSV.
  const double v = nearbyint(value);
  if (v >= 0 && v < 18446744073709551616.0) return static_cast<uint64_t>(v);
  if (v < 0 && v >= -9223372036854775808.0) return static_cast<int64_t>(v);
  return value;
}

// Whether a figure is one of the values itself, and so as whole as they are.
bool picksAValue(Figure::What what) {
  return what == Figure::kMin || what == Figure::kMax || what == Figure::kP5 ||
         what == Figure::kDrop;
}

Json figureJson(const Kind& kind, const Figure& f, const std::optional<double>& value) {
  if (!value) return nullptr;
  if (f.what == Figure::kCount || (picksAValue(f.what) && wholeShown(kind))) {
    return wholeJson(*value);
  }
  return *value;
}

std::string figureNumber(const Kind& kind, const Figure& f, double value) {
  const bool whole = wholeShown(kind);
  switch (f.what) {
    case Figure::kCount:
      return format("%.0f", value);
    case Figure::kMin:
    case Figure::kMax:
    case Figure::kP5:
    case Figure::kDrop:
      return format(whole ? "%.0f" : "%.1f", value);
    case Figure::kMedian:
      // A median of whole numbers ends in .5 at most; %g writes 43.5 and 49.
      return format(whole ? "%g" : "%.1f", value);
    case Figure::kMean:
      return format("%.1f", value);
    case Figure::kSecondsBelow:
      return format("%.1f", value) + " s";
    case Figure::kRatio:
      return format("%.2f", value);
  }
  return "NA";
}

std::string figureText(const Kind& kind, const Figure& f, const std::optional<double>& value) {
  if (!value) return "NA";
  return figureNumber(kind, f, *value) + f.suffix;
}

// Figure::where: the title of the first series of the family the figure
// names (or else of the kind's other series) that held the series' maximum
// at the first sample that reached it.
std::optional<std::string> whereOf(const Table& table, const Kind& kind, const Series& series,
                                   const Figure& f, const std::optional<double>& max) {
  std::vector<const Series*> others;
  for (const Kind& k : table.kinds) {
    const bool family = f.of != nullptr && k.metric != nullptr && k.metric->field == f.of &&
                        k.metric->derive == Derive::kEach;
    if (!family && !(f.of == nullptr && &k == &kind)) continue;
    for (const Series& other : k.series) {
      if (&other != &series) others.push_back(&other);
    }
  }
  std::vector<const std::vector<Value>*> values;
  for (const Series* other : others) values.push_back(&other->values);
  const auto at = perfprobe::whereOf(series.values, kind.shownPer, max, values);
  if (!at) return std::nullopt;
  return others[*at]->title;
}

// A value as the live line (divided by `per`) and the CSV write it: its
// word, or its digits; NA when missing.
std::string shownText(const Kind& kind, const Value& value, double per) {
  if (!kind.words.empty()) return wordOf(kind, value).value_or("NA");
  return value ? fixed(*value / per, kind.decimals) : "NA";
}

// Of a kind of words: how many samples had each word, in the words' order.
std::vector<size_t> wordCounts(const Kind& kind, const Series& series) {
  std::vector<size_t> counts(kind.words.size());
  for (const Value& v : series.values) {
    if (wordOf(kind, v)) ++counts[static_cast<size_t>(*v)];
  }
  return counts;
}

// The notes of the words that some sample had.
std::vector<std::string> wordNotes(const Kind& kind, const std::vector<size_t>& counts) {
  std::vector<std::string> notes;
  if (kind.metric == nullptr) return notes;
  for (size_t i = 0; i < counts.size() && i < kind.metric->words.size(); ++i) {
    const std::string& note = kind.metric->words[i].note;
    if (counts[i] > 0 && !note.empty()) notes.push_back(note);
  }
  return notes;
}

}  // namespace

nlohmann::ordered_json jsonValue(const Value& value, int decimals) {
  if (!value) return nullptr;
  if (decimals == 0) return wholeJson(*value);
  // The digits of the CSV, and no binary noise past them.
  return strtod(fixed(*value, decimals).c_str(), nullptr);
}

nlohmann::ordered_json jsonValue(const Kind& kind, const Value& value) {
  if (kind.words.empty()) return jsonValue(value, kind.decimals);
  const auto word = wordOf(kind, value);
  return word ? Json(*word) : Json(nullptr);
}

std::string liveHeader(const Table& table) {
  std::string line = pad("time_s", 8);
  std::string units;
  for (const Kind& kind : table.kinds) {
    bool shown = false;
    for (const Series& series : kind.series) {
      if (!series.live) continue;
      line += pad(liveHead(series), liveWidth(kind, series));
      shown = true;
    }
    const std::string note = "  (" + kind.shownUnit + ")";
    if (shown && !kind.shownUnit.empty() && units.find(note) == std::string::npos) {
      units += note;
    }
  }
  return line + units + "\n";
}

std::string liveLine(const Table& table, size_t k) {
  std::string line = pad(format("%.1f", table.timesS[k]), 8);
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) {
      if (!series.live) continue;
      line += pad(shownText(kind, valueAt(series, k), kind.shownPer), liveWidth(kind, series));
    }
  }
  return line + "\n";
}

bool chooseLive(Table& table, const std::string& columns, std::string* why) {
  std::vector<std::string> names;
  for (size_t from = 0;;) {
    const size_t comma = columns.find(',', from);
    names.push_back(columns.substr(from, comma - from));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  for (const std::string& name : names) {
    if (name == "time_s" || locate(table, name)) continue;
    if (name.empty()) {
      *why = "--columns holds an empty name";
    } else {
      const std::string all = csvHeader(table);
      *why = "--columns: no column is named \"" + name + "\"; the columns are " +
             all.substr(0, all.size() - 1);
    }
    return false;
  }
  for (Kind& kind : table.kinds) {
    for (Series& series : kind.series) {
      series.live = std::find(names.begin(), names.end(), series.name) != names.end();
    }
  }
  return true;
}

std::string csvHeader(const Table& table) {
  std::string line = "time_s";
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) line += "," + series.name;
  }
  return line + "\n";
}

std::string csvRow(const Table& table, size_t k) {
  std::string line = format("%.3f", table.timesS[k]);
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) {
      line += "," + shownText(kind, valueAt(series, k), 1);
    }
  }
  return line + "\n";
}

std::string jsonSample(const Table& table, size_t k) {
  Json line;
  line["time_s"] = roundedTime(table.timesS[k]);
  for (const Kind& kind : table.kinds) {
    if (kind.group) {
      Json values = Json::array();
      for (const Series& series : kind.series) {
        values.push_back(jsonValue(valueAt(series, k), kind.decimals));
      }
      line[kind.group->sampleKey] = std::move(values);
    } else {
      for (const Series& series : kind.series) {
        line[series.name] = jsonValue(kind, valueAt(series, k));
      }
    }
  }
  return line.dump() + "\n";
}

std::optional<double> figure(const Kind& kind, const Series& series, const Figure& f,
                             double intervalS, const Series* over) {
  return figureOf(f, series.values, kind.shownPer, intervalS,
                  over != nullptr ? &over->values : nullptr);
}

std::string jsonSummary(const Table& table, double intervalS) {
  auto figures = [&](const Kind& kind, const Series& series) {
    Json out;
    for (const Figure& f : kind.figures) {
      const auto value = figure(kind, series, f, intervalS, overOf(table, f));
      out[f.key] = figureJson(kind, f, value);
      if (!f.where.empty()) {
        const auto where = whereOf(table, kind, series, f, value);
        out[f.where] = where ? Json(*where) : Json(nullptr);
      }
    }
    return out;
  };
  Json inner;
  inner["samples"] = table.size();
  for (const Kind& kind : table.kinds) {
    if (!kind.words.empty()) {
      for (const Series& series : kind.series) {
        const std::vector<size_t> counts = wordCounts(kind, series);
        Json out;
        for (size_t i = 0; i < counts.size(); ++i) out[kind.words[i]] = counts[i];
        out["notes"] = wordNotes(kind, counts);
        inner[series.name] = std::move(out);
      }
      continue;
    }
    if (kind.figures.empty()) continue;
    if (kind.group) {
      Json items = Json::array();
      for (const Series& series : kind.series) {
        if (series.summarized) items.push_back(figures(kind, series));
      }
      inner[kind.group->summaryKey] = std::move(items);
    } else {
      for (const Series& series : kind.series) {
        if (series.summarized) inner[series.name] = figures(kind, series);
      }
    }
  }
  Json line;
  line["summary"] = std::move(inner);
  return line.dump() + "\n";
}

std::string summaryText(const Table& table, double intervalS) {
  std::string text = "Summary: " + std::to_string(table.size()) + " samples";
  std::string body;
  for (const Kind& kind : table.kinds) {
    if (!kind.words.empty()) {
      // Only a run that had a word of note says which words it had.
      for (const Series& series : kind.series) {
        const std::vector<size_t> counts = wordCounts(kind, series);
        const std::vector<std::string> notes = wordNotes(kind, counts);
        if (notes.empty()) continue;
        body += "  " + series.title + "  ";
        const char* sep = " ";
        for (size_t i = 0; i < counts.size(); ++i) {
          if (counts[i] == 0) continue;
          body += sep + kind.words[i] + " " + std::to_string(counts[i]) +
                  (counts[i] == 1 ? " sample" : " samples");
          sep = ", ";
        }
        body += "\n";
        for (const std::string& note : notes) body += "  " + note + "\n";
      }
      continue;
    }
    if (kind.figures.empty()) continue;
    auto value = [&](const Series& series, const Figure& f) {
      const auto v = figure(kind, series, f, intervalS, overOf(table, f));
      std::string text = figureText(kind, f, v);
      if (!f.where.empty()) {
        if (const auto where = whereOf(table, kind, series, f, v)) text += " (" + *where + ")";
      }
      return text;
    };
    for (const Series& series : kind.series) {
      if (!series.summarized) continue;
      for (const Figure& f : kind.figures) {
        if (f.what == Figure::kCount) text += ", " + value(series, f) + " " + f.text;
      }
    }
    if (kind.group) {
      // A table: a row per series, every figure in a column of its own.
      if (kind.series.empty()) continue;
      body += "  " + pad(kind.group->title, -6);
      for (const Figure& f : kind.figures) {
        if (f.what != Figure::kCount) body += pad(f.text, 10);
      }
      body += "\n";
      for (const Series& series : kind.series) {
        if (!series.summarized) continue;
        body += "  " + pad(series.title, -6);
        for (const Figure& f : kind.figures) {
          if (f.what != Figure::kCount) body += pad(value(series, f), 10);
        }
        body += "\n";
      }
    } else {
      // A line per series that has a value at all.
      for (const Series& series : kind.series) {
        if (!series.summarized || !anyValue(series)) continue;
        body += "  " + series.title;
        for (const Figure& f : kind.figures) {
          if (f.what != Figure::kCount) body += "   " + f.text + " " + value(series, f);
        }
        body += "\n";
      }
    }
  }
  return text + "\n" + body;
}

}  // namespace perfprobe
