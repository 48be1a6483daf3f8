#include "html_report.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "catalog.h"
#include "figures.h"
#include "report_assets.h"
#include "text.h"

namespace perfprobe {

namespace {

using Values = std::vector<Value>;

// "1:05" or "2:00:00".
std::string clockText(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  }
  return buf;
}


// A JSON string that may stand inside a <script> element: no '<' at all, so
// that no "</script>" or "<!--" in a label ends or bends it.
std::string jsonString(const std::string& text) {
  const std::string dumped =
      nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(dumped.size());
  for (char c : dumped) {
    if (c == '<') {
      out += "\\u003c";
    } else {
      out += c;
    }
  }
  return out;
}

void appendNumber(std::string* out, double value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  if (ec == std::errc()) out->append(buf, end);
}

// A series as a chart draws it: its values as shown, in its unit.
struct Line {
  std::string label;
  Values values;
  // "line", "dashed", or "points": a mark at each value, no line.
  std::string style = "line";
  std::string scale = "y";  // "pct": the chart's second axis, in percent
  int decimals = 1;
  std::string unit;
  std::string item;  // of the series it shows, by which a limit finds its line
  const Metric* row = nullptr;
};

Values shown(const Recording::Series& s) {
  Values out = s.values;
  if (s.row->shownPer != 1) {
    for (Value& v : out) {
      if (v) *v /= s.row->shownPer;
    }
  }
  return out;
}

// "cpu0-3" for CPUs 0 to 3, "cpu0,2" otherwise.
std::string cpuListName(const std::vector<unsigned>& cpus) {
  bool run = cpus.size() > 1;
  for (size_t i = 1; i < cpus.size(); ++i) run = run && cpus[i] == cpus[i - 1] + 1;
  if (run) return "cpu" + std::to_string(cpus.front()) + "-" + std::to_string(cpus.back());
  std::string name = "cpu";
  for (size_t i = 0; i < cpus.size(); ++i) name += (i ? "," : "") + std::to_string(cpus[i]);
  return name;
}

// A row's series as the report shows and sums them up: each with its title
// and its values as shown.
struct Shown {
  std::string title;
  std::string item;
  Values values;
};

// The series of a row of the recording. A row that groups its CPUs by their
// clocks (a daemon that does not say which CPUs share one) gives one for
// each set of CPUs that showed the same clock at every sample, named by
// them, and none where the recording holds the clusters of that clock.
std::vector<Shown> shownOf(const Recording& rec, const Metric* row) {
  std::vector<Shown> out;
  if (!row->groupEqualItems) {
    for (const Recording::Series& s : rec.series) {
      if (s.row == row) out.push_back({s.title, s.item, shown(s)});
    }
    return out;
  }
  for (const Recording::Series& s : rec.series) {
    if (s.row->derive == Derive::kCluster && s.row->field == row->field) return out;
  }
  std::vector<std::pair<unsigned, const Recording::Series*>> cpus;
  for (const Recording::Series& s : rec.series) {
    if (s.row == row) cpus.emplace_back(static_cast<unsigned>(atoi(s.item.c_str())), &s);
  }
  std::sort(cpus.begin(), cpus.end());
  std::vector<bool> taken(cpus.size());
  for (size_t i = 0; i < cpus.size(); ++i) {
    if (taken[i]) continue;
    std::vector<unsigned> group{cpus[i].first};
    for (size_t j = i + 1; j < cpus.size(); ++j) {
      if (!taken[j] && cpus[j].second->values == cpus[i].second->values) {
        taken[j] = true;
        group.push_back(cpus[j].first);
      }
    }
    out.push_back({group.size() == 1 ? cpus[i].second->title : cpuListName(group),
                   cpus[i].second->item, shown(*cpus[i].second)});
  }
  return out;
}

// The first series of the recording whose row reads the field as a value.
const Recording::Series* valueOf(const Recording& rec, const field::Field* f) {
  for (const Recording::Series& s : rec.series) {
    if (s.row->field == f && s.row->derive == Derive::kValue) return &s;
  }
  return nullptr;
}

// The values of `at` at the samples where `when` is above 0: the frames
// that missed, marked on another series.
Values marked(const Recording::Series* when, const Values& at) {
  Values out(at.size());
  if (when == nullptr) return out;
  for (size_t k = 0; k < at.size() && k < when->values.size(); ++k) {
    if (when->values[k] && *when->values[k] > 0) out[k] = at[k];
  }
  return out;
}

// The rows of the recording in the catalog's order, each once.
std::vector<const Metric*> rowsOf(const Recording& rec) {
  std::vector<const Metric*> rows;
  for (const Metric& row : catalog()) {
    for (const Recording::Series& s : rec.series) {
      if (s.row == &row) {
        rows.push_back(&row);
        break;
      }
    }
  }
  return rows;
}

// The charts of the report: the fixed ones, then one for each row of a
// chart of its own in any recording.
std::vector<ChartDef> chartsOf(const std::vector<Recording>& recordings) {
  std::vector<ChartDef> charts;
  for (size_t c = 0; c < kChartCount; ++c) {
    ChartDef def = chartDef(kCharts[c]);
    const auto drawn = [&def](const Recording::Series& s) {
      return s.row->chart == def.chart && std::any_of(s.values.begin(), s.values.end(),
                                                      [](const Value& v) { return v.has_value(); });
    };
    const bool recorded = std::any_of(recordings.begin(), recordings.end(), [&](const Recording& r) {
      return std::any_of(r.series.begin(), r.series.end(), drawn);
    });
    if (!def.whenRecorded || recorded) charts.push_back(std::move(def));
  }
  for (const Metric& row : catalog()) {
    if (row.chart != Chart::kOwn) continue;
    const bool recorded = std::any_of(recordings.begin(), recordings.end(), [&](const Recording& r) {
      return std::any_of(r.series.begin(), r.series.end(),
                         [&](const Recording::Series& s) { return s.row == &row; });
    });
    if (recorded) charts.push_back(chartDef(Chart::kOwn, &row));
  }
  return charts;
}

std::vector<Line> lines(const Recording& rec, const ChartDef& chart) {
  std::vector<Line> out;
  for (const Metric* row : rowsOf(rec)) {
    if (row->chart != chart.chart || (chart.chart == Chart::kOwn && row->key() != chart.id)) {
      continue;
    }
    for (Shown& s : shownOf(rec, row)) {
      if (row->derive == Derive::kEach && !row->watched.empty()) {
        // Of a family watched in part, the first item that holds each part.
        bool first = false;
        for (const std::string& part : row->watched) {
          for (const Recording::Series& other : rec.series) {
            if (other.row == row && other.item.find(part) != std::string::npos) {
              first = first || other.item == s.item;
              break;
            }
          }
        }
        if (!first) continue;
      }
      Line line{row->derive == Derive::kValue && !row->chartLabel.empty() ? row->chartLabel
                                                                          : s.title,
                std::move(s.values),
                row->dashed ? "dashed" : "line",
                row->percentAxis ? "pct" : "y",
                row->decimals(),
                row->percentAxis ? "%" : chart.unit,
                s.item,
                row};
      // A limit follows the line it limits: the last one of its item. What
      // sums a family up (the hottest zone) leads its items.
      auto place = out.end();
      if (row->dashed) {
        for (auto it = out.begin(); it != out.end(); ++it) {
          if (it->item == line.item && it->style == "line") place = it + 1;
        }
        while (place != out.end() && place->style == "dashed") ++place;
      } else if (row->derive == Derive::kHottest) {
        place = std::find_if(out.begin(), out.end(), [&](const Line& l) {
          return l.row != nullptr && l.row->field == row->field && l.row->derive == Derive::kEach;
        });
      }
      out.insert(place, std::move(line));
    }
  }
  // The second axis' lines after the first's.
  std::stable_partition(out.begin(), out.end(), [](const Line& l) { return l.scale == "y"; });
  for (const ChartDef::Mark& mark : chart.chartMarks) {
    const Recording::Series* when = valueOf(rec, mark.when);
    const Recording::Series* at = valueOf(rec, mark.at);
    if (when == nullptr || at == nullptr) continue;
    out.push_back({mark.label, marked(when, shown(*at)), "points", "y", at->row->decimals(),
                   chart.unit, "", nullptr});
  }
  return out;
}

// Of a row of words: which words the recording's samples had, and how many
// of each when more than one, then the notes of those words; none when no
// sample had one.
std::optional<std::string> wordsCell(const Recording& rec, const Metric& row) {
  std::vector<size_t> counts(row.words.size());
  for (const Recording::Series& s : rec.series) {
    if (s.row != &row) continue;
    for (const Value& v : s.values) {
      if (v && *v >= 0 && *v < static_cast<double>(counts.size())) {
        ++counts[static_cast<size_t>(*v)];
      }
    }
  }
  const size_t kinds = static_cast<size_t>(
      std::count_if(counts.begin(), counts.end(), [](size_t n) { return n > 0; }));
  if (kinds == 0) return std::nullopt;
  std::string cell;
  std::string notes;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] == 0) continue;
    if (!cell.empty()) cell += ", ";
    cell += row.words[i].text;
    if (kinds > 1) cell += " " + std::to_string(counts[i]);
    if (!row.words[i].note.empty()) notes += "; " + row.words[i].note;
  }
  return cell + (kinds > 1 ? " samples" : "") + notes;
}

// " (zone)": the first item of the family that held the figure's value at
// the first sample that reached it.
std::string whereNote(const Recording& rec, const Values& values, const SummaryLine& line,
                      double value) {
  if (line.figure.of == nullptr) return "";
  std::vector<const Recording::Series*> items;
  std::vector<const Values*> others;
  for (const Recording::Series& s : rec.series) {
    if (s.row->field == line.figure.of && s.row->derive == Derive::kEach) {
      items.push_back(&s);
      others.push_back(&s.values);
    }
  }
  const auto at = whereOf(values, 1, value, others);
  return at ? " (" + items[*at]->title + ")" : "";
}

}  // namespace

std::string htmlEscaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::vector<SummaryRow> summaryRows(const std::vector<Recording>& recordings) {
  using Get = std::function<std::optional<double>(const Recording&)>;
  using Note = std::function<std::string(const Recording&, double)>;
  std::vector<SummaryRow> rows;
  // `fmt` and `unit` write a value; a change of a percentage is in points.
  auto row = [&](const std::string& group, const std::string& label, const char* fmt,
                 const std::string& unit, int better, const Get& get, const Note& note = nullptr,
                 bool whenRecorded = false) {
    SummaryRow r{group, label, {}, {}, std::nullopt, better};
    for (const Recording& rec : recordings) {
      const auto value = get(rec);
      r.values.push_back(value);
      if (!value) {
        r.cells.emplace_back();
        continue;
      }
      std::string cell = fmt[0] == '%' ? format(fmt, *value) + unit : clockText(*value);
      if (note) cell += note(rec, *value);
      r.cells.push_back(std::move(cell));
    }
    const auto known = [](const std::optional<double>& v) { return v.has_value(); };
    if (whenRecorded && std::none_of(r.values.begin(), r.values.end(), known)) return;
    if (recordings.size() == 2 && r.values[0] && r.values[1]) {
      const double d = *r.values[1] - *r.values[0];
      const std::string size = fmt[0] == '%' ? format(fmt, fabs(d)) : clockText(fabs(d));
      // No sign on a change that the shown digits round away.
      const bool none = size.find_first_not_of("0.:") == std::string::npos;
      r.change = (none ? "" : d > 0 ? "+" : "-") + size + (unit == " %" ? " pts" : unit);
      if (none)
        r.better = 0;
      else if (d < 0)
        r.better = -r.better;
    } else {
      r.better = 0;
    }
    rows.push_back(std::move(r));
  };
  row("Run", "duration", "", "", 0, [](const Recording& rec) -> std::optional<double> {
    if (rec.timesS.empty()) return std::nullopt;
    return rec.timesS.back();
  });
  row("Run", "samples", "%.0f", "", 0,
      [](const Recording& rec) { return static_cast<double>(rec.timesS.size()); });
  row("Run", "markers", "%.0f", "", 0,
      [](const Recording& rec) { return static_cast<double>(rec.marks.size()); });

  // Each recording's series of each row, found once.
  std::vector<std::map<const Metric*, std::vector<Shown>>> shownAll(recordings.size());
  for (size_t r = 0; r < recordings.size(); ++r) {
    for (const Metric* m : rowsOf(recordings[r])) shownAll[r][m] = shownOf(recordings[r], m);
  }
  const auto seriesOf = [&](const Recording& rec, const Metric* m) -> const std::vector<Shown>& {
    static const std::vector<Shown> none;
    const auto& all = shownAll[static_cast<size_t>(&rec - recordings.data())];
    const auto found = all.find(m);
    return found == all.end() ? none : found->second;
  };

  // The groups in their order, then any other a row names.
  std::vector<std::string> groups(kSummaryGroups, kSummaryGroups + kSummaryGroupCount);
  for (const Metric& m : catalog()) {
    for (const SummaryLine& line : m.summary) {
      if (std::find(groups.begin(), groups.end(), line.group) == groups.end()) {
        groups.push_back(line.group);
      }
    }
  }
  for (const std::string& group : groups) {
    // A line per label: rows of one label in different recordings (the
    // frame rate of either reply, a cluster's clock or its CPUs') share it.
    struct Entry {
      const Metric* row;
      const SummaryLine* line;
      std::string title;  // of the row's series it sums up; "" for a value
      std::string label;
    };
    std::vector<std::string> labels;
    std::vector<Entry> entries;
    for (const Metric& m : catalog()) {
      if (!m.words.empty()) continue;
      const bool perItem = m.derive != Derive::kValue && m.derive != Derive::kHottest;
      // The rows of one summary (a cluster's clock, or the CPUs of an older
      // daemon that stand for it) take their items together, in the order
      // the recordings give them.
      const auto sameSummary = [&m](const Metric& other) {
        return other.summary.size() == m.summary.size() &&
               std::equal(m.summary.begin(), m.summary.end(), other.summary.begin(),
                          [](const SummaryLine& a, const SummaryLine& b) {
                            return a.group == b.group && a.label == b.label;
                          });
      };
      if (perItem && !m.summary.empty() &&
          std::any_of(&catalog().front(), &m, sameSummary)) {
        continue;
      }
      std::vector<std::string> items = {""};
      if (perItem) {
        items.clear();
        for (const Recording& rec : recordings) {
          for (const Metric& sibling : catalog()) {
            if (&sibling != &m && !sameSummary(sibling)) continue;
            for (const Shown& s : seriesOf(rec, &sibling)) {
              if (std::find(items.begin(), items.end(), s.title) == items.end()) {
                items.push_back(s.title);
              }
            }
          }
        }
      }
      for (const std::string& title : items) {
        for (size_t i = 0; i < m.summary.size(); ++i) {
          if (m.summary[i].group != group) continue;
          const std::string label = title + m.summary[i].label;
          if (std::find(labels.begin(), labels.end(), label) == labels.end()) {
            labels.push_back(label);
          }
          for (const Metric& sibling : catalog()) {
            if (&sibling != &m && !(perItem && sameSummary(sibling))) continue;
            entries.push_back({&sibling, &sibling.summary[i], title, label});
          }
        }
      }
    }
    // The first entry of a label that a recording holds, and its series.
    const auto find = [&](const Recording& rec,
                          const std::string& label) -> std::pair<const Entry*, const Shown*> {
      for (const Entry& e : entries) {
        if (e.label != label) continue;
        for (const Shown& s : seriesOf(rec, e.row)) {
          if (e.title.empty() || s.title == e.title) return {&e, &s};
        }
      }
      return {nullptr, nullptr};
    };
    for (const std::string& label : labels) {
      const SummaryLine* first =
          std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
            return e.label == label;
          })->line;
      const Get get = [&, label](const Recording& rec) -> std::optional<double> {
        const auto [e, s] = find(rec, label);
        if (e == nullptr) return std::nullopt;
        const Recording::Series* over =
            e->line->figure.over.empty() ? nullptr : rec.find(e->line->figure.over);
        return figureOf(e->line->figure, s->values, 1, 1, over ? &over->values : nullptr);
      };
      const Note note = [&, label](const Recording& rec, double value) -> std::string {
        const auto [e, s] = find(rec, label);
        return e == nullptr ? "" : whereNote(rec, s->values, *e->line, value);
      };
      row(group, label, first->format, first->unit, first->better, get, note, first->whenRecorded);
    }
    for (const Metric& m : catalog()) {
      if (m.words.empty()) continue;
      for (const SummaryLine& line : m.summary) {
        if (line.group != group) continue;
        SummaryRow r{group, line.label, {}, {}, std::nullopt, 0};
        for (const Recording& rec : recordings) {
          r.cells.push_back(wordsCell(rec, m));
          r.values.emplace_back();
        }
        const bool any = std::any_of(r.cells.begin(), r.cells.end(),
                                     [](const auto& cell) { return cell.has_value(); });
        if (any || !line.whenRecorded) rows.push_back(std::move(r));
      }
    }
  }
  return rows;
}

std::string chartData(const std::vector<Recording>& recordings) {
  const std::vector<ChartDef> charts = chartsOf(recordings);
  std::string out = "{\"charts\":[";
  for (size_t c = 0; c < charts.size(); ++c) {
    const ChartDef& def = charts[c];
    out += c ? "," : "";
    out += "{\"id\":" + jsonString(def.id) + ",\"title\":" + jsonString(def.title) +
           ",\"unit\":" + jsonString(def.unit) +
           ",\"percentAxis\":" + (def.percentAxis ? "true" : "false") + "}";
  }
  double duration = 0;
  for (const Recording& rec : recordings) {
    if (!rec.timesS.empty()) duration = std::max(duration, rec.timesS.back());
  }
  out += "],\"duration\":";
  appendNumber(&out, duration);
  out += ",\"recordings\":[";
  for (size_t r = 0; r < recordings.size(); ++r) {
    const Recording& rec = recordings[r];
    out += r ? "," : "";
    out += "{\"name\":" + jsonString(rec.name) + ",\"package\":" + jsonString(rec.meta.package) +
           ",\"t\":[";
    for (size_t k = 0; k < rec.timesS.size(); ++k) {
      if (k) out += ',';
      appendNumber(&out, rec.timesS[k]);
    }
    out += "],\"marks\":[";
    for (size_t m = 0; m < rec.marks.size(); ++m) {
      out += m ? ",{\"t\":" : "{\"t\":";
      appendNumber(&out, rec.marks[m].timeS);
      out += ",\"label\":" + jsonString(rec.marks[m].label) + "}";
    }
    out += "],\"charts\":{";
    for (size_t c = 0; c < charts.size(); ++c) {
      out += c ? "," : "";
      out += jsonString(charts[c].id) + ":[";
      const std::vector<Line> chartLines = lines(rec, charts[c]);
      for (size_t i = 0; i < chartLines.size(); ++i) {
        const Line& line = chartLines[i];
        out += i ? "," : "";
        out += "{\"label\":" + jsonString(line.label) + ",\"style\":" + jsonString(line.style) +
               ",\"scale\":" + jsonString(line.scale) +
               ",\"decimals\":" + std::to_string(line.decimals) +
               ",\"unit\":" + jsonString(line.unit) + ",\"values\":[";
        for (size_t k = 0; k < line.values.size(); ++k) {
          if (k) out += ',';
          if (line.values[k]) {
            appendNumber(&out, *line.values[k]);
          } else {
            out += "null";
          }
        }
        out += "]}";
      }
      out += "]";
    }
    out += "}}";
  }
  out += "]}";
  return out;
}

std::string reportHtml(const std::vector<Recording>& recordings, const std::string& generated) {
  std::string title = "perfprobe report";
  if (!recordings.empty() && !recordings.front().meta.package.empty()) {
    title += ": " + recordings.front().meta.package;
  }
  std::string h;
  h.reserve(1 << 16);
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  // Nothing outside the file: no script, style, image or connection from
  // anywhere else, whatever a label holds.
  h += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
       "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">\n";
  h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  h += "<meta name=\"generator\" content=\"perfprobe report\">\n";
  h += "<title>" + htmlEscaped(title) + "</title>\n";
  h += "<style>\n";
  h += kUplotCss;
  h += "\n";
  h += kReportCss;
  h += "</style>\n</head>\n<body>\n<header>\n<h1>" + htmlEscaped(title) + "</h1>\n";
  h += "<p class=\"hint\">Drag across a chart to zoom every chart; double-click to see the "
       "whole run. Hover for the values at that moment; click a legend entry to hide its line."
       "</p>\n</header>\n";

  h += "<section id=\"summary\">\n<h2>Summary</h2>\n<table class=\"summary\">\n<thead><tr><th>"
       "</th>";
  for (const Recording& rec : recordings) {
    h += "<th scope=\"col\"><span class=\"rec-name\">" + htmlEscaped(rec.name) +
         "</span><span class=\"rec-meta\">" + htmlEscaped(rec.meta.package);
    if (!rec.meta.host.empty()) {
      h += " · " + htmlEscaped(rec.meta.host) + ":" + std::to_string(rec.meta.port);
    }
    if (!rec.meta.start.empty()) h += " · " + htmlEscaped(rec.meta.start);
    h += "</span>";
    if (!rec.ended) h += "<span class=\"rec-warn\">the run did not end as it should</span>";
    h += "</th>";
  }
  const bool compared = recordings.size() == 2;
  if (compared) h += "<th scope=\"col\" class=\"change\">change</th>";
  h += "</tr></thead>\n<tbody>\n";
  std::string group;
  for (const SummaryRow& row : summaryRows(recordings)) {
    if (row.group != group) {
      group = row.group;
      h += "<tr class=\"group\"><th colspan=\"" +
           std::to_string(recordings.size() + (compared ? 2 : 1)) + "\">" + htmlEscaped(group) +
           "</th></tr>\n";
    }
    h += "<tr><th scope=\"row\">" + htmlEscaped(row.label) + "</th>";
    for (const auto& cell : row.cells) {
      h += cell ? "<td>" + htmlEscaped(*cell) + "</td>"
                : std::string("<td class=\"not-recorded\">not recorded</td>");
    }
    if (compared) {
      const char* way = row.better > 0 ? " better" : row.better < 0 ? " worse" : "";
      h += "<td class=\"change" + std::string(way) + "\">" + htmlEscaped(row.change.value_or("")) +
           "</td>";
    }
    h += "</tr>\n";
  }
  h += "</tbody>\n</table>\n";

  bool anyMark = false;
  for (const Recording& rec : recordings) anyMark = anyMark || !rec.marks.empty();
  if (anyMark) {
    h += "<h3>Markers</h3>\n<table class=\"marks\">\n<thead><tr><th>recording</th><th>time</th>"
         "<th>marker</th></tr></thead>\n<tbody>\n";
    for (const Recording& rec : recordings) {
      for (const Mark& mark : rec.marks) {
        h += "<tr><td>" + htmlEscaped(rec.name) + "</td><td>" + clockText(mark.timeS) + " (" +
             format("%.1f", mark.timeS) + " s)</td><td>" + htmlEscaped(mark.label) + "</td></tr>\n";
      }
    }
    h += "</tbody>\n</table>\n";
  }
  h += "</section>\n<section id=\"charts\"></section>\n";

  h += "<footer>\n<p>Made by perfprobe report on " + htmlEscaped(generated) +
       ". The charts are drawn by uPlot " + kUplotVersion + ", whose licence follows.</p>\n";
  h += "<pre class=\"licence\">" + htmlEscaped(kUplotLicense) + "</pre>\n</footer>\n";
  h += "<script type=\"application/json\" id=\"perfprobe-data\">";
  h += chartData(recordings);
  h += "</script>\n<script>\n/* uPlot " + std::string(kUplotVersion) + " (MIT licence, above) */\n";
  h += kUplotJs;
  h += "\n</script>\n<script>\n";
  h += kReportJs;
  h += "</script>\n</body>\n</html>\n";
  return h;
}

}  // namespace perfprobe
