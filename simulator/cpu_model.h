#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr int kMaxCpus = 64;

// CPUs firstCpu .. firstCpu + cpuCount - 1 share one cpufreq policy, named
// after its first CPU as the kernel does.
struct Cluster {
  int firstCpu;
  int cpuCount;
  std::vector<int64_t> freqsKHz;  // ascending
};

// A phone's layout for 1..kMaxCpus CPUs: one cluster up to four, else little
// cores, big cores and one prime core.
std::vector<Cluster> clustersFor(int cpus);

struct TreeEntry {
  enum class Kind { dir, file, symlink };
  Kind kind;
  std::string path;     // relative to the tree's root
  std::string content;  // the file's bytes, or the link's target
};

// Everything under /sys/devices/system/cpu that a reader may look at, in an
// order in which a folder comes before what it holds.
std::vector<TreeEntry> cpuTree(int cpus);

// scaling_available_frequencies ("300000 403200 \n") in ascending order;
// nullopt unless it holds positive whole numbers only.
std::optional<std::vector<int64_t>> parseFrequencyList(std::string_view text);

// One cluster under a governor: a load in per mille that drifts, and the
// index of the frequency in the cluster's table.
struct GovernorState {
  int loadPerMille;
  size_t index;
};

// The index a governor settles at for a load, in a table of `steps` entries.
size_t targetIndex(int loadPerMille, size_t steps);

// One tick: the load drifts by up to 15 % either way, then the index moves
// one or two steps toward the load's target, or now and then jumps to the
// top as a burst of work would make it. `random` is fresh random bits.
GovernorState governorStep(GovernorState state, size_t steps, uint64_t random);

// The next value of a splitmix64 sequence.
uint64_t nextRandom(uint64_t* state);

}  // namespace sim
