#include "replies.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <numeric>

namespace perfprobe {

namespace {

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

}  // namespace

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
