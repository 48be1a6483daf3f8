#include "plot.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "report.h"
#include "scoped_resource.h"
#include "text.h"

namespace perfprobe {

namespace {

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


// A drawn kind, with the column of its first series.
struct Drawn {
  const Kind* kind;
  size_t firstColumn;
};

// The kinds of one panel: those of the first's key, or the first alone
// when it has none.
std::vector<std::vector<Drawn>> panelsOf(const Table& table) {
  std::vector<std::vector<Drawn>> panels;
  size_t column = 2;  // the time is the first
  for (const Kind& kind : table.kinds) {
    if (kind.panel.drawn) {
      auto same = std::find_if(panels.begin(), panels.end(), [&](const std::vector<Drawn>& p) {
        return !kind.panel.key.empty() && p.front().kind->panel.key == kind.panel.key;
      });
      if (same == panels.end()) {
        panels.push_back({{&kind, column}});
      } else {
        same->push_back({&kind, column});
      }
    }
    column += kind.series.size();
  }
  return panels;
}

std::string plotPanel(const Table& table, const std::vector<Drawn>& kinds, const std::string& data) {
  const Panel& panel = kinds.front().kind->panel;
  std::string s = "set ylabel " + gnuplotString(panel.ylabel) + "\n";
  bool any = false, none = true;
  for (const Drawn& d : kinds) {
    for (const Series& series : d.kind->series) {
      any = any || (series.drawn && anyValue(series));
      none = none && !series.drawn;
    }
  }
  if (!any) {
    const std::string& what = none ? panel.noSeries : panel.noValues;
    return s + "set label 1 " + gnuplotString(what) + " at graph 0.5, graph 0.5 center\n" +
           "plot [0:1] [0:1] NaN notitle\nunset label 1\n";
  }
  if (panel.fromZero) s += "set yrange [0:*]\n";
  std::string clauses;
  for (const Drawn& d : kinds) {
    const Kind& kind = *d.kind;
    for (size_t i = 0; i < kind.series.size(); ++i) {
      if (!kind.series[i].drawn) continue;
      const std::string col = std::to_string(d.firstColumn + i);
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
  }
  if (panel.guide) {
    clauses += ", " + format("%g", panel.guide->at) +
               " with lines dashtype 2 lc rgb 'gray40' title " + gnuplotString(panel.guide->title);
  }
  for (const Panel::Mark& mark : panel.marks) {
    const auto when = locate(table, mark.when);
    const auto where = locate(table, mark.at);
    bool marked = false;
    for (size_t k = 0; when && where && k < table.size(); ++k) {
      const Value w = valueAt(*when->series, k);
      if (w && *w > 0 && valueAt(*where->series, k)) marked = true;
    }
    std::string source = "NaN";
    if (marked) {
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

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string plotScript(const std::string& dataPath, const std::string& pngPath,
                       const std::string& title, const Table& table) {
  const std::string data = gnuplotString(dataPath);
  const std::vector<std::vector<Drawn>> panels = panelsOf(table);
  std::string s;
  // 450 pixels a panel.
  s += "set terminal pngcairo size 1280," + std::to_string(450 * panels.size()) +
       " font 'sans,11'\n";
  s += "set output " + gnuplotString(pngPath) + "\n";
  // Names are shown as they are: a thermal zone's skin_therm is no subscript.
  s += "set termoption noenhanced\n";
  s += "set datafile missing 'NA'\n";
  s += "set grid\n";
  s += "set key outside right top\n";
  // Fixed margins, so that the panels share their time axis.
  s += "set lmargin at screen 0.07\n";
  s += "set rmargin at screen 0.87\n";
  s += "set multiplot layout " + std::to_string(panels.size()) + ",1 title " +
       gnuplotString(title) + " noenhanced\n";
  for (size_t i = 0; i < panels.size(); ++i) {
    // Only the bottom panel names the time axis.
    if (i + 1 == panels.size()) s += "set xlabel 'time (s)'\n";
    s += plotPanel(table, panels[i], data);
  }
  s += "unset multiplot\n";
  return s;
}

bool renderPlot(const Table& table, const std::string& pngPath, const std::string& title) {
  char dataPath[] = "/tmp/perfprobe-plot-XXXXXX";
  ScopedFile data(mkostemp(dataPath, O_CLOEXEC));
  if (!data) {
    perror("perfprobe: temporary file for the plot");
    return false;
  }
  std::string rows;
  for (size_t k = 0; k < table.size(); ++k) rows += csvRow(table, k);
  std::replace(rows.begin(), rows.end(), ',', ' ');
  bool ok = writeAll(data.get(), rows);
  data.reset();
  int in[2];
  if (ok && pipe2(in, O_CLOEXEC) == 0) {
    ScopedFile readEnd(in[0]);
    ScopedFile writeEnd(in[1]);
    const pid_t child = fork();
    if (child == 0) {
      dup2(readEnd.get(), STDIN_FILENO);
      execlp("gnuplot", "gnuplot", static_cast<char*>(nullptr));
      _exit(127);
    }
    readEnd.reset();
    ok = child > 0;
    if (ok) {
      // SIGPIPE is ignored while monitoring, so a gnuplot that died early
      // shows only in its status.
      writeAll(writeEnd.get(), plotScript(dataPath, pngPath, title, table));
      writeEnd.reset();
      int status = -1;
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
  } else {
    ok = false;
  }
  unlink(dataPath);
  if (!ok) fprintf(stderr, "perfprobe: gnuplot could not render %s\n", pngPath.c_str());
  return ok;
}

}  // namespace perfprobe
