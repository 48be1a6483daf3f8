#include "cpu_model.h"

#include <algorithm>

namespace sim {
namespace {

// Frequency tables of a recent phone with three clusters, a few steps
// thinned out.
const std::vector<int64_t> kLittleKHz{300000,  403200,  518400,  614400,  691200,
                                      787200,  883200,  979200,  1075200, 1171200,
                                      1324800, 1516800, 1612800, 1708800, 1804800};
const std::vector<int64_t> kBigKHz{710400,  825600,  940800,  1056000, 1171200, 1286400, 1478400,
                                   1670400, 1862400, 1958400, 2054400, 2150400, 2246400, 2419200};
const std::vector<int64_t> kPrimeKHz{844800,  960000,  1075200, 1190400, 1305600, 1420800, 1651200,
                                     1881600, 2112000, 2342400, 2457600, 2572800, 2745600, 2841600};

constexpr int kLoadDriftPerMille = 150;
// About once every 40 ticks, 8 s at the default interval.
constexpr uint64_t kBurstOdds = 40;

// "0-7", or "0" for a single CPU, as the kernel prints a CPU range.
std::string cpuRange(int first, int count) {
  if (count == 1) return std::to_string(first) + "\n";
  return std::to_string(first) + "-" + std::to_string(first + count - 1) + "\n";
}

std::string cpuList(const Cluster& cluster) {
  std::string out;
  for (int i = 0; i < cluster.cpuCount; ++i) {
    out += (i == 0 ? "" : " ") + std::to_string(cluster.firstCpu + i);
  }
  return out + "\n";
}

std::string kHz(int64_t value) { return std::to_string(value) + "\n"; }

}  // namespace

std::vector<Cluster> clustersFor(int cpus) {
  if (cpus <= 4) return {{0, cpus, kLittleKHz}};
  const int little = cpus / 2;
  return {{0, little, kLittleKHz}, {little, cpus - little - 1, kBigKHz}, {cpus - 1, 1, kPrimeKHz}};
}

std::vector<TreeEntry> cpuTree(int cpus) {
  using Kind = TreeEntry::Kind;
  std::vector<TreeEntry> tree{{Kind::dir, "cpufreq", ""}};
  const std::vector<Cluster> clusters = clustersFor(cpus);
  for (const Cluster& c : clusters) {
    const std::string policy = "cpufreq/policy" + std::to_string(c.firstCpu);
    std::string available;
    for (const int64_t f : c.freqsKHz) available += std::to_string(f) + " ";
    tree.push_back({Kind::dir, policy, ""});
    const std::pair<const char*, std::string> files[] = {
        {"affected_cpus", cpuList(c)},
        {"related_cpus", cpuList(c)},
        {"cpuinfo_min_freq", kHz(c.freqsKHz.front())},
        {"cpuinfo_max_freq", kHz(c.freqsKHz.back())},
        {"scaling_min_freq", kHz(c.freqsKHz.front())},
        {"scaling_max_freq", kHz(c.freqsKHz.back())},
        {"scaling_cur_freq", kHz(c.freqsKHz.front())},
        // The kernel leaves a space after every value.
        {"scaling_available_frequencies", available + "\n"},
        {"scaling_governor", "schedutil\n"},
    };
    for (const auto& [name, content] : files)
      tree.push_back({Kind::file, policy + "/" + name, content});
  }
  for (const Cluster& c : clusters) {
    for (int cpu = c.firstCpu; cpu < c.firstCpu + c.cpuCount; ++cpu) {
      const std::string dir = "cpu" + std::to_string(cpu);
      tree.push_back({Kind::dir, dir, ""});
      tree.push_back({Kind::file, dir + "/online", "1\n"});
      tree.push_back(
          {Kind::symlink, dir + "/cpufreq", "../cpufreq/policy" + std::to_string(c.firstCpu)});
    }
  }
  // What else the folder holds on a phone, for readers to skip.
  tree.push_back({Kind::dir, "cpuidle", ""});
  tree.push_back({Kind::file, "cpuidle/current_driver", "psci_idle\n"});
  tree.push_back({Kind::dir, "power", ""});
  tree.push_back({Kind::file, "online", cpuRange(0, cpus)});
  tree.push_back({Kind::file, "possible", cpuRange(0, cpus)});
  tree.push_back({Kind::file, "present", cpuRange(0, cpus)});
  tree.push_back({Kind::file, "kernel_max", cpus <= 32 ? "31\n" : "63\n"});
  return tree;
}

std::optional<std::vector<int64_t>> parseFrequencyList(std::string_view text) {
  std::vector<int64_t> freqs;
  size_t pos = 0;
  while (true) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
    if (pos == text.size()) break;
    int64_t value = 0;
    size_t digits = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
      if (digits == 12) return std::nullopt;
      value = value * 10 + (text[pos] - '0');
    }
    if (digits == 0 || value == 0) return std::nullopt;
    freqs.push_back(value);
  }
  if (freqs.empty()) return std::nullopt;
  std::sort(freqs.begin(), freqs.end());
  freqs.erase(std::unique(freqs.begin(), freqs.end()), freqs.end());
  return freqs;
}

size_t targetIndex(int loadPerMille, size_t steps) {
  return (static_cast<size_t>(loadPerMille) * (steps - 1) + 500) / 1000;
}

GovernorState governorStep(GovernorState state, size_t steps, uint64_t random) {
  const int drift = static_cast<int>(random % (2 * kLoadDriftPerMille + 1)) - kLoadDriftPerMille;
  random /= 2 * kLoadDriftPerMille + 1;
  state.loadPerMille = std::clamp(state.loadPerMille + drift, 0, 1000);
  const bool burst = random % kBurstOdds == 0;
  random /= kBurstOdds;
  const size_t stride = 1 + random % 2;
  state.index = std::min(state.index, steps - 1);
  const size_t target = targetIndex(state.loadPerMille, steps);
  if (burst) {
    state.index = steps - 1;
  } else if (state.index < target) {
    state.index = std::min(state.index + stride, target);
  } else if (state.index > target) {
    state.index = state.index - std::min(stride, state.index - target);
  }
  return state;
}

uint64_t nextRandom(uint64_t* state) {
  uint64_t x = (*state += 0x9e3779b97f4a7c15ULL);
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace sim
