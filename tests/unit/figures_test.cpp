// The figures that sum a series up, as every summary takes them.
#include "figures.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "series.h"
#include "sources.h"

namespace {

using namespace perfprobe;
using fixture::RateSample;
using fixture::rateTable;
using Values = std::vector<Value>;

// The figure of the series `series` of the table's kind `kind` that the
// JSON summary names `key`, from the values as the kind shows them.
std::optional<double> keyed(const Table& t, size_t kind, size_t series, const std::string& key,
                            double intervalS) {
  const Kind& k = t.kinds.at(kind);
  for (const Figure& f : k.figures) {
    if (f.key == key) return figureOf(f, k.series.at(series).values, k.shownPer, intervalS);
  }
  ADD_FAILURE() << "no figure " << key;
  return std::nullopt;
}

constexpr size_t kFpsKind = 0;
constexpr size_t kCpuKind = 1;

TEST(ClientFigures, SummarizeTheFrameRateAndEveryCpu) {
  std::vector<RateSample> rows;
  // 20 samples with a rate: 10, 20, ..., 200 shuffled; one without.
  const int order[] = {7, 3, 19, 0, 12, 5, 16, 9, 1, 14, 18, 2, 11, 6, 15, 4, 13, 8, 17, 10};
  for (int i = 0; i < 20; ++i) {
    rows.push_back({i + 1.0, (order[i] + 1) * 10, {1000000, std::nullopt}});
  }
  rows.push_back({21, std::nullopt, {3000000, std::nullopt}});
  const Table s = rateTable(rows, 2);
  auto fps = [&](const char* key) { return keyed(s, kFpsKind, 0, key, 0.5); };
  auto cpu = [&](size_t i, const char* key) { return keyed(s, kCpuKind, i, key, 0.5); };
  EXPECT_EQ(s.size(), 21u);
  EXPECT_EQ(fps("samples"), 20.0);
  EXPECT_EQ(fps("min"), 10.0);
  EXPECT_EQ(fps("median"), 105.0);
  EXPECT_EQ(fps("mean"), 105.0);
  EXPECT_EQ(fps("p5"), 10.0);                // rank ceil(1.0) = 1
  EXPECT_EQ(fps("seconds_below_30"), 1.0);  // 10 and 20, half a second each
  ASSERT_EQ(s.kinds[kCpuKind].series.size(), 2u);
  EXPECT_DOUBLE_EQ(*cpu(0, "mean_mhz"), (20 * 1000.0 + 3000.0) / 21);
  EXPECT_EQ(cpu(0, "max_mhz"), 3000.0);
  EXPECT_EQ(cpu(1, "mean_mhz"), std::nullopt);
  EXPECT_EQ(cpu(1, "max_mhz"), std::nullopt);

  // The 5th percentile by nearest rank, and an odd count's median.
  std::vector<RateSample> more;
  for (int i = 1; i <= 41; ++i) more.push_back({double(i), i, {}});
  const Table m = rateTable(more, 0);
  EXPECT_EQ(keyed(m, kFpsKind, 0, "p5", 1.0), 3.0);  // ceil(41 * 0.05) = 3
  EXPECT_EQ(keyed(m, kFpsKind, 0, "median", 1.0), 21.0);
  EXPECT_EQ(keyed(m, kFpsKind, 0, "seconds_below_30", 1.0), 29.0);

  // Without a single rate: counts are 0, the rest is missing.
  const Table none = rateTable({{1, std::nullopt, {}}}, 1);
  EXPECT_EQ(keyed(none, kFpsKind, 0, "samples", 1.0), 0.0);
  EXPECT_EQ(keyed(none, kFpsKind, 0, "seconds_below_30", 1.0), 0.0);
  EXPECT_EQ(keyed(none, kFpsKind, 0, "min", 1.0), std::nullopt);
  EXPECT_EQ(keyed(none, kFpsKind, 0, "p5", 1.0), std::nullopt);
}

// 1 to n, the largest first.
Values upTo(int n) {
  Values values;
  for (int i = n; i >= 1; --i) values.push_back(i);
  return values;
}

TEST(ClientFigures, EachOfValuesAsShown) {
  const auto none = std::nullopt;
  Figure below{Figure::kSecondsBelow, "", ""};
  below.below = 30;
  const struct {
    std::string what;
    Figure figure;
    Values values;
    double shownPer;
    double intervalS;
    std::optional<double> value;
  } cases[] = {
      {"a count of the values there", {Figure::kCount, "", ""}, {1, none, 0, -2}, 1, 1, 3},
      {"a count of none", {Figure::kCount, "", ""}, {none}, 1, 1, 0},
      {"the smallest as shown", {Figure::kMin, "", ""}, {1500, none, 300}, 1000, 1, 0.3},
      {"the largest", {Figure::kMax, "", ""}, {-5, -2, none}, 1, 1, -2},
      {"an even count's median", {Figure::kMedian, "", ""}, {4, 1, 3, 2}, 1, 1, 2.5},
      {"the mean of the values there", {Figure::kMean, "", ""}, {1, none, 2}, 1, 1, 1.5},
      {"a mean of none", {Figure::kMean, "", ""}, {none, none}, 1, 1, none},
      // Nearest rank: ceil(n * 5 / 100), and never below the first.
      {"the 5th percentile of 20", {Figure::kP5, "", ""}, upTo(20), 1, 1, 1},
      {"the 5th percentile of 21", {Figure::kP5, "", ""}, upTo(21), 1, 1, 2},
      {"the 5th percentile of one", {Figure::kP5, "", ""}, {9}, 1, 1, 9},
      // Below, not at: each sample one interval.
      {"seconds below", below, {29.9, 30, 10, none}, 1, 2.5, 5},
      {"seconds below as shown", below, {29000, 31000}, 1000, 1, 1},
      // The first value less the last of those that are there.
      {"a drop", {Figure::kDrop, "", ""}, {none, 80, 79, 77, none}, 1, 1, 3},
      {"a rise is a negative drop", {Figure::kDrop, "", ""}, {50, 51}, 1, 1, -1},
      {"a drop of none", {Figure::kDrop, "", ""}, {none}, 1, 1, none},
      // A ratio needs its divisor.
      {"a ratio without a divisor", {Figure::kRatio, "", ""}, {1, 2}, 1, 1, none},
  };
  for (const auto& c : cases) {
    const auto value = figureOf(c.figure, c.values, c.shownPer, c.intervalS);
    if (c.value) {
      ASSERT_TRUE(value.has_value()) << c.what;
      EXPECT_DOUBLE_EQ(*value, *c.value) << c.what;
    } else {
      EXPECT_EQ(value, std::nullopt) << c.what;
    }
  }
}

// A count over the time of the samples that have both, as kept: the rate
// stays right when samples repeat or skip a window.
TEST(ClientFigures, ARatioIsOverTheSamplesThatHaveBoth) {
  const auto none = std::nullopt;
  Figure per10Min{Figure::kRatio, "", ""};
  per10Min.per = 600000;
  const struct {
    std::string what;
    Values counts;
    Values windowsMs;
    std::optional<double> value;
  } cases[] = {
      {"every sample", {1, 2, 3}, {1000, 1000, 1000}, 6.0 / 3000 * 600000},
      {"a count without a window", {1, 7, 3}, {1000, none, 1000}, 4.0 / 2000 * 600000},
      {"a window without a count", {1, none, 3}, {1000, 500, 1000}, 4.0 / 2000 * 600000},
      {"a divisor shorter than the values", {1, 2, 3}, {1000}, 600},
      {"no time at all", {1, 2}, {0, 0}, none},
      {"nothing in common", {1, none}, {none, 1000}, none},
  };
  for (const auto& c : cases) {
    const auto value = figureOf(per10Min, c.counts, 1000, 1, &c.windowsMs);
    if (c.value) {
      ASSERT_TRUE(value.has_value()) << c.what;
      EXPECT_DOUBLE_EQ(*value, *c.value) << c.what;
    } else {
      EXPECT_EQ(value, std::nullopt) << c.what;
    }
  }
}

// Which zone was the hottest: the first series that held the value, at the
// first sample that reached it.
TEST(ClientFigures, WhereTheValueWasFirstHeld) {
  const auto none = std::nullopt;
  const Values a = {40, 45, 50, 50};
  const Values b = {none, 44, 50, 49};
  const Values c = {39, 45, 48, 50};
  const Values kept = {none, 45000};
  const struct {
    std::string what;
    Values values;
    double shownPer;
    std::optional<double> value;
    std::vector<const Values*> others;
    std::optional<size_t> where;
  } cases[] = {
      {"the first of two that held it", {40, 45, 50, 50}, 1, 50, {&a, &b, &c}, 0},
      {"at the first sample that reached it", {40, 45, 50, 50}, 1, 45, {&b, &c}, 1},
      {"a value shown divided", {40000, 45000}, 1000, 45, {&b, &kept}, 1},
      {"none that held it", {41, 46}, 1, 46, {&a, &c}, none},
      {"no value", {40}, 1, none, {&a}, none},
      {"a value never reached", {40}, 1, 99, {&a}, none},
      {"no others", {40}, 1, 40, {}, none},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(whereOf(k.values, k.shownPer, k.value, k.others), k.where) << k.what;
  }
}

}  // namespace
