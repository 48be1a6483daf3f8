#include "device_config.h"

#include <algorithm>
#include <set>
#include <utility>

namespace sim {
namespace {

// Far beyond any session, and small enough that start + offset + a few
// periods never overflows.
constexpr int64_t kMaxSeconds = 1000000;
constexpr int64_t kMaxAppStartNs = int64_t{1} << 62;
constexpr int kMaxFps = 1000;
constexpr int kMaxRefreshHz = 1000;
constexpr int64_t kMaxThrottleC = 150;
constexpr int64_t kRestDeciC = 350;
constexpr int64_t kMaxTauSeconds = 3600;
constexpr uint64_t kMaxAppThreads = 64;
// The simulator's CPU limit (cpu_model.h's kMaxCpus).
constexpr uint64_t kMaxConfigCpus = 64;

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<uint64_t> parseUnsigned(std::string_view s, uint64_t max) {
  if (s.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : s) {
    if (!isDigit(c)) return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// "12" or "12.5" in units of 10^-fracDigits; more decimals than that are
// refused rather than rounded away.
std::optional<int64_t> parseScaled(std::string_view s, int fracDigits, int64_t maxWhole) {
  const size_t dot = s.find('.');
  const std::string_view whole = s.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
  if (dot != std::string_view::npos && frac.empty()) return std::nullopt;
  if (frac.size() > static_cast<size_t>(fracDigits)) return std::nullopt;
  const auto w = parseUnsigned(whole, static_cast<uint64_t>(maxWhole));
  if (!w) return std::nullopt;
  int64_t value = static_cast<int64_t>(*w);
  for (int i = 0; i < fracDigits; ++i) {
    int64_t digit = 0;
    if (static_cast<size_t>(i) < frac.size()) {
      if (!isDigit(frac[i])) return std::nullopt;
      digit = frac[i] - '0';
    }
    value = value * 10 + digit;
  }
  return value;
}

std::optional<int64_t> parseSecondsNs(std::string_view s) { return parseScaled(s, 9, kMaxSeconds); }
std::optional<int64_t> parseMillisNs(std::string_view s) { return parseScaled(s, 6, kMaxSeconds); }

template <typename T, size_t N>
bool pick(const std::pair<std::string_view, T> (&names)[N], std::string_view value, T* out,
          std::string* why) {
  for (const auto& [name, choice] : names) {
    if (value == name) {
      *out = choice;
      return true;
    }
  }
  *why = "expected ";
  for (size_t i = 0; i < N; ++i) {
    *why += std::string(names[i].first) + (i + 2 < N ? ", " : i + 2 == N ? " or " : "");
  }
  return false;
}

// "3" or "2,7": distinct CPU numbers, returned sorted.
std::optional<std::vector<int>> parseCpuNumbers(std::string_view text) {
  std::vector<int> cpus;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    const auto cpu = parseUnsigned(trim(text.substr(pos, comma - pos)), kMaxConfigCpus - 1);
    if (!cpu) return std::nullopt;
    cpus.push_back(static_cast<int>(*cpu));
    pos = comma + 1;
  }
  std::sort(cpus.begin(), cpus.end());
  if (std::adjacent_find(cpus.begin(), cpus.end()) != cpus.end()) return std::nullopt;
  return cpus;
}

bool setValue(DeviceConfig* config, std::string_view key, std::string_view value,
              std::string* why) {
  if (key == "package" || key == "activity") {
    // Any other byte is allowed, so that names with quotes, "$" or spaces can
    // be tried on the daemon.
    if (value.empty() || value.find('/') != std::string_view::npos) {
      *why = "must be non-empty and without '/'";
      return false;
    }
    (key == "package" ? config->package : config->activity) = std::string(value);
    return true;
  }
  if (key == "refresh_hz") {
    const auto hz = parseUnsigned(value, kMaxRefreshHz);
    if (!hz || *hz == 0) {
      *why = "expected a whole number of Hz from 1 to " + std::to_string(kMaxRefreshHz);
      return false;
    }
    config->refreshHz = static_cast<int>(*hz);
    return true;
  }
  if (key == "fps") {
    auto schedule = parseFpsSchedule(value, why);
    if (!schedule) return false;
    config->fps = std::move(*schedule);
    return true;
  }
  if (key == "jitter_ms" || key == "stall_ms") {
    const auto ns = parseMillisNs(value);
    if (!ns) {
      *why = "expected milliseconds such as 4 or 2.5";
      return false;
    }
    (key == "jitter_ms" ? config->jitterNs : config->stallNs) = *ns;
    return true;
  }
  if (key == "stall_every_s") {
    const auto ns = parseSecondsNs(value);
    if (!ns) {
      *why = "expected seconds such as 3 or 1.5";
      return false;
    }
    config->stallEveryNs = *ns;
    return true;
  }
  if (key == "android") {
    if (value == "14qpr2") {
      config->android = kAndroid14Qpr2;
      return true;
    }
    const auto version = parseUnsigned(value, 99);
    if (!version ||
        (*version != 7 && *version != 10 && *version != 12 && *version != 13 && *version != 15)) {
      *why = "expected 7, 10, 12, 13, 14qpr2 or 15";
      return false;
    }
    config->android = static_cast<int>(*version);
    return true;
  }
  if (key == "latency_rows") {
    const auto rows = parseUnsigned(value, kLatencySlots);
    if (!rows || *rows == 0) {
      *why = "expected a whole number from 1 to " + std::to_string(kLatencySlots);
      return false;
    }
    config->latencyRows = static_cast<int>(*rows);
    return true;
  }
  if (key == "prefix") {
    if (value == "none") {
      config->prefix = DumpPrefix::none;
    } else if (value == "unresponsive") {
      config->prefix = DumpPrefix::unresponsive;
    } else if (value == "without_lock") {
      config->prefix = DumpPrefix::withoutLock;
    } else {
      *why = "expected none, unresponsive or without_lock";
      return false;
    }
    return true;
  }
  if (key == "prefix_percent") {
    const auto percent = parseUnsigned(value, 100);
    if (!percent) {
      *why = "expected a whole number from 0 to 100";
      return false;
    }
    config->prefixPercent = static_cast<int>(*percent);
    return true;
  }
  if (key == "timeout_suffix") {
    if (value != "0" && value != "1") {
      *why = "expected 0 or 1";
      return false;
    }
    config->timeoutSuffix = value == "1";
    return true;
  }
  if (key == "seed") {
    const auto seed = parseUnsigned(value, UINT64_MAX);
    if (!seed) {
      *why = "expected a whole number";
      return false;
    }
    config->seed = *seed;
    return true;
  }
  if (key == "gpu") {
    const std::pair<std::string_view, GpuFamily> names[] = {{"kgsl", GpuFamily::kgsl},
                                                            {"exynos", GpuFamily::exynos},
                                                            {"devfreq", GpuFamily::devfreq},
                                                            {"none", GpuFamily::none}};
    return pick(names, value, &config->gpu, why);
  }
  if (key == "thermal_unit") {
    const std::pair<std::string_view, ThermalUnit> names[] = {{"milli", ThermalUnit::milli},
                                                              {"deci", ThermalUnit::deci},
                                                              {"degrees", ThermalUnit::degrees}};
    return pick(names, value, &config->thermalUnit, why);
  }
  if (key == "charging") {
    const std::pair<std::string_view, Charging> names[] = {
        {"0", Charging::no}, {"1", Charging::yes}, {"hold", Charging::held}};
    return pick(names, value, &config->charging, why);
  }
  if (key == "battery_current_unit") {
    const std::pair<std::string_view, bool> names[] = {{"ua", false}, {"ma", true}};
    return pick(names, value, &config->batteryMilliamps, why);
  }
  if (key == "battery_current_sign") {
    const std::pair<std::string_view, bool> names[] = {{"charging_positive", false},
                                                       {"discharging_positive", true}};
    return pick(names, value, &config->batteryDischargingPositive, why);
  }
  if (key == "throttle_c") {
    // Above the temperature at rest, or the device would start throttled.
    const auto deciC = parseScaled(value, 1, kMaxThrottleC);
    if (!deciC || *deciC <= kRestDeciC) {
      *why = "expected °C above 35 and up to " + std::to_string(kMaxThrottleC) +
             ", one decimal at most";
      return false;
    }
    config->throttleDeciC = static_cast<int>(*deciC);
    return true;
  }
  if (key == "throttle_fps_pct" || key == "battery_pct") {
    const auto percent = parseUnsigned(value, 100);
    if (!percent || *percent == 0) {
      *why = "expected a whole number from 1 to 100";
      return false;
    }
    (key == "battery_pct" ? config->batteryPercent : config->throttleFpsPercent) =
        static_cast<int>(*percent);
    return true;
  }
  if (key == "thermal_tau_s") {
    const auto ns = parseScaled(value, 9, kMaxTauSeconds);
    if (!ns || *ns < kNsPerSecond / 10) {
      *why = "expected seconds from 0.1 to " + std::to_string(kMaxTauSeconds);
      return false;
    }
    config->thermalTauNs = *ns;
    return true;
  }
  if (key == "app_threads") {
    const auto threads = parseUnsigned(value, kMaxAppThreads);
    if (!threads || *threads == 0) {
      *why = "expected a whole number from 1 to " + std::to_string(kMaxAppThreads);
      return false;
    }
    config->appThreads = static_cast<int>(*threads);
    return true;
  }
  if (key == "offline_cpus") {
    auto cpus = parseCpuNumbers(value);
    if (!cpus) {
      *why = "expected CPU numbers below " + std::to_string(kMaxConfigCpus) +
             " separated by commas, such as 3 or 2,7";
      return false;
    }
    config->offlineCpus = std::move(*cpus);
    return true;
  }
  *why = "unknown key";
  return false;
}

}  // namespace

std::optional<std::vector<FpsStep>> parseFpsSchedule(std::string_view text, std::string* error) {
  std::vector<FpsStep> steps;
  text = trim(text);
  if (text.find(':') == std::string_view::npos) {
    const auto fps = parseUnsigned(text, kMaxFps);
    if (!fps) {
      *error = "expected a frame rate from 0 to " + std::to_string(kMaxFps) +
               " or a schedule like 0:60,5:45";
      return std::nullopt;
    }
    steps.push_back({0, static_cast<int>(*fps)});
    return steps;
  }
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view entry = trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos) {
      *error = "schedule entry '" + std::string(entry) + "' is not SECONDS:FPS";
      return std::nullopt;
    }
    const auto from = parseSecondsNs(trim(entry.substr(0, colon)));
    const auto fps = parseUnsigned(trim(entry.substr(colon + 1)), kMaxFps);
    if (!from || !fps) {
      *error = "schedule entry '" + std::string(entry) +
               "' needs seconds (up to 9 decimals) and a whole frame rate from 0 to " +
               std::to_string(kMaxFps);
      return std::nullopt;
    }
    if (steps.empty() && *from != 0) {
      *error = "the schedule must start at second 0";
      return std::nullopt;
    }
    if (!steps.empty() && *from <= steps.back().fromNs) {
      *error = "schedule seconds must increase strictly ('" + std::string(entry) + "')";
      return std::nullopt;
    }
    steps.push_back({*from, static_cast<int>(*fps)});
  }
  return steps;
}

std::optional<DeviceConfig> parseDeviceConfig(std::string_view text, std::string* error) {
  DeviceConfig config;
  std::set<std::string, std::less<>> seen;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(lineNo) + ": ";
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      *error = where + "expected key=value";
      return std::nullopt;
    }
    const std::string_view key = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    std::string why;
    if (!setValue(&config, key, value, &why)) {
      *error = where + std::string(key) + ": " + why;
      return std::nullopt;
    }
    // A second line for the same key is more likely a leftover than intent.
    if (!seen.emplace(key).second) {
      *error = where + std::string(key) + ": given twice";
      return std::nullopt;
    }
  }
  if (config.stallEveryNs > 0 && config.stallNs >= config.stallEveryNs) {
    *error = "stall_ms must be shorter than stall_every_s";
    return std::nullopt;
  }
  return config;
}

std::optional<int64_t> parseAppStart(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const auto ns = parseUnsigned(text, static_cast<uint64_t>(kMaxAppStartNs));
  if (!ns) return std::nullopt;
  return static_cast<int64_t>(*ns);
}

std::string windowName(const DeviceConfig& config) {
  const std::string activity =
      config.activity.front() == '.' ? config.package + config.activity : config.activity;
  return config.package + "/" + activity;
}

int64_t refreshPeriodNs(const DeviceConfig& config) { return kNsPerSecond / config.refreshHz; }

}  // namespace sim
