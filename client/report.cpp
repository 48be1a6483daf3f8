#include "report.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <vector>

namespace perfprobe {

namespace {

using Json = nlohmann::ordered_json;

std::string format(const char* fmt, double value) {
  char buf[512];
  snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

std::string fixed(double value, int decimals) {
  char buf[512];
  snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

// Right-aligned in `width` characters, or left-aligned in -width.
std::string pad(const std::string& text, int width) {
  const size_t n = static_cast<size_t>(width < 0 ? -width : width);
  if (text.size() >= n) return text;
  const std::string fill(n - text.size(), ' ');
  return width < 0 ? text + fill : fill + text;
}

// Milliseconds are all the clock of a sample means; more digits would only
// be noise in the files.
double roundedTime(double s) { return std::round(s * 1000.0) / 1000.0; }

// The kind's width, or more for a head that would touch the one before.
int liveWidth(const Kind& kind, const Series& series) {
  return std::max(kind.liveWidth, static_cast<int>(liveHead(kind, series).size()) + 1);
}

bool anyValue(const Series& series) {
  return std::any_of(series.values.begin(), series.values.end(),
                     [](const Value& v) { return v.has_value(); });
}

Value at(const Series& series, size_t k) {
  return k < series.values.size() ? series.values[k] : std::nullopt;
}

// A series found by its CSV column name, with its kind and its place among
// the columns (1 is the time).
struct Located {
  const Kind* kind;
  const Series* series;
  size_t column;
};

std::optional<Located> locate(const Table& table, const std::string& name) {
  size_t col = 2;
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) {
      if (column(kind, series) == name) return Located{&kind, &series, col};
      ++col;
    }
  }
  return std::nullopt;
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

// Figure::where: the title of the first other series of the kind that held
// the series' maximum at the first sample that reached it.
std::optional<std::string> whereOf(const Kind& kind, const Series& series,
                                   const std::optional<double>& max) {
  if (!max) return std::nullopt;
  for (size_t k = 0; k < series.values.size(); ++k) {
    const Value v = series.values[k];
    if (!v || *v / kind.shownPer != *max) continue;
    for (const Series& other : kind.series) {
      if (&other != &series && at(other, k) == v) return other.title;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// A gnuplot string literal: single quotes, in which only a doubled quote
// stands for a quote.
std::string gnuplotString(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += '\'';
    if (c == '\n' || c == '\r') c = ' ';
    quoted += c;
  }
  return quoted + "'";
}

// With a point, so that gnuplot divides in floating point.
std::string gnuplotNumber(double value) {
  std::string text = format("%.17g", value);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

std::string plotPanel(const Table& table, const Kind& kind, const std::string& data,
                      size_t firstColumn) {
  const Panel& panel = kind.panel;
  std::string s = "set ylabel " + gnuplotString(panel.ylabel) + "\n";
  auto drawn = [](const Series& series) { return series.drawn; };
  const bool any = std::any_of(kind.series.begin(), kind.series.end(), [&](const Series& series) {
    return drawn(series) && anyValue(series);
  });
  if (!any) {
    const bool none = std::none_of(kind.series.begin(), kind.series.end(), drawn);
    const std::string& what = none ? panel.noSeries : panel.noValues;
    return s + "set label 1 " + gnuplotString(what) + " at graph 0.5, graph 0.5 center\n" +
           "plot [0:1] [0:1] NaN notitle\nunset label 1\n";
  }
  if (panel.fromZero) s += "set yrange [0:*]\n";
  std::string clauses;
  for (size_t i = 0; i < kind.series.size(); ++i) {
    if (!kind.series[i].drawn) continue;
    const std::string col = std::to_string(firstColumn + i);
    std::string source;
    if (!anyValue(kind.series[i])) {
      // Kept in the key, in its colour: gnuplot would skip a data file
      // without a point, and warn.
      source = "NaN";
    } else if (kind.shownPer == 1) {
      source = data + " using 1:" + col;
    } else {
      source = data + " using 1:(column(" + col + ")/" + gnuplotNumber(kind.shownPer) + ")";
    }
    if (!clauses.empty()) clauses += ", ";
    clauses += source + " " + panel.style + " title " + gnuplotString(kind.series[i].title);
  }
  if (panel.guide) {
    clauses += ", " + format("%g", panel.guide->at) +
               " with lines dashtype 2 lc rgb 'gray40' title " + gnuplotString(panel.guide->title);
  }
  for (const Panel::Mark& mark : panel.marks) {
    const auto when = locate(table, mark.when);
    const auto where = locate(table, mark.at);
    bool any = false;
    for (size_t k = 0; when && where && k < table.size(); ++k) {
      const Value w = at(*when->series, k);
      if (w && *w > 0 && at(*where->series, k)) any = true;
    }
    std::string source = "NaN";
    if (any) {
      std::string y = "column(" + std::to_string(where->column) + ")";
      if (where->kind->shownPer != 1) y += "/" + gnuplotNumber(where->kind->shownPer);
      source =
          data + " using 1:(column(" + std::to_string(when->column) + ") > 0 ? " + y + " : NaN)";
    }
    clauses += ", " + source + " " + mark.style + " title " + gnuplotString(mark.title);
  }
  s += "plot " + clauses + "\n";
  if (panel.fromZero) s += "set autoscale y\n";
  return s;
}

}  // namespace

nlohmann::ordered_json jsonValue(const Value& value, int decimals) {
  if (!value) return nullptr;
  if (decimals == 0) return wholeJson(*value);
  // The digits of the CSV, and no binary noise past them.
  return strtod(fixed(*value, decimals).c_str(), nullptr);
}

std::string liveHeader(const Table& table) {
  std::string line = pad("time_s", 8);
  std::string units;
  for (const Kind& kind : table.kinds) {
    bool shown = false;
    for (const Series& series : kind.series) {
      if (!series.live) continue;
      line += pad(liveHead(kind, series), liveWidth(kind, series));
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
      const Value v = at(series, k);
      line += pad(v ? fixed(*v / kind.shownPer, kind.decimals) : "NA", liveWidth(kind, series));
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
      series.live = std::find(names.begin(), names.end(), column(kind, series)) != names.end();
    }
  }
  return true;
}

std::string csvHeader(const Table& table) {
  std::string line = "time_s";
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) line += "," + column(kind, series);
  }
  return line + "\n";
}

std::string csvRow(const Table& table, size_t k) {
  std::string line = format("%.3f", table.timesS[k]);
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) {
      const Value v = at(series, k);
      line += "," + (v ? fixed(*v, kind.decimals) : "NA");
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
        values.push_back(jsonValue(at(series, k), kind.decimals));
      }
      line[kind.group->sampleKey] = std::move(values);
    } else {
      for (const Series& series : kind.series) {
        line[column(kind, series)] = jsonValue(at(series, k), kind.decimals);
      }
    }
  }
  return line.dump() + "\n";
}

std::optional<double> figure(const Kind& kind, const Series& series, const Figure& f,
                             double intervalS, const Series* over) {
  if (f.what == Figure::kRatio) {
    if (over == nullptr) return std::nullopt;
    double sum = 0;
    double overSum = 0;
    for (size_t k = 0; k < series.values.size(); ++k) {
      const Value v = series.values[k];
      const Value o = at(*over, k);
      if (!v || !o) continue;
      sum += *v;
      overSum += *o;
    }
    if (overSum <= 0) return std::nullopt;
    return sum / overSum * f.per;
  }
  std::vector<double> shown;
  for (const Value& v : series.values) {
    if (v) shown.push_back(*v / kind.shownPer);
  }
  const size_t n = shown.size();
  if (f.what == Figure::kCount) return static_cast<double>(n);
  if (f.what == Figure::kSecondsBelow) {
    const auto below =
        std::count_if(shown.begin(), shown.end(), [&](double v) { return v < f.below; });
    return static_cast<double>(below) * intervalS;
  }
  if (n == 0) return std::nullopt;
  if (f.what == Figure::kDrop) return shown.front() - shown.back();
  if (f.what == Figure::kMean) {
    double sum = 0;
    for (double v : shown) sum += v;
    return sum / static_cast<double>(n);
  }
  std::sort(shown.begin(), shown.end());
  switch (f.what) {
    case Figure::kMin:
      return shown.front();
    case Figure::kMax:
      return shown.back();
    case Figure::kMedian:
      return n % 2 == 1 ? shown[n / 2] : (shown[n / 2 - 1] + shown[n / 2]) / 2.0;
    case Figure::kP5: {
      // Nearest rank: the smallest value that at least 5% of the samples
      // reach or go below.
      const size_t rank = (n * 5 + 99) / 100;
      return shown[std::max<size_t>(rank, 1) - 1];
    }
    default:
      return std::nullopt;
  }
}

std::string jsonSummary(const Table& table, double intervalS) {
  auto figures = [&](const Kind& kind, const Series& series) {
    Json out;
    for (const Figure& f : kind.figures) {
      const auto value = figure(kind, series, f, intervalS, overOf(table, f));
      out[f.key] = figureJson(kind, f, value);
      if (!f.where.empty()) {
        const auto where = whereOf(kind, series, value);
        out[f.where] = where ? Json(*where) : Json(nullptr);
      }
    }
    return out;
  };
  Json inner;
  inner["samples"] = table.size();
  for (const Kind& kind : table.kinds) {
    if (kind.figures.empty()) continue;
    if (kind.group) {
      Json items = Json::array();
      for (const Series& series : kind.series) {
        if (series.summarized) items.push_back(figures(kind, series));
      }
      inner[kind.group->summaryKey] = std::move(items);
    } else {
      for (const Series& series : kind.series) {
        if (series.summarized) inner[column(kind, series)] = figures(kind, series);
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
    if (kind.figures.empty()) continue;
    auto value = [&](const Series& series, const Figure& f) {
      const auto v = figure(kind, series, f, intervalS, overOf(table, f));
      std::string text = figureText(kind, f, v);
      if (!f.where.empty()) {
        if (const auto where = whereOf(kind, series, v)) text += " (" + *where + ")";
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

std::string plotScript(const std::string& dataPath, const std::string& pngPath,
                       const std::string& title, const Table& table) {
  const std::string data = gnuplotString(dataPath);
  const size_t panels = static_cast<size_t>(std::count_if(
      table.kinds.begin(), table.kinds.end(), [](const Kind& kind) { return kind.panel.drawn; }));
  std::string s;
  // 450 pixels a panel.
  s += "set terminal pngcairo size 1280," + std::to_string(450 * panels) + " font 'sans,11'\n";
  s += "set output " + gnuplotString(pngPath) + "\n";
  // Names are shown as they are: a thermal zone's skin_therm is no subscript.
  s += "set termoption noenhanced\n";
  s += "set datafile missing 'NA'\n";
  s += "set grid\n";
  s += "set key outside right top\n";
  // Fixed margins, so that the panels share their time axis.
  s += "set lmargin at screen 0.07\n";
  s += "set rmargin at screen 0.87\n";
  s += "set multiplot layout " + std::to_string(panels) + ",1 title " + gnuplotString(title) +
       " noenhanced\n";
  size_t firstColumn = 2;  // the time is the first
  size_t drawn = 0;
  for (const Kind& kind : table.kinds) {
    if (kind.panel.drawn) {
      // Only the bottom panel names the time axis.
      if (++drawn == panels) s += "set xlabel 'time (s)'\n";
      s += plotPanel(table, kind, data, firstColumn);
    }
    firstColumn += kind.series.size();
  }
  s += "unset multiplot\n";
  return s;
}

}  // namespace perfprobe
