#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

// The device's figures of GET_STATS, as the client reads and shows them.
// Pure, so that tests call it with any bytes.
namespace perfprobe {

// The reply: lines of "name value", each ending in a line feed, the value
// the rest of its line ("Not charging" holds a space), "NA" where unknown.
// The lines keep the daemon's order; a later line of a name read before, and
// a line the daemon has not ended, count as absent.
struct DeviceStats {
  struct Field {
    std::string name;
    std::optional<std::string> value;  // none for "NA"

    bool operator==(const Field& other) const { return name == other.name && value == other.value; }
  };
  std::vector<Field> fields;
  // "truncated N": the daemon left out the last N temperature lines to keep
  // a reply to a distant peer within what its request allows. Not a field.
  std::optional<uint64_t> truncated;

  // The field's value as it came; none when it is "NA" or absent.
  std::optional<std::string> text(const std::string& name) const;
  // The field's value when it is one of the daemon's numbers.
  std::optional<double> number(const std::string& name) const;
};

// Nullopt without an uptime_ms line: not a GET_STATS reply (a rate, a
// report, frame statistics). Names it does not know are kept as they come.
std::optional<DeviceStats> parseDeviceStats(const std::string& reply);
bool isDeviceStats(const std::string& reply);

// A number as the daemon prints them: a minus maybe, digits, then maybe a
// point and digits.
std::optional<double> statsNumber(const std::string& text);

// One CPU of the reply, from its cpuN_ lines; each value none where the
// daemon said NA or gave no line. cluster is the first CPU of its cluster.
struct CoreStats {
  unsigned cpu = 0;
  std::optional<double> khz;
  std::optional<double> maxKhz;
  std::optional<uint64_t> cluster;
  std::optional<double> loadPct;

  bool operator==(const CoreStats& other) const;
};

// Every CPU that a cpuN_ line names, by CPU number.
std::vector<CoreStats> coreStats(const DeviceStats& stats);

// The CPUs that share a clock, named by them: "cpu0-3", "cpu7", "cpu0-1+4".
// A CPU whose cluster the daemon does not know (an offline core, a kernel
// without cpufreq policies) stands alone, so that a clock it has is still
// seen. In the order of their first CPUs.
struct Cluster {
  std::string name;
  std::vector<unsigned> cpus;

  bool operator==(const Cluster& other) const { return name == other.name && cpus == other.cpus; }
};
std::vector<Cluster> clusters(const std::vector<CoreStats>& cores);

// A thermal zone of the reply: "cpu_0_0" from temp_cpu_0_0_c.
struct Zone {
  std::string name;
  std::optional<double> celsius;

  bool operator==(const Zone& other) const {
    return name == other.name && celsius == other.celsius;
  }
};
// In the reply's order.
std::vector<Zone> zones(const DeviceStats& stats);

// The CPUs as a table: clock, maximum, cluster and load of each, NA where
// unknown; an indent before every line.
std::string cpuTable(const std::vector<CoreStats>& cores, const std::string& indent = "");

// The whole reply as a reader wants it: the CPUs as a table, then the GPU,
// the battery, the memory, the app, the daemon itself, the temperatures
// hottest first, and every name it does not know as it came.
std::string statsText(const DeviceStats& stats);

// The whole reply as one JSON object, keyed by the reply's names in its
// order: numbers as numbers, NA as null, the battery's status and the GPU's
// source as strings, and a name it does not know with its value as a number
// when it is one, else as it came. "truncated" too, when the daemon cut.
std::string statsJson(const DeviceStats& stats);

}  // namespace perfprobe
