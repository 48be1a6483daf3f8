#include "fpsbench/parse.h"

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

std::vector<FrameData> layerListFromOutput(const std::string& output) {
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  LineSplitter lines;
  auto add = [&builder](const char* line, size_t len) { builder.add(line, len); };
  lines.feed(output.data(), output.size(), add);
  lines.finish(add);
  return list;
}

bool scanTimingValue(const char** text, uint64_t* value) {
  const char* p = *text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  uint64_t v = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, digit, &v)) overflow = true;
  }
  *value = overflow ? UINT64_MAX : negative ? 0 - v : v;
  *text = p;
  return true;
}

void LatencyWindow::addOutputLine(const char* line) {
  if (!sawPeriodLine_) {
    sawPeriodLine_ = true;
    return;
  }
  // started, submitting, submitted; a value that is not there stays 0.
  uint64_t started = 0;
  uint64_t submitting = 0;
  uint64_t submitted = 0;
  if (scanTimingValue(&line, &started) && scanTimingValue(&line, &submitting)) {
    scanTimingValue(&line, &submitted);
  }
  const uint64_t timing = started != 0 && submitting != 0 && submitted != 0 ? submitting : 0;
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

std::string latencyCommand(const std::string& layerName) {
  std::string smd = "dumpsys SurfaceFlinger --latency '";
  for (const char c : layerName) {
    if (c == '\'') {
      smd += "'\\''";
    } else {
      smd += c;
    }
  }
  smd += '\'';
  return smd;
}

bool patternIsSafe(const std::string& pattern) {
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] != '\\') continue;
    const char next = pattern[++i];
    if (next == '{' || (next >= '1' && next <= '9')) return false;
  }
  return true;
}

PackagePattern::PackagePattern(const std::string& pattern)
    : compiled_(patternIsSafe(pattern) && regcomp(&regex_, pattern.c_str(), 0) == 0) {}

PackagePattern::~PackagePattern() {
  if (compiled_) regfree(&regex_);
}

bool PackagePattern::matches(const std::string& layerName) const {
  if (!compiled_) return false;
  // Only "no match" rejects a layer; an error of the search lets it through.
  regmatch_t match[1];
  return regexec(&regex_, layerName.c_str(), 1, match, 0) != REG_NOMATCH;
}
