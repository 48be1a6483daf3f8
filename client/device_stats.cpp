#include "device_stats.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "catalog.h"
#include "text.h"

namespace perfprobe {

namespace {

using Json = nlohmann::ordered_json;

// A CPU's number as the daemon writes it: no leading zero, and six digits
// are more CPUs than any device has.
bool isCpuNumber(std::string_view item) {
  return allDigits(item) && item.size() <= 6 && (item.size() == 1 || item[0] != '0');
}


// The item a line names of a family: a CPU's number, a zone's name.
std::optional<std::string_view> itemIn(const field::Field& f, std::string_view name) {
  const std::string_view item = field::itemOf(f, name);
  if (item.empty() || (field::perCpu(f) && !isCpuNumber(item))) return std::nullopt;
  return item;
}

// Where GET_STATS lists a field: the order of the lines within a section.
size_t replyOrder(const field::Field* f) {
  return static_cast<size_t>(
      std::find(std::begin(field::kStatsFields), std::end(field::kStatsFields), f) -
      std::begin(field::kStatsFields));
}

// The rows of one line each of `stats`' section, in the reply's order.
std::vector<const Metric*> linesOf(Section section) {
  std::vector<const Metric*> rows;
  for (const Metric* row : rowsFrom(From::kStats)) {
    if (row->section == section && row->derive == Derive::kValue) rows.push_back(row);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Metric* a, const Metric* b) {
    return replyOrder(a->field) < replyOrder(b->field);
  });
  return rows;
}

// The CPU families, in the table's order.
std::vector<const Metric*> cpuColumns() {
  std::vector<const Metric*> rows;
  for (const Metric* row : rowsFrom(From::kStats)) {
    if (row->section == Section::kCpu && row->derive == Derive::kEach) rows.push_back(row);
  }
  return rows;
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

const Metric* statsRowOf(const std::string& name) {
  for (const Metric* row : rowsFrom(From::kStats)) {
    if (row->derive == Derive::kValue && name == row->field->name) return row;
    if (row->derive == Derive::kEach && itemIn(*row->field, name)) return row;
  }
  return nullptr;
}

std::vector<Core> cores(const Reading& stats) {
  const std::vector<const Metric*> families = cpuColumns();
  std::map<unsigned, Core> found;
  for (const Reading::Field& line : stats.fields) {
    for (const Metric* row : families) {
      const auto item = itemIn(*row->field, line.name);
      if (!item || !field::perCpu(*row->field)) continue;
      const unsigned cpu = static_cast<unsigned>(strtoul(std::string(*item).c_str(), nullptr, 10));
      Core& core = found[cpu];
      core.cpu = cpu;
      if (row->field == &field::kCoreCluster && line.value) {
        core.cluster = parseUnsigned(*line.value);
      }
      break;
    }
  }
  std::vector<Core> list;
  for (const auto& entry : found) list.push_back(entry.second);
  return list;
}

std::vector<Cluster> clusters(const std::vector<Core>& cores) {
  std::vector<Cluster> list;
  std::map<uint64_t, size_t> byCluster;
  std::vector<Core> sorted = cores;
  std::sort(sorted.begin(), sorted.end(), [](const Core& a, const Core& b) { return a.cpu < b.cpu; });
  for (const Core& core : sorted) {
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

std::vector<Zone> zones(const Reading& stats) {
  std::vector<Zone> list;
  for (const Reading::Field& line : stats.fields) {
    if (const auto name = itemIn(field::kZoneTempC, line.name)) {
      list.push_back(
          Zone{std::string(*name), line.value ? statsNumber(*line.value) : std::optional<double>()});
    }
  }
  return list;
}

std::string cpuTable(const Reading& stats, const std::string& indent) {
  const std::vector<const Metric*> families = cpuColumns();
  std::vector<std::string> head = {"cpu"};
  for (const Metric* row : families) {
    head.push_back(*row->field->unit ? row->label + " " + row->field->unit : row->label);
  }
  std::vector<std::vector<std::string>> rows = {head};
  for (const Core& core : cores(stats)) {
    const std::string item = std::to_string(core.cpu);
    std::vector<std::string> cells = {"cpu" + item};
    for (const Metric* row : families) {
      cells.push_back(shown(stats.number(columnOf(*row, item)), row->decimals()));
    }
    rows.push_back(std::move(cells));
  }
  return columns(rows, indent);
}

std::string statsText(const Reading& stats) {
  // Rows of label, value and unit; a row of a label alone is a heading.
  std::vector<std::vector<std::string>> rows;
  std::vector<std::pair<size_t, std::string>> tables;  // text placed after row N
  auto present = [&](const char* name) {
    return std::any_of(stats.fields.begin(), stats.fields.end(),
                       [&](const Reading::Field& f) { return f.name == name; });
  };
  const bool anyCpu = !cores(stats).empty();
  for (Section section : {Section::kDevice, Section::kCpu, Section::kGpu, Section::kBattery,
                          Section::kApp, Section::kDaemon}) {
    std::vector<std::vector<std::string>> sectionRows;
    for (const Metric* row : linesOf(section)) {
      if (!present(row->field->name)) continue;
      const auto value = stats.text(row->field->name);
      sectionRows.push_back({"  " + row->label, value ? *value : "NA", value ? row->field->unit : ""});
    }
    const bool table = section == Section::kCpu && anyCpu;
    if (sectionRows.empty() && !table) continue;
    rows.push_back({sectionTitle(section)});
    rows.insert(rows.end(), sectionRows.begin(), sectionRows.end());
    if (table) tables.push_back({rows.size(), cpuTable(stats, "  ")});
  }
  std::vector<Zone> hottest = zones(stats);
  std::stable_sort(hottest.begin(), hottest.end(), [](const Zone& a, const Zone& b) {
    if (a.celsius && b.celsius) return *a.celsius > *b.celsius;
    return a.celsius.has_value() && !b.celsius.has_value();
  });
  if (!hottest.empty()) {
    rows.push_back({sectionTitle(Section::kTemperatures)});
    for (const Zone& zone : hottest) {
      rows.push_back({"  " + zone.name, shown(zone.celsius, field::decimalsOf(field::kZoneTempC)),
                      zone.celsius ? field::kZoneTempC.unit : ""});
    }
  }
  std::vector<std::vector<std::string>> others;
  for (const Reading::Field& line : stats.fields) {
    if (statsRowOf(line.name) == nullptr) {
      others.push_back({"  " + line.name, line.value.value_or("NA"), ""});
    }
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

std::string statsJson(const Reading& stats) {
  Json object = Json::object();
  for (const Reading::Field& line : stats.fields) {
    const Metric* row = statsRowOf(line.name);
    if (!line.value) {
      object[line.name] = nullptr;
    } else if (row != nullptr && row->isText()) {
      object[line.name] = *line.value;
    } else if (statsNumber(*line.value)) {
      object[line.name] = numberJson(*line.value);
    } else if (row != nullptr) {
      // One of the daemon's numbers that is not one: a reader of the
      // object finds a number or nothing under a name it knows.
      object[line.name] = nullptr;
    } else {
      object[line.name] = *line.value;
    }
  }
  if (stats.truncated) object[kTruncated] = *stats.truncated;
  return object.dump() + "\n";
}

}  // namespace perfprobe
