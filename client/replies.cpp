#include "replies.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>

namespace perfprobe {

std::optional<uint64_t> parseUnsigned(const std::string& text) {
  if (!allDigits(text)) return std::nullopt;
  errno = 0;
  const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return static_cast<uint64_t>(value);
}

namespace {

// A value of GET_FRAMESTATS, as the daemon prints its numbers there: digits,
// then maybe a point and digits; a count has no point.
bool frameNumber(const std::string& text, bool whole) {
  const size_t point = text.find('.');
  if (point == std::string::npos) {
    if (!allDigits(text)) return false;
  } else if (whole || !allDigits(text.substr(0, point)) || !allDigits(text.substr(point + 1))) {
    return false;
  }
  return std::isfinite(strtod(text.c_str(), nullptr));
}

// The lines of a reply, each name once; "truncated" is no field.
Reading readFields(const std::string& reply) {
  Reading reading;
  bool haveTruncated = false;
  forEachField(reply, [&](const std::string& name, const std::string& value) {
    if (name == kTruncated) {
      if (!haveTruncated) reading.truncated = parseUnsigned(value);
      haveTruncated = true;
      return;
    }
    if (std::any_of(reading.fields.begin(), reading.fields.end(),
                    [&](const Reading::Field& f) { return f.name == name; })) {
      return;
    }
    reading.fields.push_back(
        {name, value == "NA" ? std::nullopt : std::optional<std::string>(value)});
  });
  return reading;
}

bool has(const Reading& reading, const char* name) {
  return std::any_of(reading.fields.begin(), reading.fields.end(),
                     [&](const Reading::Field& f) { return f.name == name; });
}

}  // namespace

std::optional<double> statsNumber(const std::string& text) {
  const size_t from = !text.empty() && text[0] == '-' ? 1 : 0;
  const size_t point = text.find('.');
  if (point == std::string::npos) {
    if (!allDigits(text.substr(from))) return std::nullopt;
  } else if (!allDigits(text.substr(from, point - from)) || !allDigits(text.substr(point + 1))) {
    return std::nullopt;
  }
  return strtod(text.c_str(), nullptr);
}

std::optional<std::string> Reading::text(const std::string& name) const {
  for (const Field& field : fields) {
    if (field.name == name) return field.value;
  }
  return std::nullopt;
}

std::optional<double> Reading::number(const std::string& name) const {
  const auto value = text(name);
  return value ? statsNumber(*value) : std::nullopt;
}

std::optional<Reading> parseDeviceStats(const std::string& reply) {
  Reading reading = readFields(reply);
  if (!has(reading, field::kUptimeMs.name)) return std::nullopt;
  return reading;
}

bool isDeviceStats(const std::string& reply) { return parseDeviceStats(reply).has_value(); }

std::optional<Reading> parseFrameStats(const std::string& reply) {
  // A state line without a state is no line.
  std::string kept;
  kept.reserve(reply.size());
  const std::string empty = std::string(field::kState.name) + " \n";
  for (size_t from = 0; from < reply.size();) {
    const size_t end = reply.find('\n', from);
    const size_t next = end == std::string::npos ? reply.size() : end + 1;
    if (reply.compare(from, next - from, empty) != 0) kept.append(reply, from, next - from);
    from = next;
  }
  Reading reading = readFields(kept);
  if (!has(reading, field::kState.name)) return std::nullopt;
  for (Reading::Field& f : reading.fields) {
    for (const field::Field* known : field::kFrameStatsFields) {
      if (f.name != known->name || known->format == field::Format::kText || !f.value) continue;
      if (!frameNumber(*f.value, known->format == field::Format::kInteger)) f.value.reset();
    }
  }
  return reading;
}

bool isFrameStats(const std::string& reply) { return parseFrameStats(reply).has_value(); }

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
