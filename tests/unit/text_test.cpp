// The text helpers that every output of the client is laid out with.
#include "text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace perfprobe;

TEST(ClientText, NumbersAsPrintfWritesThem) {
  const struct {
    std::string got;
    std::string want;
  } cases[] = {
      // Rounded as printf rounds the double it is given.
      {fixed(1785.6, 0), "1786"},
      {fixed(0.125, 2), "0.12"},
      {fixed(0.375, 2), "0.38"},
      {fixed(-0.04, 1), "-0.0"},
      {fixed(1e19, 0), "10000000000000000000"},
      {shown(std::nullopt, 2), "NA"},
      {shown(16.7, 2), "16.70"},
      {format("%g", 43.5), "43.5"},
      {format("%.0f", 2.5), "2"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ClientText, PadsAndLinesUpColumns) {
  EXPECT_EQ(pad("59", 6), "    59");
  EXPECT_EQ(pad("59", -6), "59    ");
  // Never cut: a longer text stays whole.
  EXPECT_EQ(pad("cluster0-1", 7), "cluster0-1");
  EXPECT_EQ(pad("", 0), "");
  // The first column left-aligned, the others right-aligned, two spaces
  // apart, without spaces at the end; a short row leaves its cells out.
  EXPECT_EQ(columns({{"cpu", "clock kHz", "load %"}, {"cpu10", "300000"}, {"x", "NA", "9.5"}},
                    "  "),
            "  cpu    clock kHz  load %\n"
            "  cpu10     300000\n"
            "  x             NA     9.5\n");
  EXPECT_EQ(columns({}, "  "), "");
}

TEST(ClientText, TellsPiecesOfText) {
  EXPECT_TRUE(startsWith("cpu0_khz", "cpu"));
  EXPECT_TRUE(startsWith("cpu", ""));
  EXPECT_FALSE(startsWith("cp", "cpu"));
  EXPECT_TRUE(endsWith("cpu0_khz", "_khz"));
  EXPECT_FALSE(endsWith("hz", "_khz"));
  EXPECT_TRUE(allDigits("0123"));
  EXPECT_FALSE(allDigits(""));
  EXPECT_FALSE(allDigits("-1"));
  EXPECT_FALSE(allDigits("1.0"));
  EXPECT_FALSE(allDigits(std::string("1\0", 2)));
  // A message quotes 60 bytes at most.
  EXPECT_EQ(excerpt(std::string(60, 'x')), std::string(60, 'x'));
  EXPECT_EQ(excerpt(std::string(61, 'x')), std::string(57, 'x') + "...");
}

}  // namespace
