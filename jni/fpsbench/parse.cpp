#include "fpsbench/parse.h"

#include <string.h>

#include <algorithm>
#include <functional>
#include <string_view>

LayerListBuilder::LayerListBuilder(std::vector<FrameData>* list)
    : list_(list), seen_(0, NameHash{list}, NameEqual{list}) {}

size_t LayerListBuilder::NameHash::operator()(size_t i) const {
  return std::hash<std::string_view>()((*list)[i].name);
}

bool LayerListBuilder::NameEqual::operator()(size_t a, size_t b) const {
  return (*list)[a].name == (*list)[b].name;
}

void LayerListBuilder::clear() {
  seen_.clear();
  list_->clear();
}

void LayerListBuilder::add(const char* line, size_t len) {
  FrameData frameData;
  frameData.name.assign(line, len);
  list_->push_back(std::move(frameData));
  if (!seen_.insert(list_->size() - 1).second) list_->pop_back();
}

namespace {

bool isAttribute(std::string_view word) {
  if (word == "!handle") return true;
  const size_t eq = word.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view key = word.substr(0, eq);
  if (key != "parentId" && key != "relativeParentId" && key != "mirrorId" && key != "z" &&
      key != "layerStack") {
    return false;
  }
  std::string_view value = word.substr(eq + 1);
  if (!value.empty() && value.front() == '-') value.remove_prefix(1);
  return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

bool unwrapLayerName(std::string* name) {
  static constexpr std::string_view kOpen = "RequestedLayerState{";
  const std::string_view line = *name;
  if (line.size() < kOpen.size() + 1 || line.compare(0, kOpen.size(), kOpen) != 0 ||
      line.back() != '}') {
    return false;
  }
  std::string_view bare = line.substr(kOpen.size(), line.size() - kOpen.size() - 1);
  // The attributes are words at the end; the name itself may end in
  // anything else.
  for (;;) {
    const size_t space = bare.rfind(' ');
    if (space == std::string_view::npos || !isAttribute(bare.substr(space + 1))) break;
    bare = bare.substr(0, space);
  }
  const size_t from = static_cast<size_t>(bare.data() - line.data());
  const size_t size = bare.size();
  name->erase(from + size);
  name->erase(0, from);
  return true;
}

void LayerListBuilder::addListed(const char* line, size_t len, const PackagePattern* pattern) {
  name_.assign(line, len > 0 ? len - 1 : 0);
  const bool unwrapped = unwrapLayerName(&name_);
  if (pattern != nullptr && !pattern->matches(name_)) return;
  if (unwrapped) {
    name_ += '\n';
    add(name_.data(), name_.size());
  } else {
    add(line, len);
  }
}

std::vector<FrameData> layerListFromOutput(const std::string& output) {
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  LineSplitter lines;
  auto add = [&builder](const char* line, size_t len) { builder.addListed(line, len, nullptr); };
  lines.feed(output.data(), output.size(), add);
  lines.finish(add);
  return list;
}

namespace {

unsigned digitAt(const char* c) { return static_cast<unsigned>(*c - '0'); }

// Past the white space and the sign of a number as scanTimingValue reads
// it: its first digit, or null when it has none.
const char* firstDigit(const char* p, bool* negative) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  *negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  return digitAt(p) <= 9 ? p : nullptr;
}

// Whether the number at *text, read as scanTimingValue reads it, is not 0,
// without its value: it is not 0 exactly when one of its digits is not, as
// a minus sign and saturation keep a value that is not 0 so. *pending is set
// when it is a pending frame's INT64_MAX.
// Inlined into the row reader, as it was before it watched for pending
// frames: called apart it costs a fifth more per row.
__attribute__((always_inline)) inline bool scanTimingNonZero(const char** text, bool* nonZero,
                                                             bool* pending) {
  bool negative;
  const char* p = firstDigit(*text, &negative);
  if (p == nullptr) return false;
  const char* const first = p;
  unsigned digits = 0;
  for (; digitAt(p) <= 9; ++p) digits |= digitAt(p);
  *nonZero = digits != 0;
  static constexpr char kPending[] = "9223372036854775807";
  constexpr size_t kPendingLen = sizeof kPending - 1;
  if (!negative && static_cast<size_t>(p - first) >= kPendingLen) {
    // Only a number this long can be INT64_MAX, leading zeros and all.
    const char* significant = first;
    while (*significant == '0') ++significant;
    if (static_cast<size_t>(p - significant) == kPendingLen &&
        memcmp(significant, kPending, kPendingLen) == 0) {
      *pending = true;
    }
  }
  *text = p;
  return true;
}

// scanTimingNonZero for the last number of a row, where nothing reads on:
// it stops at the first digit that decides.
__attribute__((always_inline)) inline bool lastTimingNonZero(const char* text, bool* nonZero,
                                                             bool* pending) {
  bool negative;
  const char* p = firstDigit(text, &negative);
  if (p == nullptr) return false;
  while (*p == '0') ++p;
  *nonZero = digitAt(p) <= 9;
  if (!negative && *p == '9') {
    // A mismatch comes at the terminating zero byte at the latest.
    static constexpr char kPending[] = "9223372036854775807";
    size_t i = 0;
    while (i < sizeof kPending - 1 && p[i] == kPending[i]) ++i;
    if (i == sizeof kPending - 1 && digitAt(p + i) > 9) *pending = true;
  }
  return true;
}

}  // namespace

bool scanTimingValue(const char** text, uint64_t* value) {
  bool negative;
  const char* p = firstDigit(*text, &negative);
  if (p == nullptr) return false;
  // 19 digits cannot overflow 64 bits; only a longer number is checked.
  uint64_t v = 0;
  const char* const fast = p + 19;
  // Two digits a step halve the chain of multiplications; a digit's next
  // byte is there to read, the terminating zero at the latest.
  for (; p + 1 < fast && digitAt(p) <= 9 && digitAt(p + 1) <= 9; p += 2) {
    v = v * 100 + digitAt(p) * 10 + digitAt(p + 1);
  }
  for (; p < fast && digitAt(p) <= 9; ++p) v = v * 10 + digitAt(p);
  bool overflow = false;
  for (; digitAt(p) <= 9; ++p) {
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t{digitAt(p)}, &v)) overflow = true;
  }
  *value = overflow ? UINT64_MAX : negative ? 0 - v : v;
  *text = p;
  return true;
}

namespace {

// The row reader, inlined into the reading of every output line.
__attribute__((always_inline)) inline TimingRow readTimingRow(const char* line) {
  // started, submitting, submitted; a value that is not there stays 0. Of
  // started and submitted only whether they are 0 counts.
  bool started = false, ready = false, pending = false, complete = false;
  uint64_t present = 0;
  if (scanTimingNonZero(&line, &started, &pending) && scanTimingValue(&line, &present)) {
    complete = lastTimingNonZero(line, &ready, &pending);
  }
  TimingRow row;
  row.complete = complete;
  row.startedNonZero = started;
  row.present = present;
  row.readyNonZero = ready;
  row.pending = pending || present == static_cast<uint64_t>(INT64_MAX);
  return row;
}

}  // namespace

TimingRow scanTimingRow(const char* line) { return readTimingRow(line); }

void LatencyWindow::addOutputLine(const char* line) {
  if (!sawPeriodLine_) {
    sawPeriodLine_ = true;
    if (counter_ != nullptr) counter_->firstLine(line);
    return;
  }
  const TimingRow row = readTimingRow(line);
  if (counter_ != nullptr) counter_->row(line, row);
  const uint64_t timing =
      row.startedNonZero && row.present != 0 && row.readyNonZero ? row.present : 0;
  if (count_ == kMaxLines) {
    ring_[first_] = timing;
    first_ = (first_ + 1) % kMaxLines;
  } else {
    ring_[(first_ + count_) % kMaxLines] = timing;
    ++count_;
  }
}

int fpsFromTimings(FrameData frameData, const LatencyWindow& window) {
  uint32_t fpsCount = 0;
  uint32_t totalCount = 0;
  uint32_t isFirst = 1;
  int32_t curLayerFPS = 0;
  for (size_t i = 0; i < window.size(); ++i) {
    const uint64_t submitting = window.submittingAt(i);
    if (submitting == 0) continue;
    ++totalCount;
    frameData.timeStamp = static_cast<uint64_t>(static_cast<double>(submitting) / 1e9);
    if (frameData.lastTimeStamp == 0) {
      frameData.lastTimeStamp = frameData.timeStamp;
    } else if (frameData.lastTimeStamp == frameData.timeStamp) {
      ++fpsCount;
    } else if (isFirst == 1) {
      // The first whole second begins; the frame that opens it restarts the
      // count instead of adding to it.
      isFirst = 0;
      fpsCount = 0;
      frameData.lastTimeStamp = frameData.timeStamp;
    } else {
      curLayerFPS = static_cast<int32_t>(fpsCount);
      frameData.lastTimeStamp = 0;
      break;
    }
  }
  return totalCount > 0 ? curLayerFPS : -1;
}

int layerRateFromOutput(const std::string& output) {
  LatencyWindow window;
  LineSplitter lines;
  auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
  lines.feed(output.data(), output.size(), add);
  lines.finish(add);
  return fpsFromTimings(FrameData(), window);
}

std::string layerNameOf(const FrameData& frameData) {
  const std::string& name = frameData.name;
  return name.empty() ? name : name.substr(0, name.size() - 1);
}

std::array<const char*, 5> latencyArguments(const std::string& layerName) {
  return {"dumpsys", "SurfaceFlinger", "--latency", layerName.c_str(), nullptr};
}

namespace {

// Where the bracket expression that opens at pattern[i] ends: the index
// after its closing "]", or the pattern's size when it has none. A "]" right
// after "[" or "[^" is an ordinary character, and so is a "]" within
// "[:...:]", "[=...=]" and "[.....]".
size_t bracketEnd(const std::string& pattern, size_t i) {
  ++i;
  if (i < pattern.size() && pattern[i] == '^') ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  while (i < pattern.size() && pattern[i] != ']') {
    const char c = pattern[i];
    if (c == '[' && i + 1 < pattern.size() &&
        (pattern[i + 1] == ':' || pattern[i + 1] == '=' || pattern[i + 1] == '.')) {
      const char close[] = {pattern[i + 1], ']', '\0'};
      const size_t end = pattern.find(close, i + 2);
      if (end == std::string::npos) return pattern.size();
      i = end + 2;
    } else {
      ++i;
    }
  }
  return std::min(i + 1, pattern.size());
}

// Reads "m\}", "m,\}" or "m,n\}" at pattern[*i]; the count of copies of the
// operand the interval asks for (an open one one more than its least), or -1.
long intervalCopies(const std::string& pattern, size_t* i) {
  constexpr long kMaxBound = 255;
  auto number = [&](long* value) {
    const size_t start = *i;
    *value = 0;
    while (*i < pattern.size() && pattern[*i] >= '0' && pattern[*i] <= '9') {
      *value = std::min(*value * 10 + (pattern[*i] - '0'), kMaxBound + 1);
      ++*i;
    }
    return *i > start;
  };
  long least = 0;
  if (!number(&least)) return -1;
  long most = least;
  if (*i < pattern.size() && pattern[*i] == ',') {
    ++*i;
    if (!number(&most)) most = least + 1;
  }
  if (pattern.compare(*i, 2, "\\}") != 0 || least > kMaxBound || most > kMaxBound) return -1;
  *i += 2;
  return std::max(std::max(least, most), 1L);
}

}  // namespace

bool patternIsSafe(const std::string& pattern) {
  // What regcomp builds, counted in its nodes: one per character, bracket
  // expression, "*" and group. Each open group has the nodes it holds so
  // far, and the last atom is what an interval would repeat.
  struct Group {
    size_t nodes = 0;
    size_t lastAtom = 0;
    bool lastAtomRepeats = false;
    bool holdsInterval = false;
  };
  std::vector<Group> groups(1);
  size_t repeated = 0;
  for (size_t i = 0; i < pattern.size();) {
    Group& g = groups.back();
    const char c = pattern[i];
    const bool escaped = c == '\\' && i + 1 < pattern.size();
    const char next = escaped ? pattern[i + 1] : '\0';
    if (escaped && next >= '1' && next <= '9') return false;
    if (escaped && next == '(') {
      groups.emplace_back();
      i += 2;
    } else if (escaped && next == ')' && groups.size() > 1) {
      const Group inner = groups.back();
      groups.pop_back();
      Group& outer = groups.back();
      outer.nodes += inner.nodes + 1;
      outer.lastAtom = inner.nodes + 1;
      outer.lastAtomRepeats = inner.holdsInterval;
      outer.holdsInterval = outer.holdsInterval || inner.holdsInterval;
      i += 2;
    } else if (escaped && next == '{') {
      i += 2;
      const long copies = intervalCopies(pattern, &i);
      // An interval within an interval multiplies what regcomp builds, and
      // with a "*" inside, its time: seven copies of seven copies of
      // \(\(a*\)*\) took it more than 20 seconds.
      if (copies < 0 || g.lastAtomRepeats) return false;
      const size_t more = g.lastAtom * static_cast<size_t>(copies - 1);
      repeated += more;
      if (repeated > kMaxRepeatedNodes) return false;
      g.nodes += more;
      g.lastAtom += more;
      g.lastAtomRepeats = true;
      g.holdsInterval = true;
    } else if (c == '*') {
      g.nodes += 1;
      g.lastAtom += 1;
      ++i;
    } else {
      i = c == '[' ? bracketEnd(pattern, i) : i + (escaped ? 2 : 1);
      g.nodes += 1;
      g.lastAtom = 1;
      g.lastAtomRepeats = false;
    }
  }
  return true;
}

namespace {

// Whether regcomp would read every byte of pattern as itself, but for dots.
// An empty pattern is left to regcomp, which does not compile it everywhere.
bool isDotted(const std::string& pattern) {
  return !pattern.empty() && pattern.find_first_of("[\\*^$") == std::string::npos;
}

// Where a dot matches any byte: a layer name holds neither a zero byte nor a
// line feed, the two a dot might not match.
bool dottedAt(const std::string& pattern, const char* at) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '.' && pattern[i] != at[i]) return false;
  }
  return true;
}

}  // namespace

PackagePattern::PackagePattern(const std::string& pattern)
    : dotted_(isDotted(pattern) ? pattern : std::string()),
      compiled_(!dotted_.empty() || (patternIsSafe(pattern) && regcomp(&regex_, pattern.c_str(), 0) == 0)) {}

PackagePattern::~PackagePattern() {
  if (compiled_ && dotted_.empty()) regfree(&regex_);
}

bool PackagePattern::matches(const std::string& layerName) const {
  if (!compiled_) return false;
  if (!dotted_.empty()) {
    // The name as regexec would see it: up to its first zero byte.
    const size_t size = strlen(layerName.c_str());
    if (size < dotted_.size()) return false;
    const char* const last = layerName.data() + (size - dotted_.size());
    for (const char* at = layerName.data(); at <= last; ++at) {
      if (dottedAt(dotted_, at)) return true;
    }
    return false;
  }
  // Only "no match" rejects a layer; an error of the search lets it through.
  regmatch_t match[1];
  return regexec(&regex_, layerName.c_str(), 1, match, 0) != REG_NOMATCH;
}
