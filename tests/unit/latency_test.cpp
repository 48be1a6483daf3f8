#include "fpsbench/latency.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dumpsys_double/latency.h"

namespace {

// A latency output without the blank line at its end, so that the window
// holds timing lines only: the refresh period line, then one timing line in
// each given second.
std::string latency(const std::vector<uint64_t>& seconds) {
  return dumpsys_double::timingLines(dumpsys_double::framesInSeconds(seconds));
}

std::vector<uint64_t> repeat(uint64_t second, size_t count) {
  return std::vector<uint64_t>(count, second);
}

std::vector<uint64_t> join(std::initializer_list<std::vector<uint64_t>> parts) {
  std::vector<uint64_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(LayerRate, CountsTheFirstWholeSecondOfTheNewest129Lines) {
  const std::string pending = "100 9223372036854775807 100\n";
  const struct {
    const char* what;
    std::string output;
    int fps;
  } cases[] = {
      {"100 opens, 101 is counted after its opening frame, 102 completes it",
       latency({100, 100, 101, 101, 101, 102}), 2},
      {"one second only", latency({100, 100, 100}), 0},
      {"two seconds only", latency({100, 100, 101, 101}), 0},
      {"a whole second of 60 frames", latency(join({{99}, repeat(100, 60), {101}})), 59},
      {"lines after the completed second do not count",
       latency(join({{99}, repeat(100, 10), repeat(101, 50), {102}})), 9},
      {"no timing line", "16666666\n", -1},
      {"no output at all", "", -1},
      {"only lines of zeros", "16666666\n0\t0\t0\n0\t0\t0\n", -1},
      {"a zero in any column ignores the line",
       "16666666\n1 100000000000 1\n0 100000000001 1\n1 101000000000 0\n"
       "1 101000000001 1\n1 102000000000 1\n",
       0},
      // Pending frames print INT64_MAX, which is a second like any other.
      {"a pending frame completes the second", latency({100, 100, 101, 101, 101}) + pending, 2},
      {"pending frames after a boundary",
       latency({100, 101, 101}) + pending + pending, 1},
      {"garbage and partial lines are ignored",
       "16666666\n1 100000000000 1\nfence\n1 100000000001 1\n\n1 2\n"
       "1 101000000000 1\nx 1 1\n1 101000000001 1\n1 101000000002 1\n 1 102000000000 1 junk\n",
       2},
      {"the first line is dropped even when it is a timing line",
       latency({99, 100, 100, 101, 101, 101, 102}).substr(9), 2},
      // 131 timing lines: the newest 129 give 29, the newest 130 would give
      // 0 and the newest 128 would give 49.
      {"the window is 129 lines",
       latency(join({repeat(50, 2), {60}, repeat(61, 30), repeat(62, 50), repeat(63, 48)})), 29},
      // A line of more than 1023 bytes arrives in two pieces, and both take a
      // place in the window: counted as one line, the window would still
      // hold second 50 and give 0.
      {"an overlong line is two lines",
       latency(join({{50}, {60}, repeat(61, 30), repeat(62, 50), repeat(63, 46)})) +
           std::string(1100, ' ') + "1 63000000000 1\n",
       29},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(layerRateFromOutput(c.output), c.fps) << c.what;
  }
}

TEST(LayerRate, SecondsAreTruncatedFromNanosecondsAsADouble) {
  // 100999999999 ns is second 100; 101000000000 ns is second 101.
  EXPECT_EQ(layerRateFromOutput("p\n1 100000000000 1\n1 100999999999 1\n1 101000000000 1\n"
                                "1 101500000000 1\n1 102000000000 1\n"),
            1);
}

TEST(LayerName, IsTheLineWithoutItsLastByte) {
  EXPECT_EQ(layerNameOf(FrameData{"com.example/Main#0\n"}), "com.example/Main#0");
  EXPECT_EQ(layerNameOf(FrameData{"no line feed"}), "no line fee");
  EXPECT_EQ(layerNameOf(FrameData{"\n"}), "");
  EXPECT_EQ(layerNameOf(FrameData{""}), "");
}

}  // namespace
