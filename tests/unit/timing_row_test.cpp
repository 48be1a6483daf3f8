#include "fpsbench/timing_row.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "fpsbench/latency.h"

namespace {

using namespace std::string_literals;

constexpr char kPending[] = "9223372036854775807";

// The timing line's numbers are read as sscanf's "%lu %lu %lu" reads them:
// the library's own sscanf is the reference for every shape of line.
TEST(TimingLine, NumbersAreReadAsSscanfReadsThem) {
  const char* const lines[] = {
      "5000119356789\t5000123456789\t5000125756789\n",
      "1 2 3",
      "  \t\v\f\r1\n2\r3 trailing",
      "+1 +2 +3",
      "-1 -2 -3",
      "-0 1 2",
      "18446744073709551615 18446744073709551616 99999999999999999999999",
      "-18446744073709551615 -18446744073709551616 1",
      "9223372036854775807 9223372036854775808 0",
      // 19 digits, the most that cannot overflow, and 18 and 21 around it.
      "9999999999999999999 999999999999999999 100000000000000000000",
      "00000000000000000000000000000042 007 0",
      "1 2",
      "1",
      "",
      "\n",
      "x 1 2",
      "1 x 2",
      "1 2 x",
      "- 1 2",
      "+-1 2 3",
      "1- 2 3",
      "1-2-3",
      "1+2+3",
      "0x10 1 1",
      "1,2,3",
      "1.5 2 3",
      "\xb9 1 2",
      "1 \2402 3",  // 0xa0 (octal 240) just before the 2
      "12345678901234567890123456789012345678901234567890 1 1",
  };
  for (const char* line : lines) {
    unsigned long want[3] = {0, 0, 0};
    const int converted = sscanf(line, "%lu %lu %lu", &want[0], &want[1], &want[2]);
    uint64_t got[3] = {0, 0, 0};
    const char* p = line;
    int read = 0;
    while (read < 3 && scanTimingValue(&p, &got[read])) ++read;
    EXPECT_EQ(read, std::max(converted, 0)) << "\"" << line << "\"";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], want[i]) << "\"" << line << "\" value " << i;
    // The window keeps submitting when all three are there and not 0.
    LatencyWindow window;
    window.addOutputLine("16666666\n");
    window.addOutputLine(line);
    ASSERT_EQ(window.size(), 1u);
    EXPECT_EQ(window.submittingAt(0), want[0] != 0 && want[1] != 0 && want[2] != 0 ? want[1] : 0)
        << "\"" << line << "\"";
  }
}

TEST(TimingRow, ReadsThreeNumbersAndMarksPendingFrames) {
  const struct {
    std::string line;
    bool complete, started, ready, pending;
    uint64_t present;
  } cases[] = {
      {"1 2 3", true, true, true, false, 2},
      {"0\t0\t0", true, false, false, false, 0},
      {"1 2", false, true, false, false, 2},
      {"", false, false, false, false, 0},
      {"x 1 2", false, false, false, false, 0},
      {"1 "s + kPending + " 3", true, true, true, true, UINT64_C(9223372036854775807)},
      {kPending + " 2 3"s, true, true, true, true, 2},
      {"1 2 "s + kPending, true, true, true, true, 2},
      {"1 2 -"s + kPending, true, true, true, false, 2},
      {"1 2 92233720368547758070", true, true, true, false, 2},
      {"1 2 +0009223372036854775807", true, true, true, true, 2},
      {"1 2 3 trailing words", true, true, true, false, 2},
  };
  for (const auto& c : cases) {
    const TimingRow row = scanTimingRow(c.line.c_str());
    EXPECT_EQ(row.complete, c.complete) << c.line;
    EXPECT_EQ(row.startedNonZero, c.started) << c.line;
    EXPECT_EQ(row.readyNonZero, c.ready) << c.line;
    EXPECT_EQ(row.pending, c.pending) << c.line;
    EXPECT_EQ(row.present, c.present) << c.line;
  }
}

}  // namespace
