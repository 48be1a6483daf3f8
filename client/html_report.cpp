#include "html_report.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <nlohmann/json.hpp>

#include "report.h"
#include "report_assets.h"

namespace perfprobe {

namespace {

using Values = std::vector<Value>;

std::string format(const char* fmt, double value) {
  char buf[64];
  snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

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
};

Values shown(const Recording::Series& s) {
  Values out = s.values;
  if (s.role.shownPer != 1) {
    for (Value& v : out) {
      if (v) *v /= s.role.shownPer;
    }
  }
  return out;
}

std::optional<double> figureOf(const Values& values, Figure::What what,
                               const Values* over = nullptr, double per = 1) {
  Kind kind;
  Series series;
  series.values = values;
  Figure f{what, "", ""};
  f.per = per;
  Series overSeries;
  if (over != nullptr) overSeries.values = *over;
  return figure(kind, series, f, 1, over != nullptr ? &overSeries : nullptr);
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

// One clock line per cluster, with its cap: the cluster series of GET_STATS,
// or, from a daemon without it, the CPUs of GET_SIMPLE that showed the same
// clock at every sample, as the CPUs of one cluster do.
struct Clock {
  std::string title;  // names its CPUs: "cpu0-3"
  Values mhz;
  Values maxMhz;
};

std::vector<Clock> clocks(const Recording& rec) {
  std::vector<Clock> out;
  for (const Recording::Series& s : rec.series) {
    if (s.role.item == Role::kClusterClock) {
      Clock clock{s.title, shown(s), {}};
      const std::string cap = s.name.substr(0, s.name.size() - 4) + "_max_khz";
      if (const auto* max = rec.find(cap)) clock.maxMhz = shown(*max);
      out.push_back(std::move(clock));
    }
  }
  if (!out.empty()) return out;
  std::vector<std::pair<unsigned, const Recording::Series*>> cpus;
  for (const Recording::Series& s : rec.series) {
    if (s.role.item == Role::kCpuClock) {
      cpus.emplace_back(static_cast<unsigned>(atoi(s.name.c_str() + 3)), &s);
    }
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
                   shown(*cpus[i].second),
                   {}});
  }
  return out;
}

// The zones drawn beside the hottest: the first whose name holds "skin"
// (what a hand feels, and what thermal policies often cap at) and the first
// whose name holds "batt".
std::vector<const Recording::Series*> watchedZones(const Recording& rec) {
  std::vector<const Recording::Series*> out;
  for (const char* part : {"skin", "batt"}) {
    for (const Recording::Series& s : rec.series) {
      if (s.role.item == Role::kZone && s.name.find(part) != std::string::npos) {
        if (std::find(out.begin(), out.end(), &s) == out.end()) out.push_back(&s);
        break;
      }
    }
  }
  return out;
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

struct ChartDef {
  Chart chart;
  const char* id;
  const char* title;
  const char* unit;  // of the first axis
  bool percentAxis;  // a second axis, in percent
};

const ChartDef kCharts[] = {
    {Chart::kFps, "fps", "Frame rate", "FPS", false},
    {Chart::kFrameTime, "frame_time", "Frame time", "ms", false},
    {Chart::kCpuClock, "cpu_clock", "CPU clock", "MHz", false},
    {Chart::kCpuLoad, "cpu_load", "CPU load", "%", false},
    {Chart::kGpu, "gpu", "GPU", "MHz", true},
    {Chart::kTemperature, "temperature", "Temperature", "°C", false},
    {Chart::kPower, "power", "Battery power", "mW", false},
};

std::vector<Line> lines(const Recording& rec, Chart chart) {
  std::vector<Line> out;
  auto add = [&](const char* name, const std::string& label, const char* unit, int decimals,
                 const std::string& style = "line") {
    if (const auto* s = rec.find(name))
      out.push_back({label, shown(*s), style, "y", decimals, unit});
  };
  switch (chart) {
    case Chart::kFps: {
      add("fps", "FPS", "FPS", 1);
      if (out.empty()) break;
      const Values fps = out.front().values;
      const auto* jank = rec.find("jank");
      const auto* bigJank = rec.find("big_jank");
      if (jank != nullptr) out.push_back({"jank", marked(jank, fps), "points", "y", 1, "FPS"});
      if (bigJank != nullptr) {
        out.push_back({"big jank", marked(bigJank, fps), "points", "y", 1, "FPS"});
      }
      break;
    }
    case Chart::kFrameTime: {
      add("frame_ms_p50", "p50", "ms", 2);
      add("frame_ms_p95", "p95", "ms", 2);
      add("frame_ms_max", "max", "ms", 2);
      // At the sample's longest frame: its jank frames are its longest.
      if (const auto* max = rec.find("frame_ms_max")) {
        const Values at = shown(*max);
        if (const auto* jank = rec.find("jank")) {
          out.push_back({"jank", marked(jank, at), "points", "y", 2, "ms"});
        }
      }
      break;
    }
    case Chart::kCpuClock:
      for (Clock& clock : clocks(rec)) {
        out.push_back({clock.title, std::move(clock.mhz), "line", "y", 0, "MHz"});
        if (!clock.maxMhz.empty()) {
          out.push_back({clock.title + " max", std::move(clock.maxMhz), "dashed", "y", 0, "MHz"});
        }
      }
      break;
    case Chart::kCpuLoad:
      add("cpu_load_pct", "CPU", "%", 1);
      for (const Recording::Series& s : rec.series) {
        if (s.role.item == Role::kClusterLoad) {
          out.push_back({s.title, shown(s), "line", "y", 1, "%"});
        }
      }
      break;
    case Chart::kGpu:
      add("gpu_khz", "GPU clock", "MHz", 0);
      add("gpu_max_khz", "GPU max", "MHz", 0, "dashed");
      if (const auto* busy = rec.find("gpu_busy_pct")) {
        out.push_back({"GPU busy", shown(*busy), "line", "pct", 1, "%"});
      }
      break;
    case Chart::kTemperature:
      add("temp_hottest_c", "hottest", "°C", 1);
      for (const auto* zone : watchedZones(rec)) {
        out.push_back({zone->title, shown(*zone), "line", "y", 1, "°C"});
      }
      break;
    case Chart::kPower:
      add("battery_mw", "power", "mW", 0);
      break;
    case Chart::kNone:
      break;
  }
  return out;
}

// One figure of a series; none when the recording lacks it or it has no value.
std::optional<double> seriesFigure(const Recording& rec, const char* name, Figure::What what) {
  const auto* s = rec.find(name);
  if (s == nullptr) return std::nullopt;
  return figureOf(shown(*s), what);
}

// A count per 10 minutes or a share of the time, over the windows sampled.
std::optional<double> ratio(const Recording& rec, const char* name, double per) {
  const auto* s = rec.find(name);
  const auto* window = rec.find("window_ms");
  if (s == nullptr || window == nullptr) return std::nullopt;
  return figureOf(s->values, Figure::kRatio, &window->values, per);
}

// " (zone)": the first zone that held the hottest temperature `max`, at the
// first sample that reached it.
std::string hottestZone(const Recording& rec, double max) {
  const auto* top = rec.find("temp_hottest_c");
  if (top == nullptr) return "";
  for (size_t k = 0; k < top->values.size(); ++k) {
    if (top->values[k] != max) continue;
    for (const Recording::Series& s : rec.series) {
      if (s.role.item == Role::kZone && k < s.values.size() && s.values[k] == max) {
        return " (" + s.title + ")";
      }
    }
    break;
  }
  return "";
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
  std::vector<SummaryRow> rows;
  // `fmt` and `unit` write a value; a change of a percentage is in points.
  auto row = [&](const std::string& group, const std::string& label, const char* fmt,
                 const std::string& unit, int better, const Get& get,
                 const std::function<std::string(const Recording&, double)>& note = nullptr) {
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
  auto of = [](const char* name, Figure::What what) -> Get {
    return [name, what](const Recording& rec) { return seriesFigure(rec, name, what); };
  };
  row("Run", "duration", "", "", 0, [](const Recording& rec) -> std::optional<double> {
    if (rec.timesS.empty()) return std::nullopt;
    return rec.timesS.back();
  });
  row("Run", "samples", "%.0f", "", 0,
      [](const Recording& rec) { return static_cast<double>(rec.timesS.size()); });
  row("Run", "markers", "%.0f", "", 0,
      [](const Recording& rec) { return static_cast<double>(rec.marks.size()); });

  row("Frames", "FPS median", "%.1f", "", 1, of("fps", Figure::kMedian));
  row("Frames", "FPS 5th percentile", "%.1f", "", 1, of("fps", Figure::kP5));
  row("Frames", "FPS minimum", "%.1f", "", 1, of("fps", Figure::kMin));
  row("Frames", "jank per 10 min", "%.1f", "", -1,
      [](const Recording& rec) { return ratio(rec, "jank", 600000); });
  row("Frames", "stutter", "%.2f", " %", -1,
      [](const Recording& rec) { return ratio(rec, "jank_ms", 100); });
  row("Frames", "frame time p95 (median of samples)", "%.2f", " ms", -1,
      of("frame_ms_p95", Figure::kMedian));
  row("Frames", "longest frame", "%.2f", " ms", -1, of("frame_ms_max", Figure::kMax));

  // A row per cluster of any recording, in the order they come; each
  // recording's clusters found once.
  std::vector<std::vector<Clock>> clocksOf;
  std::vector<std::string> clusterTitles;
  for (const Recording& rec : recordings) {
    clocksOf.push_back(clocks(rec));
    for (const Clock& clock : clocksOf.back()) {
      if (std::find(clusterTitles.begin(), clusterTitles.end(), clock.title) ==
          clusterTitles.end()) {
        clusterTitles.push_back(clock.title);
      }
    }
  }
  for (const std::string& title : clusterTitles) {
    for (const auto what : {Figure::kMean, Figure::kMax}) {
      row("CPU", title + (what == Figure::kMean ? " clock mean" : " clock max"), "%.0f", " MHz", 0,
          [&](const Recording& rec) -> std::optional<double> {
            for (const Clock& clock : clocksOf[static_cast<size_t>(&rec - recordings.data())]) {
              if (clock.title == title) return figureOf(clock.mhz, what);
            }
            return std::nullopt;
          });
    }
  }
  row("CPU", "load mean", "%.1f", " %", -1, of("cpu_load_pct", Figure::kMean));
  row("CPU", "load max", "%.1f", " %", -1, of("cpu_load_pct", Figure::kMax));
  row("GPU", "clock mean", "%.0f", " MHz", 0, of("gpu_khz", Figure::kMean));
  row("GPU", "clock max", "%.0f", " MHz", 0, of("gpu_khz", Figure::kMax));
  row("GPU", "busy mean", "%.1f", " %", -1, of("gpu_busy_pct", Figure::kMean));
  row("Temperature", "hottest", "%.1f", " °C", -1, of("temp_hottest_c", Figure::kMax), hottestZone);
  // Negative while the battery discharges: more power drawn is lower.
  row("Power", "battery power mean", "%.0f", " mW", 1, of("battery_mw", Figure::kMean));
  row("Power", "battery drop", "%.0f", " %", -1, of("battery_pct", Figure::kDrop));
  return rows;
}

std::string chartData(const std::vector<Recording>& recordings) {
  std::string out = "{\"charts\":[";
  for (size_t c = 0; c < std::size(kCharts); ++c) {
    const ChartDef& def = kCharts[c];
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
    for (size_t c = 0; c < std::size(kCharts); ++c) {
      out += c ? "," : "";
      out += jsonString(kCharts[c].id) + ":[";
      const std::vector<Line> chartLines = lines(rec, kCharts[c].chart);
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
