#include "stats/stats_parse.h"

#include <stdlib.h>

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

void skipSpace(std::string_view* text) {
  while (!text->empty() && isSpace(text->front())) text->remove_prefix(1);
}

// 18 digits cannot overflow an int64_t, and no kernel value here needs more.
constexpr size_t kMaxDigits = 18;

// Digits at the front of *text, consumed; nothing without one or beyond
// kMaxDigits.
std::optional<uint64_t> takeDigits(std::string_view* text) {
  uint64_t value = 0;
  size_t n = 0;
  while (n < text->size() && isDigit((*text)[n])) {
    if (n == kMaxDigits) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>((*text)[n] - '0');
    ++n;
  }
  if (n == 0) return std::nullopt;
  text->remove_prefix(n);
  return value;
}

std::optional<int64_t> takeSigned(std::string_view* text) {
  bool negative = false;
  if (!text->empty() && (text->front() == '-' || text->front() == '+')) {
    negative = text->front() == '-';
    text->remove_prefix(1);
  }
  const std::optional<uint64_t> digits = takeDigits(text);
  if (!digits) return std::nullopt;
  const int64_t value = static_cast<int64_t>(*digits);
  return negative ? -value : value;
}

// a / b rounded half away from zero, for b > 0.
int64_t divideRounded(int64_t a, int64_t b) {
  return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

// part / whole in tenths of a percent, rounded half up, for part < whole:
// both are scaled down until 2000 * part cannot overflow.
int64_t shareOfTenths(uint64_t part, uint64_t whole) {
  while (whole > (uint64_t{1} << 53)) {
    part >>= 1;
    whole >>= 1;
  }
  return static_cast<int64_t>((2000 * part + whole) / (2 * whole));
}

}  // namespace

std::optional<int64_t> parseInteger(std::string_view text) {
  skipSpace(&text);
  const std::optional<int64_t> value = takeSigned(&text);
  skipSpace(&text);
  if (!value || !text.empty()) return std::nullopt;
  return value;
}

std::optional<int64_t> parsePercentTenths(std::string_view text) {
  skipSpace(&text);
  const std::optional<uint64_t> whole = takeDigits(&text);
  if (!whole || *whole > 1000000) return std::nullopt;
  int64_t tenths = static_cast<int64_t>(*whole) * 10;
  if (!text.empty() && text.front() == '.') {
    text.remove_prefix(1);
    if (!text.empty() && isDigit(text.front())) tenths += text.front() - '0';
    while (!text.empty() && isDigit(text.front())) text.remove_prefix(1);
  }
  skipSpace(&text);
  if (!text.empty() && text.front() == '%') text.remove_prefix(1);
  skipSpace(&text);
  if (!text.empty()) return std::nullopt;
  return tenths;
}

std::optional<int64_t> parseBusyCountersTenths(std::string_view text) {
  skipSpace(&text);
  const std::optional<uint64_t> busy = takeDigits(&text);
  skipSpace(&text);
  const std::optional<uint64_t> total = takeDigits(&text);
  skipSpace(&text);
  if (!busy || !total || !text.empty()) return std::nullopt;
  if (*total == 0) return 0;
  if (*busy >= *total) return 1000;
  return shareOfTenths(*busy, *total);
}

std::optional<int64_t> gpuClockKHz(int64_t raw) {
  if (raw < 0) return std::nullopt;
  if (raw < 10000) return raw * 1000;
  if (raw < 10000000) return raw;
  return divideRounded(raw, 1000);
}

int64_t thermalTenths(int64_t raw) {
  const int64_t magnitude = raw < 0 ? -raw : raw;
  if (magnitude > 1000) return divideRounded(raw, 100);
  if (magnitude > 150) return raw;
  return raw * 10;
}

void zoneName(std::string_view type, std::string* name) {
  if (!type.empty() && type.back() == '\n') type.remove_suffix(1);
  *name = field::kZoneTempC.name;
  for (char c : type) {
    const bool kept = (c >= 'a' && c <= 'z') || isDigit(c) || c == '_';
    *name += kept ? c : '_';
  }
  *name += field::kZoneTempC.suffix;
}

bool parseCpuLine(std::string_view line, int* cpu, CpuTimes* times) {
  if (line.substr(0, 3) != "cpu") return false;
  line.remove_prefix(3);
  if (!line.empty() && isDigit(line.front())) {
    const std::optional<uint64_t> n = takeDigits(&line);
    if (!n || *n > 100000) return false;
    *cpu = static_cast<int>(*n);
  } else {
    *cpu = -1;
  }
  if (line.empty() || !isSpace(line.front())) return false;
  uint64_t counters[8] = {};
  for (uint64_t& counter : counters) {
    skipSpace(&line);
    const std::optional<uint64_t> value = takeDigits(&line);
    if (!value) return false;
    counter = *value;
  }
  uint64_t total = 0;
  for (uint64_t counter : counters) total += counter;
  const uint64_t idle = counters[3] + counters[4];
  times->total = total;
  times->busy = total - idle;
  return true;
}

std::optional<int64_t> loadTenths(const CpuTimes& before, const CpuTimes& after) {
  if (after.total <= before.total || after.busy < before.busy) return std::nullopt;
  const uint64_t total = after.total - before.total;
  const uint64_t busy = after.busy - before.busy;
  if (busy >= total) return 1000;
  return shareOfTenths(busy, total);
}

std::optional<int64_t> coreShareTenths(uint64_t busyNs, uint64_t elapsedNs) {
  if (elapsedNs == 0) return std::nullopt;
  // Shares up to many cores over any interval above a microsecond fit.
  if (busyNs > UINT64_MAX / 2000) return std::nullopt;
  return static_cast<int64_t>((2000 * busyNs + elapsedNs) / (2 * elapsedNs));
}

namespace {

// Calls each(first, last) for every range of a CPU list; stops at the first
// byte that is not part of one.
template <typename Each>
void forEachRange(std::string_view list, const Each& each) {
  for (;;) {
    while (!list.empty() && (isSpace(list.front()) || list.front() == ',')) list.remove_prefix(1);
    const std::optional<uint64_t> first = takeDigits(&list);
    if (!first) return;
    uint64_t last = *first;
    if (!list.empty() && list.front() == '-') {
      list.remove_prefix(1);
      const std::optional<uint64_t> end = takeDigits(&list);
      if (!end) return;
      last = *end;
    }
    if (!each(*first, last)) return;
  }
}

}  // namespace

bool cpuListHolds(std::string_view list, int cpu) {
  bool holds = false;
  forEachRange(list, [&](uint64_t first, uint64_t last) {
    holds = cpu >= 0 && first <= static_cast<uint64_t>(cpu) && static_cast<uint64_t>(cpu) <= last;
    return !holds;
  });
  return holds;
}

std::optional<int> firstListedCpu(std::string_view list) {
  std::optional<int> cpu;
  forEachRange(list, [&](uint64_t first, uint64_t) {
    if (first <= 100000) cpu = static_cast<int>(first);
    return false;
  });
  return cpu;
}

std::optional<int64_t> keyedValue(std::string_view text, std::string_view key) {
  size_t at = 0;
  for (;;) {
    const size_t found = text.find(key, at);
    if (found == std::string_view::npos) return std::nullopt;
    at = found + 1;
    if (found != 0 && text[found - 1] != '\n') continue;
    std::string_view rest = text.substr(found + key.size());
    if (rest.empty() || rest.front() != ':') continue;
    rest.remove_prefix(1);
    skipSpace(&rest);
    return takeSigned(&rest);
  }
}

std::optional<ProcessStat> parseProcessStat(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  // Fields from the third on: state is 3, utime 14, stime 15, num_threads
  // 20, starttime 22, rss 24.
  ProcessStat stat;
  for (int field = 3; field <= 24; ++field) {
    skipSpace(&rest);
    if (field == 3) {
      if (rest.empty()) return std::nullopt;
      rest.remove_prefix(1);
      continue;
    }
    const std::optional<int64_t> value = takeSigned(&rest);
    if (!value) return std::nullopt;
    if (!rest.empty() && !isSpace(rest.front())) return std::nullopt;
    switch (field) {
      case 14:
      case 15:
        if (*value < 0) return std::nullopt;
        stat.cpuTicks += static_cast<uint64_t>(*value);
        break;
      case 20:
        stat.threads = *value;
        break;
      case 22:
        if (*value < 0) return std::nullopt;
        stat.startTicks = static_cast<uint64_t>(*value);
        break;
      case 24:
        stat.rssPages = *value;
        break;
      default:
        break;
    }
  }
  return stat;
}

Battery normalizeBattery(const BatteryRaw& raw) {
  Battery battery;
  std::optional<int64_t> uv;
  if (raw.voltage) {
    const int64_t v = *raw.voltage < 0 ? -*raw.voltage : *raw.voltage;
    uv = v < 100000 ? v * 1000 : v;
    battery.mv = divideRounded(*uv, 1000);
  }
  std::optional<int64_t> ua;
  if (raw.current) {
    int64_t a = *raw.current;
    const int64_t magnitude = a < 0 ? -a : a;
    if (magnitude < 20000) a *= 1000;
    if (raw.status == "Discharging") {
      a = a > 0 ? -a : a;
    } else if (raw.status == "Charging") {
      a = a < 0 ? -a : a;
    }
    ua = a;
    battery.ma = divideRounded(a, 1000);
  }
  // Below 1000 V and 1000 A, as any battery is, their product in pW fits.
  if (uv && ua && *uv < 1000000000 && *ua < 1000000000 && *ua > -1000000000) {
    battery.mw = divideRounded(*uv * *ua, 1000000000);
  }
  return battery;
}

std::string tenthsText(int64_t tenths) {
  std::string text;
  uint64_t magnitude;
  if (tenths < 0) {
    text = "-";
    magnitude = static_cast<uint64_t>(-(tenths + 1)) + 1;
  } else {
    magnitude = static_cast<uint64_t>(tenths);
  }
  text += std::to_string(magnitude / 10);
  text += '.';
  text += static_cast<char>('0' + magnitude % 10);
  return text;
}
