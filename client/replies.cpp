#include "replies.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>

namespace perfprobe {

bool allDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<uint64_t> parseUnsigned(const std::string& text) {
  if (!allDigits(text)) return std::nullopt;
  errno = 0;
  const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return static_cast<uint64_t>(value);
}

namespace {

// A value as the daemon prints its numbers: digits, then maybe a point and
// digits; a count has no point.
std::optional<double> parseNumber(const std::string& text, bool whole) {
  const size_t point = text.find('.');
  if (point == std::string::npos) {
    if (!allDigits(text)) return std::nullopt;
  } else if (whole || !allDigits(text.substr(0, point)) || !allDigits(text.substr(point + 1))) {
    return std::nullopt;
  }
  const double value = strtod(text.c_str(), nullptr);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

struct FrameStatsField {
  const char* name;
  std::optional<double> FrameStats::*value;
  bool whole;
};

constexpr FrameStatsField kFrameStatsFields[] = {
    {"fps", &FrameStats::fps, false},
    {"frames", &FrameStats::frames, true},
    {"window_ms", &FrameStats::windowMs, true},
    {"frame_ms_p50", &FrameStats::frameMsP50, false},
    {"frame_ms_p95", &FrameStats::frameMsP95, false},
    {"frame_ms_max", &FrameStats::frameMsMax, false},
    {"jank", &FrameStats::jank, true},
    {"big_jank", &FrameStats::bigJank, true},
    {"missed_vsyncs", &FrameStats::missedVsyncs, true},
    {"refresh_hz", &FrameStats::refreshHz, false},
    {"jank_ms", &FrameStats::jankMs, false},
};

}  // namespace

bool FrameStats::operator==(const FrameStats& other) const {
  for (const FrameStatsField& field : kFrameStatsFields) {
    if (this->*field.value != other.*field.value) return false;
  }
  return state == other.state && layer == other.layer;
}

std::optional<FrameStats> parseFrameStats(const std::string& reply) {
  FrameStats stats;
  bool haveState = false;
  bool haveLayer = false;
  bool have[std::size(kFrameStatsFields)] = {};
  forEachField(reply, [&](const std::string& name, const std::string& value) {
    if (name == "state") {
      if (haveState || value.empty()) return;
      haveState = true;
      stats.state = value;
    } else if (name == "layer") {
      if (haveLayer) return;
      haveLayer = true;
      if (value != "NA") stats.layer = value;
    } else {
      for (size_t i = 0; i < std::size(kFrameStatsFields); ++i) {
        if (name != kFrameStatsFields[i].name || have[i]) continue;
        have[i] = true;
        stats.*kFrameStatsFields[i].value = parseNumber(value, kFrameStatsFields[i].whole);
      }
    }
  });
  if (!haveState) return std::nullopt;
  return stats;
}

bool holdsKeyword(const std::string& text) {
  return findRequest(requestText(text.data(), std::min(text.size(), kMaxRequestSize))) != nullptr;
}

std::optional<std::string> startRequest(const std::string& pattern, std::string* why) {
  if (pattern.empty()) {
    *why = "the package pattern is empty, and the daemon starts no collection without one";
  } else if (pattern.find(':') != std::string::npos) {
    *why = "the package pattern holds a ':', where the daemon would cut it";
  } else if (pattern.find_first_of("\r\n") != std::string::npos) {
    *why = "the package pattern holds a line break, and then matches no layer";
  } else {
    return kInitialization + (":" + pattern);
  }
  return std::nullopt;
}

std::optional<int32_t> parseFps(const std::string& reply) {
  const bool negative = !reply.empty() && reply[0] == '-';
  const auto magnitude = parseUnsigned(reply.substr(negative ? 1 : 0));
  if (!magnitude) return std::nullopt;
  const uint64_t limit = negative ? 2147483648u : 2147483647u;
  if (*magnitude > limit) return std::nullopt;
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(*magnitude)
                                       : static_cast<int64_t>(*magnitude));
}

std::optional<std::vector<Khz>> parseCpuReport(const std::string& reply) {
  constexpr char kHead[] = "cpuFreq";
  constexpr size_t kHeadLen = sizeof kHead - 1;
  if (reply.compare(0, kHeadLen, kHead) != 0) return std::nullopt;
  std::vector<Khz> values;
  if (reply.size() == kHeadLen) return values;
  if (reply[kHeadLen] != ':') return std::nullopt;
  size_t from = kHeadLen + 1;
  for (;;) {
    const size_t comma = reply.find(',', from);
    values.push_back(parseUnsigned(reply.substr(from, comma - from)));
    if (comma == std::string::npos) return values;
    from = comma + 1;
  }
}

std::vector<unsigned> reportOrder(size_t n) {
  std::vector<unsigned> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [](unsigned a, unsigned b) {
    return "cpu" + std::to_string(a) < "cpu" + std::to_string(b);
  });
  return order;
}

std::vector<Khz> byCpuNumber(const std::vector<Khz>& report) {
  const std::vector<unsigned> order = reportOrder(report.size());
  std::vector<Khz> values(report.size());
  for (size_t i = 0; i < report.size(); ++i) values[order[i]] = report[i];
  return values;
}

}  // namespace perfprobe
