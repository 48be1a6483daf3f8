// The device statistics' parsers over any bytes, each held to a property
// that a plain model or the reply's format gives:
//
//   byte 0     which parser (modulo their count)
//   byte 1..   its input; for the ones of two inputs (a load from two
//              /proc/stat lines, a CPU list and a CPU, a battery) the rest
//              is split at its first line feed
//
// Nothing may crash, read out of bounds or overflow (UBSan), and:
// - parseInteger gives what strtoll gives for text of one number;
// - shares stay within 0..100 %, zone names within [a-z0-9_], temperatures
//   in tenths read back from their text;
// - a CPU list holds a CPU exactly when a model expanding its ranges does;
// - the battery's current is negative while discharging and positive while
//   charging, and its power has the current's sign.

#include <stdlib.h>

#include <set>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "stats/stats_parse.h"

namespace {

std::pair<std::string_view, std::string_view> splitLine(std::string_view text) {
  const size_t end = text.find('\n');
  if (end == std::string_view::npos) return {text, {}};
  return {text.substr(0, end), text.substr(end + 1)};
}

void checkInteger(std::string_view text) {
  const std::optional<int64_t> value = parseInteger(text);
  if (!value) return;
  const std::string s(text);
  char* end = nullptr;
  const long long model = strtoll(s.c_str(), &end, 10);
  FUZZ_CHECK(model == *value, "%s: %lld, parsed %lld", fuzz::show(s).c_str(), model,
             static_cast<long long>(*value));
}

void checkShare(std::optional<int64_t> tenths, const std::string& input) {
  if (tenths)
    FUZZ_CHECK(*tenths >= 0 && *tenths <= 1000, "%s: %lld", input.c_str(),
               static_cast<long long>(*tenths));
}

void checkTenthsText(int64_t tenths) {
  const std::string text = tenthsText(tenths);
  const size_t point = text.find('.');
  FUZZ_CHECK(point != std::string::npos && point + 2 == text.size(), "%s", text.c_str());
  const bool negative = text[0] == '-';
  FUZZ_CHECK(!(negative && tenths >= 0), "%s", text.c_str());
  std::string digits =
      text.substr(negative ? 1 : 0, point - (negative ? 1 : 0)) + text.substr(point + 1);
  const unsigned long long magnitude = strtoull(digits.c_str(), nullptr, 10);
  const unsigned long long expected = tenths < 0
                                          ? static_cast<unsigned long long>(-(tenths + 1)) + 1
                                          : static_cast<unsigned long long>(tenths);
  FUZZ_CHECK(magnitude == expected, "%s for %lld", text.c_str(), static_cast<long long>(tenths));
}

// The CPUs a list names, expanded: every range "a-b" and number "a", up to
// the first byte that is not part of one.
bool modelHolds(std::string_view list, int cpu) {
  size_t i = 0;
  auto digits = [&](uint64_t* value) {
    size_t n = 0;
    *value = 0;
    while (i < list.size() && list[i] >= '0' && list[i] <= '9') {
      if (++n > 18) return false;
      *value = *value * 10 + static_cast<uint64_t>(list[i++] - '0');
    }
    return n > 0;
  };
  for (;;) {
    while (i < list.size() && (list[i] == ' ' || list[i] == '\t' || list[i] == '\n' ||
                               list[i] == '\r' || list[i] == ','))
      ++i;
    uint64_t first, last;
    if (!digits(&first)) return false;
    last = first;
    if (i < list.size() && list[i] == '-') {
      ++i;
      if (!digits(&last)) return false;
    }
    if (cpu >= 0 && first <= static_cast<uint64_t>(cpu) && static_cast<uint64_t>(cpu) <= last)
      return true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string shown = fuzz::show(std::string(input));
  switch (data[0] % 9) {
    case 0:
      checkInteger(input);
      break;
    case 1:
      if (const auto tenths = parsePercentTenths(input))
        FUZZ_CHECK(*tenths >= 0, "%s", shown.c_str());
      checkShare(parseBusyCountersTenths(input), shown);
      break;
    case 2: {
      const std::optional<int64_t> raw = parseInteger(input);
      if (!raw) break;
      if (const auto khz = gpuClockKHz(*raw)) FUZZ_CHECK(*khz >= 0, "%s", shown.c_str());
      const int64_t tenths = thermalTenths(*raw);
      FUZZ_CHECK(tenths == 0 || (tenths < 0) == (*raw < 0), "%s", shown.c_str());
      checkTenthsText(tenths);
      checkTenthsText(*raw);
      break;
    }
    case 3: {
      std::string name;
      zoneName(input, &name);
      FUZZ_CHECK(name.rfind("temp_", 0) == 0 && name.size() >= 7 &&
                     name.compare(name.size() - 2, 2, "_c") == 0,
                 "%s", name.c_str());
      for (char c : name) {
        FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_', "%s",
                   shown.c_str());
      }
      std::set<std::string> taken = {name, name.substr(0, name.size() - 2) + "_2_c"};
      std::string unique = name;
      makeZoneNameUnique(&unique, [&taken](const std::string& n) { return taken.count(n) > 0; });
      FUZZ_CHECK(taken.count(unique) == 0, "%s", unique.c_str());
      break;
    }
    case 4: {
      const auto [first, second] = splitLine(input);
      int cpuA = 0, cpuB = 0;
      CpuTimes a, b;
      if (!parseCpuLine(first, &cpuA, &a)) break;
      FUZZ_CHECK(a.busy <= a.total, "%s", shown.c_str());
      if (parseCpuLine(second, &cpuB, &b)) checkShare(loadTenths(a, b), shown);
      break;
    }
    case 5: {
      const auto [list, cpuText] = splitLine(input);
      const std::optional<int64_t> cpu = parseInteger(cpuText);
      if (!cpu || *cpu < 0 || *cpu > 100000) break;
      const int n = static_cast<int>(*cpu);
      FUZZ_CHECK(cpuListHolds(list, n) == modelHolds(list, n), "%s holds %d", shown.c_str(), n);
      if (const auto firstCpu = firstListedCpu(list))
        FUZZ_CHECK(*firstCpu >= 0, "%s", shown.c_str());
      break;
    }
    case 6:
      if (const auto stat = parseProcessStat(input)) {
        FUZZ_CHECK(input.rfind(')') != std::string_view::npos, "%s", shown.c_str());
      }
      keyedValue(input, "MemAvailable");
      break;
    case 7: {
      const auto [status, rest] = splitLine(input);
      const auto [voltage, current] = splitLine(rest);
      BatteryRaw raw;
      raw.status = std::string(status);
      raw.voltage = parseInteger(voltage);
      raw.current = parseInteger(current);
      const Battery battery = normalizeBattery(raw);
      if (battery.ma && raw.status == "Discharging")
        FUZZ_CHECK(*battery.ma <= 0, "%s", shown.c_str());
      if (battery.ma && raw.status == "Charging") FUZZ_CHECK(*battery.ma >= 0, "%s", shown.c_str());
      if (battery.mv) FUZZ_CHECK(*battery.mv >= 0, "%s", shown.c_str());
      if (battery.mw && battery.ma) {
        FUZZ_CHECK(*battery.mw == 0 || *battery.ma == 0 || (*battery.mw < 0) == (*battery.ma < 0),
                   "%s", shown.c_str());
      }
      break;
    }
    case 8: {
      const auto [a, b] = splitLine(input);
      int cpu = 0;
      CpuTimes x, y;
      if (parseCpuLine(a, &cpu, &x) && parseCpuLine(b, &cpu, &y)) {
        checkShare(loadTenths(x, y), shown);
        checkShare(loadTenths(y, x), shown);
      }
      break;
    }
  }
  return 0;
}
