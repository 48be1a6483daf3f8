#include "device_stats.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "replies.h"

namespace perfprobe {

namespace {

using Json = nlohmann::ordered_json;

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}


// The lines of one CPU: cpu<N><suffix>, N as the daemon prints it.
constexpr const char* kCoreSuffixes[] = {"_load_pct", "_khz", "_max_khz", "_cluster"};

// The CPU number and the suffix of a cpuN_ name.
bool coreName(const std::string& name, unsigned* cpu, std::string* suffix) {
  if (!startsWith(name, "cpu")) return false;
  size_t end = 3;
  while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
  const std::string digits = name.substr(3, end - 3);
  // Six digits are more CPUs than any device has, and a leading zero is not
  // how the daemon writes a number.
  if (digits.empty() || digits.size() > 6 || (digits.size() > 1 && digits[0] == '0')) {
    return false;
  }
  const std::string rest = name.substr(end);
  for (const char* s : kCoreSuffixes) {
    if (rest == s) {
      *cpu = static_cast<unsigned>(strtoul(digits.c_str(), nullptr, 10));
      *suffix = rest;
      return true;
    }
  }
  return false;
}

// temp_<zone>_c: the zone's name.
std::optional<std::string> zoneName(const std::string& name) {
  if (name.size() <= 7 || !startsWith(name, "temp_") || !endsWith(name, "_c")) return std::nullopt;
  return name.substr(5, name.size() - 7);
}

constexpr const char* kTextFields[] = {"battery_status", "gpu_source"};

// The names of the reply whose meaning the client knows, beside the CPUs'
// and the zones'.
constexpr const char* kKnownFields[] = {
    "uptime_ms",  "cpu_load_pct",   "gpu_khz",          "gpu_max_khz",  "gpu_busy_pct",
    "gpu_source", "battery_pct",    "battery_status",   "battery_mv",   "battery_ma",
    "battery_mw", "battery_temp_c", "mem_available_kb", "app_pids",     "app_threads",
    "app_rss_kb", "app_cpu_pct",    "probe_cpu_pct",    "probe_rss_kb",
};

bool isText(const std::string& name) {
  return std::find(std::begin(kTextFields), std::end(kTextFields), name) != std::end(kTextFields);
}

bool isKnown(const std::string& name) {
  unsigned cpu;
  std::string suffix;
  return std::find(std::begin(kKnownFields), std::end(kKnownFields), name) !=
             std::end(kKnownFields) ||
         coreName(name, &cpu, &suffix) || zoneName(name).has_value();
}

std::string fixed(double value, int decimals) {
  char buf[512];
  snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string shown(const std::optional<double>& value, int decimals) {
  return value ? fixed(*value, decimals) : "NA";
}

// Right-aligned in `width` characters, or left-aligned in -width.
std::string pad(const std::string& text, int width) {
  const size_t n = static_cast<size_t>(width < 0 ? -width : width);
  if (text.size() >= n) return text;
  const std::string fill(n - text.size(), ' ');
  return width < 0 ? text + fill : fill + text;
}

// Columns of text: the first left-aligned, the others right-aligned, each
// as wide as its widest cell, two spaces apart.
std::string columns(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size());
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line = indent;
    for (size_t i = 0; i < row.size(); ++i) {
      const int width = static_cast<int>(widths[i]);
      line += i == 0 ? pad(row[i], -width) : "  " + pad(row[i], width);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

Json numberJson(const std::string& text) {
  if (text.find('.') == std::string::npos) {
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno != ERANGE) return value;
  }
  return strtod(text.c_str(), nullptr);
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

std::optional<std::string> DeviceStats::text(const std::string& name) const {
  for (const Field& field : fields) {
    if (field.name == name) return field.value;
  }
  return std::nullopt;
}

std::optional<double> DeviceStats::number(const std::string& name) const {
  const auto value = text(name);
  return value ? statsNumber(*value) : std::nullopt;
}

std::optional<DeviceStats> parseDeviceStats(const std::string& reply) {
  DeviceStats stats;
  bool haveUptime = false;
  bool haveTruncated = false;
  forEachField(reply, [&](const std::string& name, const std::string& value) {
    if (name == "truncated") {
      if (!haveTruncated) stats.truncated = parseUnsigned(value);
      haveTruncated = true;
      return;
    }
    if (std::any_of(stats.fields.begin(), stats.fields.end(),
                    [&](const DeviceStats::Field& f) { return f.name == name; })) {
      return;
    }
    haveUptime = haveUptime || name == "uptime_ms";
    stats.fields.push_back(
        {name, value == "NA" ? std::nullopt : std::optional<std::string>(value)});
  });
  if (!haveUptime) return std::nullopt;
  return stats;
}

bool isDeviceStats(const std::string& reply) { return parseDeviceStats(reply).has_value(); }

bool CoreStats::operator==(const CoreStats& other) const {
  return cpu == other.cpu && khz == other.khz && maxKhz == other.maxKhz &&
         cluster == other.cluster && loadPct == other.loadPct;
}

std::vector<CoreStats> coreStats(const DeviceStats& stats) {
  std::map<unsigned, CoreStats> cores;
  for (const DeviceStats::Field& field : stats.fields) {
    unsigned cpu;
    std::string suffix;
    if (!coreName(field.name, &cpu, &suffix)) continue;
    CoreStats& core = cores[cpu];
    core.cpu = cpu;
    const std::optional<double> number = field.value ? statsNumber(*field.value) : std::nullopt;
    if (suffix == "_load_pct") {
      core.loadPct = number;
    } else if (suffix == "_khz") {
      core.khz = number;
    } else if (suffix == "_max_khz") {
      core.maxKhz = number;
    } else if (field.value) {
      core.cluster = parseUnsigned(*field.value);
    }
  }
  std::vector<CoreStats> list;
  for (const auto& entry : cores) list.push_back(entry.second);
  return list;
}

std::vector<Cluster> clusters(const std::vector<CoreStats>& cores) {
  std::vector<Cluster> list;
  std::map<uint64_t, size_t> byCluster;
  std::vector<CoreStats> sorted = cores;
  std::sort(sorted.begin(), sorted.end(),
            [](const CoreStats& a, const CoreStats& b) { return a.cpu < b.cpu; });
  for (const CoreStats& core : sorted) {
    if (core.cluster) {
      const auto found = byCluster.find(*core.cluster);
      if (found != byCluster.end()) {
        list[found->second].cpus.push_back(core.cpu);
        continue;
      }
      byCluster[*core.cluster] = list.size();
    }
    list.push_back({"", {core.cpu}});
  }
  for (Cluster& cluster : list) {
    // Runs of consecutive CPUs: cpu0-3, and cpu0-1+4 for a cluster with a gap.
    std::string name = "cpu";
    for (size_t i = 0; i < cluster.cpus.size();) {
      size_t j = i;
      while (j + 1 < cluster.cpus.size() && cluster.cpus[j + 1] == cluster.cpus[j] + 1) ++j;
      if (i > 0) name += "+";
      name += std::to_string(cluster.cpus[i]);
      if (j > i) name += "-" + std::to_string(cluster.cpus[j]);
      i = j + 1;
    }
    cluster.name = name;
  }
  return list;
}

std::vector<Zone> zones(const DeviceStats& stats) {
  std::vector<Zone> list;
  for (const DeviceStats::Field& field : stats.fields) {
    if (const auto name = zoneName(field.name)) {
      list.push_back({*name, field.value ? statsNumber(*field.value) : std::nullopt});
    }
  }
  return list;
}

std::string cpuTable(const std::vector<CoreStats>& cores, const std::string& indent) {
  std::vector<std::vector<std::string>> rows = {
      {"cpu", "clock kHz", "max kHz", "cluster", "load %"}};
  for (const CoreStats& core : cores) {
    rows.push_back({"cpu" + std::to_string(core.cpu), shown(core.khz, 0), shown(core.maxKhz, 0),
                    core.cluster ? std::to_string(*core.cluster) : "NA", shown(core.loadPct, 1)});
  }
  return columns(rows, indent);
}

std::string statsText(const DeviceStats& stats) {
  struct Shown {
    const char* name;
    const char* label;
    const char* unit;
  };
  struct Section {
    const char* title;
    std::vector<Shown> fields;
  };
  const Section sections[] = {
      {"Device", {{"uptime_ms", "uptime", "ms"}, {"mem_available_kb", "memory available", "kB"}}},
      {"CPU", {{"cpu_load_pct", "load", "%"}}},
      {"GPU",
       {{"gpu_source", "source", ""},
        {"gpu_khz", "clock", "kHz"},
        {"gpu_max_khz", "max", "kHz"},
        {"gpu_busy_pct", "busy", "%"}}},
      {"Battery",
       {{"battery_pct", "level", "%"},
        {"battery_status", "status", ""},
        {"battery_mv", "voltage", "mV"},
        {"battery_ma", "current", "mA"},
        {"battery_mw", "power", "mW"},
        {"battery_temp_c", "temperature", "°C"}}},
      {"App",
       {{"app_pids", "processes", ""},
        {"app_threads", "threads", ""},
        {"app_rss_kb", "rss", "kB"},
        {"app_cpu_pct", "cpu", "%"}}},
      {"perfprobed", {{"probe_cpu_pct", "cpu", "%"}, {"probe_rss_kb", "rss", "kB"}}},
  };
  // Rows of label, value and unit; a row of a label alone is a heading.
  std::vector<std::vector<std::string>> rows;
  std::vector<std::pair<size_t, std::string>> tables;  // text placed after row N
  auto present = [&](const char* name) {
    return std::any_of(stats.fields.begin(), stats.fields.end(),
                       [&](const DeviceStats::Field& f) { return f.name == name; });
  };
  const std::vector<CoreStats> cores = coreStats(stats);
  for (const Section& section : sections) {
    std::vector<std::vector<std::string>> sectionRows;
    for (const Shown& field : section.fields) {
      if (!present(field.name)) continue;
      const auto value = stats.text(field.name);
      sectionRows.push_back(
          {"  " + std::string(field.label), value ? *value : "NA", value ? field.unit : ""});
    }
    const bool cpu = std::string(section.title) == "CPU";
    if (sectionRows.empty() && !(cpu && !cores.empty())) continue;
    rows.push_back({section.title});
    rows.insert(rows.end(), sectionRows.begin(), sectionRows.end());
    if (cpu && !cores.empty()) tables.push_back({rows.size(), cpuTable(cores, "  ")});
  }
  std::vector<Zone> hottest = zones(stats);
  std::stable_sort(hottest.begin(), hottest.end(), [](const Zone& a, const Zone& b) {
    if (a.celsius && b.celsius) return *a.celsius > *b.celsius;
    return a.celsius.has_value() && !b.celsius.has_value();
  });
  if (!hottest.empty()) {
    rows.push_back({"Temperatures, hottest first"});
    for (const Zone& zone : hottest) {
      rows.push_back({"  " + zone.name, shown(zone.celsius, 1), zone.celsius ? "°C" : ""});
    }
  }
  std::vector<std::vector<std::string>> others;
  for (const DeviceStats::Field& field : stats.fields) {
    if (!isKnown(field.name)) others.push_back({"  " + field.name, field.value.value_or("NA"), ""});
  }
  if (!others.empty()) {
    rows.push_back({"Other"});
    rows.insert(rows.end(), others.begin(), others.end());
  }

  // The labels and the values line up across the sections; headings and
  // tables stand apart.
  size_t labelWidth = 0;
  size_t valueWidth = 0;
  for (const auto& row : rows) {
    if (row.size() < 3) continue;
    labelWidth = std::max(labelWidth, row[0].size());
    valueWidth = std::max(valueWidth, row[1].size());
  }
  std::string text;
  size_t table = 0;
  for (size_t i = 0; i <= rows.size(); ++i) {
    while (table < tables.size() && tables[table].first == i) text += tables[table++].second;
    if (i == rows.size()) break;
    const auto& row = rows[i];
    if (row.size() < 3) {
      text += row[0] + "\n";
      continue;
    }
    std::string line = pad(row[0], -static_cast<int>(labelWidth)) + "  " +
                       pad(row[1], static_cast<int>(valueWidth));
    if (!row[2].empty()) line += " " + row[2];
    text += line + "\n";
  }
  if (stats.truncated) {
    text += "(" + std::to_string(*stats.truncated) +
            " temperatures left out: the daemon holds a reply to a distant peer to three times "
            "its request)\n";
  }
  return text;
}

std::string statsJson(const DeviceStats& stats) {
  Json object = Json::object();
  for (const DeviceStats::Field& field : stats.fields) {
    if (!field.value) {
      object[field.name] = nullptr;
    } else if (isText(field.name)) {
      object[field.name] = *field.value;
    } else if (statsNumber(*field.value)) {
      object[field.name] = numberJson(*field.value);
    } else if (isKnown(field.name)) {
      // One of the daemon's numbers that is not one: a reader of the
      // object finds a number or nothing under a name it knows.
      object[field.name] = nullptr;
    } else {
      object[field.name] = *field.value;
    }
  }
  if (stats.truncated) object["truncated"] = *stats.truncated;
  return object.dump() + "\n";
}

}  // namespace perfprobe
