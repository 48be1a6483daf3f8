#pragma once

#include <stddef.h>

#include <optional>
#include <string>
#include <vector>

#include "fields.h"

// A monitor's data: named series of values over its samples. Each series is
// of a kind that tells every writer (report.h) where and how to show it, so
// that a new metric is a new source of series (sources.h) and no writer
// changes.
namespace perfprobe {

// One value of one sample; none where the daemon gave nothing ("NA", no
// reply), which every writer shows as missing, never as 0.
using Value = std::optional<double>;

struct Series {
  // The CSV column and the key of the JSON lines: the field's name in the
  // daemon's reply, or one the client makes of a family ("cluster0-3_khz").
  std::string name;
  std::string title;          // in the summary text and the plot: "FPS", "cpu0"
  std::vector<Value> values;  // one per sample
  // On the live line; the files have every series. A line that a terminal
  // still holds keeps only what a tester watches.
  bool live = true;
  // On the kind's panel, and in the summary: a kind of many items (every
  // thermal zone) may draw and sum up a few of them.
  bool drawn = true;
  bool summarized = true;
  // The live table's column head, when not the name: a name without its
  // unit, told at the end of the head instead ("cpu0", "(MHz)").
  std::string head = "";
  // The family item or cluster the series stands for: "3", "skin", "0-3".
  std::string item = "";
};

// One figure that the summary gives of each series of a kind, from the
// values as shown (kind.shownPer).
struct Figure {
  // kRatio: the sum of the series over the sum of the series `over`, times
  // `per`, from the values as kept of the samples that have both. A rate of the samples' own
  // windows stays right when samples repeat or skip a window of the daemon.
  // kDrop: the first value less the last, of the samples that have one.
  enum What { kCount, kMin, kMedian, kMean, kP5, kMax, kSecondsBelow, kRatio, kDrop };
  What what;
  std::string key;   // in the JSON summary: "min", "mean_mhz"
  std::string text;  // in the summary text: "min", "mean MHz"; a count's is
                     // told on the first line: "2 with a frame rate"
  double below = 0;  // kSecondsBelow: samples below this, one interval each
  std::string over = "";  // kRatio: the column of the divisor
  double per = 1;         // kRatio: 600000 for a count per 10 minutes of ms
  std::string suffix = "";  // after the value in the summary text: "%"
  // kMax: also the title of the first series of the family `of` that held
  // the same value at the sample of the maximum, under this key in the JSON
  // summary and in brackets in the text: the zone that was the hottest.
  std::string where = "";
  const field::Field* of = nullptr;
};

// The plot's panel of a kind, its series drawn over time.
struct Panel {
  struct Guide {
    double at;
    std::string title;
  };
  // A point on every sample where the series of column `when` is above 0,
  // at the value of the series of column `at`: the jank frames on the
  // frame times.
  struct Mark {
    std::string when;
    std::string at;
    std::string style;  // gnuplot's "with points ..."
    std::string title;
  };
  // A kind without a panel is in the files and the summary only, or marked
  // on another kind's panel. Kinds of the same key share one panel.
  bool drawn = true;
  std::string key;
  std::string ylabel;
  std::string style;           // gnuplot's "with ..." for each series
  bool fromZero = false;       // the y axis starts at 0
  std::optional<Guide> guide;  // a dashed line across, such as a slow frame rate
  // What the panel says instead when the kind has no series, or not a single
  // value (gnuplot refuses to plot nothing).
  std::string noSeries;
  std::string noValues;
  std::vector<Mark> marks;
};

struct Metric;

// What the series of one kind share: their unit, their format and their
// place in every output. A kind of the monitor is a row of the catalog.
struct Kind {
  // The row it was made of; null for a kind made otherwise.
  const Metric* metric = nullptr;
  // Of the values as kept and written to the files ("kHz"); empty for a
  // count.
  std::string unit;
  // Digits after the point, in the files and on the live line; 0: whole
  // numbers, which the JSON lines write as integers.
  int decimals = 0;
  // The live table, the summary and the plot show each value divided by
  // shownPer, in shownUnit (kHz as MHz); empty when the name says it.
  std::string shownUnit;
  double shownPer = 1;
  int liveWidth = 7;  // at least; a longer head widens its column
  // A text of these words, each value the index of one: every writer shows
  // the word, and none of the numbers.
  std::vector<std::string> words;
  // A kind of one series per item (per CPU) is one array in each JSON line
  // and in the JSON summary, and one table in the summary text, with this
  // head; the series of any other kind stand on their own.
  struct Group {
    std::string sampleKey;   // "cpu_khz"
    std::string summaryKey;  // "cpus"
    std::string title;       // "CPU"
  };
  std::optional<Group> group;
  std::vector<Figure> figures;  // none: the kind is not in the summary
  Panel panel;
  std::vector<Series> series;
};

// The series' head on the live line.
std::string liveHead(const Series& series);

// Whether the values as shown are whole numbers, which a figure that picks
// one of them (min, max, percentile) then shows as such.
bool wholeShown(const Kind& kind);

// The word a value of a kind of words stands for; none for a missing
// value or a kind of numbers.
std::optional<std::string> wordOf(const Kind& kind, const Value& value);

// The value of sample k; none past the series' end.
Value valueAt(const Series& series, size_t k);
bool anyValue(const Series& series);

struct Table {
  std::vector<double> timesS;  // each sample's, since the collection started
  std::vector<Kind> kinds;     // in the order of every output

  size_t size() const { return timesS.size(); }
  // Adds a sample: one value per series in the order of the kinds. A short
  // row leaves the series past its end missing.
  void append(double timeS, const std::vector<Value>& row);
};

// A series found by its CSV column name, with its kind and its place among
// the columns (1 is the time).
struct Located {
  const Kind* kind;
  const Series* series;
  size_t column;
};
std::optional<Located> locate(const Table& table, const std::string& name);

}  // namespace perfprobe
