#pragma once

#include <stddef.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fields.h"
#include "series.h"

// The client's one table of the daemon's figures: a row for each field or
// family of a reply, and for each series the client makes of a family (a
// cluster's clock, the hottest zone), holding what every output needs to
// show it. `stats`, the monitor's series (live line, CSV, JSON, plot,
// summary), the recording, the HTML report and the exporter's page are all
// made from it, so that a new field is its wire name (fields.h), its
// daemon's writer and one row here.
namespace perfprobe {

// The reply a row is read from: the daemon's two replies of figures, and
// the two that a daemon without them still gives, GET_FPS's rate and
// GET_SIMPLE's report of CPU clocks.
enum class From { kStats, kFrameStats, kFps, kCpuReport };

// How a row's series are made of its field.
enum class Derive {
  kValue,        // the field's value: one series
  kEach,         // a family's: one series per item, CPUs by number, zones in the reply's order
  kCluster,      // a CPU family's: one series per cluster, the value of its first CPU that has one
  kClusterMean,  // a CPU family's: one series per cluster, the mean of its CPUs' values
  kHottest,      // a family's: the highest of its items' values
};

// The panels of the plot and the charts of the report, in the order both
// draw them. A row of kOwn draws on a panel and a chart of its own, titled
// by its label, after these.
enum class Chart {
  kNone,
  kFps,
  kFrameTime,
  kOsJank,
  kCpuClock,
  kLoad,
  kGpu,
  kTemperature,
  kPower,
  kOwn
};

// The sections of `perfprobe stats`, in its order. A CPU family is a column
// of the CPU section's table; the zones are listed hottest first.
enum class Section { kNone, kDevice, kCpu, kGpu, kBattery, kApp, kDaemon, kTemperatures };

// A line of the report's summary table: one figure of the row's series;
// of a row of words, how many samples had each and the notes of those it
// had.
struct SummaryLine {
  std::string group;  // "Frames"; the table keeps its groups in kSummaryGroups' order
  // "FPS median"; for a row of many series, what follows each one's title:
  // " clock mean" gives "cpu0-3 clock mean".
  std::string label;
  Figure figure;
  const char* format = "%.1f";  // of the value; "" for a time, as 1:05
  std::string unit;             // " ms"; " %" is a share, whose change is in points
  // 1: more is better (frames), -1: less is (jank), 0: neither (a clock).
  int better = 0;
  // Left out when no recording has a value of it: a figure that only some
  // phones give.
  bool whenRecorded = false;
};

// A word a text of few words may hold, and what the summary and the report
// say of a run that had it, such as that its frame times are whole
// milliseconds.
struct Word {
  std::string text;
  std::string note = "";
};

struct Metric {
  From from = From::kStats;
  const field::Field* field = nullptr;
  Derive derive = Derive::kValue;

  // `perfprobe stats`: the line's label (a CPU family's column head, with
  // the field's unit after it), in its section.
  Section section = Section::kNone;
  std::string label;

  // The monitor's series. The title of a value, of a cluster after its
  // CPUs (" max": "cpu0-3 max"), of a family's item before it ("cpu":
  // "cpu3"; "": the zone's name).
  std::string title;
  // The live table, the summary and the plot show each value divided by
  // shownPer, in shownUnit (kHz as MHz); empty: in the field's own.
  std::string shownUnit;
  double shownPer = 1;
  int liveWidth = 7;
  bool live = false;  // on the live line unless --columns chooses
  std::optional<Kind::Group> group;
  std::vector<Figure> figures;  // in the summary, terminal and JSON
  Chart plot = Chart::kNone;
  // Of a family drawn on its panel and chart: only the first item whose
  // name holds each of these. Empty: every item.
  std::vector<std::string> watched;

  // The report: its chart, the label of its line there (its title when
  // empty), dashed as a limit is, on the chart's second axis in percent.
  Chart chart = Chart::kNone;
  std::string chartLabel;
  bool dashed = false;
  bool percentAxis = false;
  // The series of one CPU each that show the same clock at every sample are
  // drawn and summed up as one line, as the CPUs of a cluster: for a daemon
  // that does not say which CPUs share a clock.
  bool groupEqualItems = false;
  std::vector<SummaryLine> summary;

  // The exporter: its family (none: not exported), in base units: each
  // value times scale. An item of a family, and a text, is a label of this
  // name; a text's sample is 1, an info series.
  std::string promName;
  std::string promHelp;
  double promScale = 1;
  std::string promLabel;
  // A CPU's sample also carries its cluster's label, where it is known.
  bool promCluster = false;

  // Of a text of these words only: a series of the monitor, which shows a
  // word for each sample and in the summary how many samples had each. A
  // word it does not know is missing.
  std::vector<Word> words;

  // Whether the monitor keeps series of it: not of a text that lists no
  // words, nor of a family that rows of its clusters stand for.
  bool series = true;

  // The row's name in a recording: the field's name; a family's prefix,
  // "*" for its item, and its suffix; "cluster*" and the suffix for a
  // cluster's; the request's keyword for a reply that is not lines of
  // fields.
  std::string key() const;
  bool isText() const { return field->format == field::Format::kText; }
  bool makesSeries() const { return series && (!isText() || !words.empty()); }
  int decimals() const { return field::decimalsOf(*field); }
};

// Every row: the fields of GET_STATS in the order of the monitor's series,
// then GET_FRAMESTATS'. A row of an older reply stands beside the row it
// takes the place of, where the report's summary puts them together.
const std::vector<Metric>& catalog();

// The rows read from one reply, in order.
const std::vector<const Metric*>& rowsFrom(From from);

// The row of that key, or null.
const Metric* rowByKey(std::string_view key);

// The row whose series a column of a recording of the first version was
// (a CPU's clock, a cluster's load), or null: such a recording names its
// series and nothing more. Where two rows make the same column, the one
// the report draws.
const Metric* rowOfColumn(std::string_view column);

// The item or cluster of the row's series of that column ("3" of a CPU's,
// "0-3" of a cluster's, "" of a value's); none when the row makes no
// series of that name.
std::optional<std::string> itemOfColumn(const Metric& row, std::string_view column);

// The section names of `perfprobe stats`, and the report's summary groups,
// in order.
const char* sectionTitle(Section section);
extern const char* const kSummaryGroups[];
extern const size_t kSummaryGroupCount;

// A chart as the plot and the report draw it.
struct ChartDef {
  Chart chart;
  // The plot's panel: its y label, gnuplot's style, its y axis from 0, a
  // dashed guide across, what it says without a series or a value, and the
  // points it marks.
  std::string ylabel;
  std::string style;
  bool fromZero;
  std::optional<Panel::Guide> guide;
  std::string noSeries;
  std::string noValues;
  std::vector<Panel::Mark> panelMarks;
  // The report's chart: its id in the page's data, title and unit, a second
  // axis in percent, and the points it marks: at each sample where the
  // series of the first field is above 0, the value of the second's.
  std::string id;
  std::string title;
  std::string unit;
  bool percentAxis;
  struct Mark {
    const field::Field* when;
    const field::Field* at;
    std::string label;
  };
  std::vector<Mark> chartMarks;
  // On the report only when a recording holds a value of its rows' lines:
  // figures that only some phones give.
  bool whenRecorded = false;
};

// How the chart is drawn; a row's own chart (kOwn) is made of the row.
ChartDef chartDef(Chart chart, const Metric* own = nullptr);

// The fixed charts, in order.
extern const Chart kCharts[];
extern const size_t kChartCount;

// What a row's series stand for: nothing ("") for a value, the CPU number
// or zone name of a family's item, the CPUs of a cluster ("0-3", named
// "cpu0-3").
struct Item {
  std::string item;
  std::string name = "";  // a cluster's
};

// The item of the series a family's highest value makes.
extern const char kHottestItem[];
std::string columnOf(const Metric& row, const std::string& item);
std::string headOf(const Metric& row, const std::string& column);

// The row's kind in the monitor's table, with a series for each item, in
// order, and no value yet.
Kind kindOf(const Metric& row, const std::vector<Item>& items);

}  // namespace perfprobe
