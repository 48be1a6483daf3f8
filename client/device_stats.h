#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "replies.h"

// The device's figures of GET_STATS, as `perfprobe stats` and `cpu` show
// them, and its families as the other outputs take them apart. Pure, so
// that tests call it with any bytes.
namespace perfprobe {

struct Metric;

// The row of the catalog whose field or family names a line of GET_STATS;
// null for a name the client does not know (a newer daemon's).
const Metric* statsRowOf(const std::string& name);

// A CPU that a line of the reply names, and the first CPU of its cluster
// where the daemon knows it.
struct Core {
  unsigned cpu = 0;
  std::optional<uint64_t> cluster;

  bool operator==(const Core& other) const { return cpu == other.cpu && cluster == other.cluster; }
};

// Every CPU that a line of a CPU family names, by CPU number.
std::vector<Core> cores(const Reading& stats);

// The CPUs that share a clock, named by them: "cpu0-3", "cpu7", "cpu0-1+4".
// A CPU whose cluster the daemon does not know (an offline core, a kernel
// without cpufreq policies) stands alone, so that a clock it has is still
// seen. In the order of their first CPUs.
struct Cluster {
  std::string name;
  std::vector<unsigned> cpus;

  bool operator==(const Cluster& other) const { return name == other.name && cpus == other.cpus; }
};
std::vector<Cluster> clusters(const std::vector<Core>& cores);

// A thermal zone of the reply, by the name its line gives it ("cpu_0_0").
struct Zone {
  std::string name;
  std::optional<double> celsius;

  bool operator==(const Zone& other) const {
    return name == other.name && celsius == other.celsius;
  }
};
// In the reply's order.
std::vector<Zone> zones(const Reading& stats);

// The CPUs as a table, a row per CPU and a column per CPU family of the
// catalog (clock, maximum, cluster, load), NA where unknown; an indent
// before every line.
std::string cpuTable(const Reading& stats, const std::string& indent = "");

// The whole reply as a reader wants it: each section of the catalog with
// its lines, the CPUs as a table, the temperatures hottest first, and every
// name it does not know as it came.
std::string statsText(const Reading& stats);

// The whole reply as one JSON object, keyed by the reply's names in its
// order: numbers as numbers, NA as null, a text as a string, and a name it
// does not know with its value as a number when it is one, else as it
// came. "truncated" too, when the daemon cut.
std::string statsJson(const Reading& stats);

}  // namespace perfprobe
