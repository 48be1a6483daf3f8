#pragma once

#include <regex.h>
#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <unordered_set>
#include <vector>

#include "fpsbench/fpsbench.h"
#include "fpsbench/frame_stats.h"
#include "fpsbench/line_splitter.h"

class PackagePattern;

// Android 15 lists every layer as "RequestedLayerState{NAME ATTRIBUTES}",
// where ATTRIBUTES are some of " parentId=N", " relativeParentId=N",
// " mirrorId=N", " !handle", " z=N" and " layerStack=N", in that order, and
// NAME may hold spaces and braces. For a name of that shape, leaves the bare
// NAME in *name, which is what the latency command knows, and returns true;
// any other name is left as it is.
bool unwrapLayerName(std::string* name);

// Builds a layer list from listing lines: one entry per distinct line (line
// feed included), in the order of first appearance, time fields 0.
class LayerListBuilder {
 public:
  explicit LayerListBuilder(std::vector<FrameData>* list);
  void clear();
  void add(const char* line, size_t len);
  // A listing line, when pattern (if any) matches its layer name: the line
  // without its last character, unwrapped. An unwrapped name goes into the
  // list as the name and a line feed, any other line as it came.
  void addListed(const char* line, size_t len, const PackagePattern* pattern);

 private:
  // Indexes into *list_, hashed and compared by name, so that a listing of
  // any length is deduplicated in linear time.
  struct NameHash {
    const std::vector<FrameData>* list;
    size_t operator()(size_t i) const;
  };
  struct NameEqual {
    const std::vector<FrameData>* list;
    bool operator()(size_t a, size_t b) const;
  };
  std::vector<FrameData>* list_;
  std::unordered_set<size_t, NameHash, NameEqual> seen_;
  std::string name_;
};

// The layer list of a whole listing output.
std::vector<FrameData> layerListFromOutput(const std::string& output);

// Reads one number of a timing line at *text as sscanf's "%" SCNu64 reads
// it: white space, an optional sign, decimal digits; the value is strtoull's
// (a minus sign negates modulo 2^64, too many digits give UINT64_MAX). On
// success *text moves past the digits; with no digit, false and nothing
// changes. A tick parses a thousand such lines, and sscanf spends most of
// its time on the format.
bool scanTimingValue(const char** text, uint64_t* value);

// Reads the three numbers of a latency row at line, as sscanf's
// "%" SCNu64 "%" SCNu64 "%" SCNu64 would, stopping at the first that is not
// there.
TimingRow scanTimingRow(const char* line);

// The newest 129 timing lines of one latency output. The output's first line
// (the refresh period) is not a timing line and is dropped. Each line also
// goes to the frame statistics' counter, when there is one, read once for
// both.
class LatencyWindow {
 public:
  static constexpr size_t kMaxLines = 129;

  LatencyWindow() = default;
  explicit LatencyWindow(FrameCounter* counter) : counter_(counter) {}

  void addOutputLine(const char* line);

  // The submitting time of the i-th queued line, oldest first; 0 for a line
  // that does not hold three non-zero numbers.
  size_t size() const { return count_; }
  uint64_t submittingAt(size_t i) const { return ring_[(first_ + i) % kMaxLines]; }

 private:
  FrameCounter* const counter_ = nullptr;
  bool sawPeriodLine_ = false;
  uint64_t ring_[kMaxLines];
  size_t first_ = 0;
  size_t count_ = 0;
};

// The layer's rate from its timing lines: the frames of the first whole
// second after the oldest second boundary, less the one that opens it; 0
// when no second is completed; -1 when no line holds three non-zero numbers.
int fpsFromTimings(FrameData frameData, const LatencyWindow& window);

// The rate from a whole latency output.
int layerRateFromOutput(const std::string& output);

// The layer name: the listing line without its last character.
std::string layerNameOf(const FrameData& frameData);

// The commands of a tick, as argument vectors for Command::start: the
// listing, and the latency history of one layer. Each is what the shell
// would make of "dumpsys SurfaceFlinger --list" and of
// "dumpsys SurfaceFlinger --latency '<name>'": the name is one argument,
// byte for byte, and nothing in it is run. A name never holds a zero byte,
// which would end the argument early: a listing line ends at its first one
// (LayerListBuilder), as a C string does.
inline constexpr const char* kListArguments[] = {"dumpsys", "SurfaceFlinger", "--list", nullptr};
// Points into layerName, which must outlive it.
std::array<const char*, 5> latencyArguments(const std::string& layerName);

// False for a pattern that one request could stall or exhaust the daemon
// with:
//  - a back-reference (\1 to \9, outside a bracket expression), which makes
//    the search exponential in the name's length;
//  - intervals (\{m,n\}) that make regcomp build more than
//    kMaxRepeatedNodes nodes beyond those the pattern spells out (a
//    character, a bracket expression, a "*" and a group are a node each), an
//    interval within the operand of another, a bound above 255, or an
//    interval that does not parse. regcomp builds one copy of an interval's
//    operand per count, so nested intervals grow its memory and time
//    exponentially, and every copy slows the search. Within these limits a
//    compile takes milliseconds, and the slowest search of a 1 kB name
//    found among random patterns is no slower than the slowest without any
//    interval (docs/RELIABILITY.md has the figures).
// Anything else, \{1\} or [\1] say, is left to regcomp.
constexpr size_t kMaxRepeatedNodes = 128;
bool patternIsSafe(const std::string& pattern);

// The package-name pattern: a POSIX basic regular expression, searched
// unanchored and case-sensitively. A pattern that does not compile, or is
// not safe to compile, matches no name.
//
// A pattern of ordinary characters and dots, as a package name is, is
// searched here instead, a dot matching any byte: regexec would find the
// same, at several times the cost, for every layer of every tick.
class PackagePattern {
 public:
  explicit PackagePattern(const std::string& pattern);
  ~PackagePattern();
  PackagePattern(const PackagePattern&) = delete;
  PackagePattern& operator=(const PackagePattern&) = delete;

  bool matches(const std::string& layerName) const;

 private:
  // Set for a pattern of ordinary characters and dots, which then needs no
  // regex_.
  const std::string dotted_;
  regex_t regex_;
  bool compiled_;
};
