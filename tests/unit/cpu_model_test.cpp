// The simulated CPUs: the sysfs tree of their clusters and the governor's walk.
#include "cpu_model.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::map<std::string, sim::TreeEntry> treeByPath(int cpus) {
  std::map<std::string, sim::TreeEntry> byPath;
  for (const sim::TreeEntry& entry : sim::cpuTree(cpus)) {
    const size_t slash = entry.path.rfind('/');
    if (slash != std::string::npos) {
      const auto parent = byPath.find(entry.path.substr(0, slash));
      EXPECT_TRUE(parent != byPath.end() && parent->second.kind == sim::TreeEntry::Kind::dir)
          << entry.path << " comes before its folder";
    }
    EXPECT_TRUE(byPath.emplace(entry.path, entry).second) << entry.path << " twice";
  }
  return byPath;
}

std::string fileIn(const std::map<std::string, sim::TreeEntry>& tree, const std::string& path) {
  const auto it = tree.find(path);
  if (it == tree.end() || it->second.kind != sim::TreeEntry::Kind::file) {
    ADD_FAILURE() << "no file " << path;
    return "";
  }
  return it->second.content;
}

TEST(SimCpuTree, EightCpusLookLikeAPhone) {
  const auto tree = treeByPath(8);
  const struct {
    int policy;
    std::string cpus;
    int64_t minKHz;
    int64_t maxKHz;
  } clusters[] = {
      {0, "0 1 2 3\n", 300000, 1804800},
      {4, "4 5 6\n", 710400, 2419200},
      {7, "7\n", 844800, 2841600},
  };
  for (const auto& c : clusters) {
    const std::string dir = "cpufreq/policy" + std::to_string(c.policy) + "/";
    const std::string min = std::to_string(c.minKHz) + "\n";
    const std::string max = std::to_string(c.maxKHz) + "\n";
    EXPECT_EQ(fileIn(tree, dir + "related_cpus"), c.cpus);
    EXPECT_EQ(fileIn(tree, dir + "affected_cpus"), c.cpus);
    EXPECT_EQ(fileIn(tree, dir + "cpuinfo_min_freq"), min);
    EXPECT_EQ(fileIn(tree, dir + "scaling_min_freq"), min);
    EXPECT_EQ(fileIn(tree, dir + "scaling_cur_freq"), min);
    EXPECT_EQ(fileIn(tree, dir + "cpuinfo_max_freq"), max);
    EXPECT_EQ(fileIn(tree, dir + "scaling_max_freq"), max);
    EXPECT_EQ(fileIn(tree, dir + "scaling_governor"), "schedutil\n");
    const std::string available = fileIn(tree, dir + "scaling_available_frequencies");
    EXPECT_EQ(available.substr(available.size() - 2), " \n");
    const auto freqs = sim::parseFrequencyList(available);
    ASSERT_TRUE(freqs.has_value()) << available;
    EXPECT_EQ(freqs->front(), c.minKHz);
    EXPECT_EQ(freqs->back(), c.maxKHz);
    EXPECT_GE(freqs->size(), 10u);
    EXPECT_LE(freqs->size(), 15u);
  }
  for (int cpu = 0; cpu < 8; ++cpu) {
    const std::string dir = "cpu" + std::to_string(cpu);
    EXPECT_EQ(tree.at(dir).kind, sim::TreeEntry::Kind::dir);
    EXPECT_EQ(fileIn(tree, dir + "/online"), "1\n");
    const sim::TreeEntry& link = tree.at(dir + "/cpufreq");
    EXPECT_EQ(link.kind, sim::TreeEntry::Kind::symlink);
    EXPECT_EQ(link.content, cpu < 4   ? "../cpufreq/policy0"
                            : cpu < 7 ? "../cpufreq/policy4"
                                      : "../cpufreq/policy7");
  }
  for (const char* name : {"online", "possible", "present"}) EXPECT_EQ(fileIn(tree, name), "0-7\n");
  EXPECT_EQ(fileIn(tree, "kernel_max"), "31\n");
  EXPECT_EQ(tree.at("cpuidle").kind, sim::TreeEntry::Kind::dir);
  EXPECT_EQ(tree.at("power").kind, sim::TreeEntry::Kind::dir);
  EXPECT_EQ(tree.count("cpu8"), 0u);
}

TEST(SimCpuTree, OtherCountsSplitIntoSensibleClusters) {
  const struct {
    int cpus;
    std::map<int, int> policySizes;  // first CPU -> CPUs in the cluster
    std::string present;
  } cases[] = {
      {1, {{0, 1}}, "0\n"},
      {4, {{0, 4}}, "0-3\n"},
      {5, {{0, 2}, {2, 2}, {4, 1}}, "0-4\n"},
      {6, {{0, 3}, {3, 2}, {5, 1}}, "0-5\n"},
      {64, {{0, 32}, {32, 31}, {63, 1}}, "0-63\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.cpus) + " CPUs");
    const auto tree = treeByPath(c.cpus);
    EXPECT_EQ(fileIn(tree, "present"), c.present);
    std::map<int, int> sizes;
    for (const auto& [path, entry] : tree) {
      if (entry.kind != sim::TreeEntry::Kind::symlink) continue;
      const int cpu = std::stoi(path.substr(3));
      const int policy = std::stoi(entry.content.substr(std::string("../cpufreq/policy").size()));
      ++sizes[policy];
      std::istringstream related(
          fileIn(tree, "cpufreq/policy" + std::to_string(policy) + "/related_cpus"));
      std::set<int> members;
      for (int member = 0; related >> member;) members.insert(member);
      EXPECT_EQ(members.count(cpu), 1u) << "cpu" << cpu << " is not in policy" << policy;
      EXPECT_EQ(*members.begin(), policy);
    }
    EXPECT_EQ(sizes, c.policySizes);
  }
}

TEST(SimCpuTree, FrequencyListsAsSysfsPrintsThem) {
  const struct {
    std::string text;
    std::optional<std::vector<int64_t>> freqs;
  } cases[] = {
      {"300000 403200 \n", std::vector<int64_t>{300000, 403200}},
      {"403200 300000 403200\n", std::vector<int64_t>{300000, 403200}},
      {"1804800", std::vector<int64_t>{1804800}},
      {"", std::nullopt},
      {" \n", std::nullopt},
      {"300000,403200\n", std::nullopt},
      {"0 300000\n", std::nullopt},
      {"-300000\n", std::nullopt},
      {"3000000000000000000000\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::parseFrequencyList(c.text), c.freqs) << c.text;
}

// Without a burst the index moves toward the target, by one or two steps,
// never past it; at the target it stays.
bool followsTarget(size_t before, size_t after, size_t target) {
  if (before == target) return after == before;
  if (before < target) return after > before && after <= target && after - before <= 2;
  return after < before && after >= target && before - after <= 2;
}

TEST(SimGovernor, WalkStaysInTheTableFollowsTheLoadAndMoves) {
  for (const size_t steps : {size_t{1}, size_t{2}, size_t{14}, size_t{15}}) {
    SCOPED_TRACE(std::to_string(steps) + " steps");
    uint64_t random = steps;
    sim::GovernorState state{500, steps / 2};
    std::set<size_t> visited;
    int ups = 0;
    int downs = 0;
    int bursts = 0;
    for (int i = 0; i < 3000; ++i) {
      const sim::GovernorState next = sim::governorStep(state, steps, sim::nextRandom(&random));
      ASSERT_LT(next.index, steps);
      ASSERT_GE(next.loadPerMille, 0);
      ASSERT_LE(next.loadPerMille, 1000);
      ASSERT_LE(std::abs(next.loadPerMille - state.loadPerMille), 150);
      const size_t target = sim::targetIndex(next.loadPerMille, steps);
      if (!followsTarget(state.index, next.index, target)) {
        ASSERT_EQ(next.index, steps - 1)
            << state.index << " -> " << next.index << " with target " << target;
        ++bursts;
      }
      ups += next.index > state.index;
      downs += next.index < state.index;
      visited.insert(next.index);
      state = next;
    }
    if (steps > 2) {
      EXPECT_GT(bursts, 0);
      EXPECT_GT(ups, 100);
      EXPECT_GT(downs, 100);
      EXPECT_EQ(visited.size(), steps);
    }
  }
}

TEST(SimGovernor, TargetSpansTheTable) {
  const struct {
    int load;
    size_t steps;
    size_t target;
  } cases[] = {{0, 15, 0},   {1000, 15, 14}, {500, 15, 7}, {0, 1, 0},
               {1000, 1, 0}, {499, 2, 0},    {500, 2, 1}};
  for (const auto& c : cases)
    EXPECT_EQ(sim::targetIndex(c.load, c.steps), c.target) << c.load << "/" << c.steps;
}

}  // namespace
