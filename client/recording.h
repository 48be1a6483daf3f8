#pragma once

#include <stddef.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog.h"
#include "series.h"

// A monitor's recording (--record FILE): everything a run measured, as JSON
// lines, which `perfprobe report` turns into a page. One object per line:
//   {"perfprobe_recording":2,"device":{"host":H,"port":P},"package":PATTERN,
//    "start":"2026-12-11T03:04:05.123Z","interval_s":1,
//    "series":[{"name":"fps","title":"FPS","unit":"","chart":"fps",
//               "kind":"fps"},...]}                          first, once
//   {"t":1.002,"v":[59.9,null,...]}         a sample: "v" in "series" order
//   {"t":12.345,"mark":"boss fight"}        a marker (monitor --mark)
//   {"summary":{...}}                       last: the monitor's JSON summary
// "t" is seconds since the sampling started; null is a value the daemon did
// not give; a text of few words (the frames' source) is its word. Each
// series names its values' unit, the report's chart it is drawn on ("" for
// none) and its kind: the catalog's row that made it (catalog.h), by which
// the report knows what it is. A recording of the first version named its
// series and nothing more. Each line is written whole and flushed, so a run
// that was killed leaves a recording that reads up to its last sample.
namespace perfprobe {

constexpr int kRecordingVersion = 2;
// The oldest version this perfprobe reads.
constexpr int kOldestRecordingVersion = 1;

struct RecordingMeta {
  std::string host;
  int port = 0;
  std::string package;
  std::string start;  // UTC, ISO 8601
  double intervalS = 1;
};

struct Mark {
  double timeS;
  std::string label;
};

// monitor --mark's standard input, as marker labels: one per line, with
// control characters as spaces, trimmed, and kept to kMaxMarkLabel bytes of
// whole UTF-8 characters. A line longer than kMaxMarkLine is one marker,
// its first bytes; the rest of it is dropped.
constexpr size_t kMaxMarkLabel = 200;
constexpr size_t kMaxMarkLine = 4096;
class MarkLines {
 public:
  // What came; the labels of the lines it ended.
  std::vector<std::string> add(std::string_view bytes);
  // The input closed: the label of a last line that had no line feed.
  std::vector<std::string> end();

 private:
  std::string pending_;
  bool dropping_ = false;  // the rest of a line already taken
};

// The writer's lines, each ending in a line feed.
std::string recordingHeader(const RecordingMeta& meta, const Table& table);
std::string recordingSample(const Table& table, size_t k);
std::string recordingMark(const Mark& mark);

struct Recording {
  std::string name;  // what the report calls it: the file's name
  RecordingMeta meta;
  struct Series {
    std::string name;
    std::string title;
    // The catalog's row that made it, and the item or cluster it stands for
    // ("3", "skin", "0-3").
    const Metric* row = nullptr;
    std::string item;
    std::vector<Value> values;  // one per sample
  };
  std::vector<Series> series;
  std::vector<double> timesS;
  std::vector<Mark> marks;
  bool ended = false;  // the summary line came: the run ended as it should

  const Series* find(const std::string& name) const;
};

// Reads a recording of either version. Nullopt, with *error, when the text
// is no recording this perfprobe reads: no header, or a newer version.
// Anything else that it cannot use (a line cut short by a killed run, a
// series of a kind it does not know, a sample out of order) is left out,
// with a line in *warnings.
std::optional<Recording> parseRecording(std::string_view text, const std::string& name,
                                        std::vector<std::string>* warnings, std::string* error);

}  // namespace perfprobe
