#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dumpsys_double/latency.h"
#include "fpsbench/parse.h"

namespace {

using namespace std::string_literals;

std::vector<std::string> namesOf(const std::vector<FrameData>& list) {
  std::vector<std::string> names;
  for (const FrameData& frameData : list) {
    EXPECT_EQ(frameData.timeStamp, 0u);
    EXPECT_EQ(frameData.lastTimeStamp, 0u);
    names.push_back(frameData.name);
  }
  return names;
}

TEST(LayerList, OneEntryPerDistinctLineInOrderOfFirstAppearance) {
  const std::string longName(1500, 'x');
  const struct {
    std::string listing;
    std::vector<std::string> names;
  } cases[] = {
      {"", {}},
      {"a\nb\na\nc\nb\n", {"a\n", "b\n", "c\n"}},
      // Exact bytes: a trailing space or a carriage return makes another name.
      {"a\na \na\r\n", {"a\n", "a \n", "a\r\n"}},
      // The last line may lack its line feed, and is then not the same line.
      {"a\nb\na", {"a\n", "b\n", "a"}},
      {"a\n\n\n", {"a\n", "\n"}},
      // fgets pieces: 1023 bytes, then the rest of the line; a repeat of the
      // long line repeats both pieces.
      {longName + "\n" + longName + "\n",
       {std::string(1023, 'x'), std::string(477, 'x') + "\n"}},
      // A line is a C string: it ends at its first zero byte.
      {"ab\0cd\nab\n"s, {"ab", "ab\n"}},
      {"\0\n"s, {""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(namesOf(layerListFromOutput(c.listing)), c.names) << "listing: " << c.listing;
  }
}

TEST(LayerList, BuilderStartsAfreshAfterClear) {
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  builder.add("a\n", 2);
  builder.add("a\n", 2);
  builder.clear();
  builder.add("a\n", 2);
  builder.add("b\n", 2);
  EXPECT_EQ(namesOf(list), (std::vector<std::string>{"a\n", "b\n"}));
}

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

// A pattern of ordinary characters and dots is searched without regexec,
// and must find what regexec finds.
TEST(PackagePattern, DottedPatternsFindWhatRegexecFinds) {
  const std::vector<std::string> patterns = {
      "com.example.app", "com.example.ap", ".", "..", "a.c", "#0", "app#", "\xff.", " ", "x.y.z.",
      "SurfaceView - com.example.app/com.example.app.Main#0", "e.a", ".app", "app.", "com.example.app/.",
  };
  const std::vector<std::string> names = {
      "SurfaceView - com.example.app/com.example.app.Main#0", "comXexampleYapp", "com.example.ap", "", "a",
      "abc", "a\xff\x01c", "\xff\xfe", "app#1", "x y z ", "ends with app", "com.example.app/", "\r\t",
      "com.example.app" + std::string(1000, '.'),
  };
  for (const std::string& pattern : patterns) {
    const PackagePattern dotted(pattern);
    regex_t regex;
    ASSERT_EQ(regcomp(&regex, pattern.c_str(), 0), 0) << pattern;
    for (const std::string& name : names) {
      regmatch_t match[1];
      EXPECT_EQ(dotted.matches(name), regexec(&regex, name.c_str(), 1, match, 0) == 0)
          << "pattern \"" << pattern << "\", layer \"" << name << "\"";
    }
    regfree(&regex);
  }
}

TEST(PackagePattern, IsAnUnanchoredCaseSensitiveBasicRegex) {
  const struct {
    std::string pattern;
    std::string layerName;
    bool matches;
  } cases[] = {
      {"com.example.app", "SurfaceView - com.example.app/com.example.app.Main#0", true},
      {"com.example.app", "comXexampleYapp", true},
      {"com.example.app", "com.example.ap", false},
      {"com.example.app", "COM.EXAMPLE.APP", false},
      {"^Surface", "SurfaceView", true},
      {"^View", "SurfaceView", false},
      {"a{2}", "baab", false},
      {"a{2}", "a{2}", true},
      {"x", "", false},
      {"x*", "", true},
      // Patterns that do not compile match nothing, not even themselves.
      {"a[", "a[", false},
      {"\\(", "(", false},
      {"a\\", "a\\", false},
      // Intervals within the limit work as intervals.
      {"a\\{2\\}", "baab", true},
      {"a\\{2\\}", "bab", false},
      {"L\\{1\\}", "SurfaceView - L#0", true},
      {"ba\\{1,\\}b", "xbaaab", true},
      {"a\\{0,129\\}b", "b", true},
      {"\\(\\(a*\\)*\\)\\{0,26\\}b", "aab", true},
      // Within brackets a backslash is an ordinary character.
      {"L[\\1]", "L1", true},
      {"L[\\1]", "L\\", true},
      {"L[\\1]", "L2", false},
      {"[]\\1]x", "]x", true},
      {"[[:alpha:]\\1]x", "\\x", true},
      // Back-references, and intervals beyond the limit, are refused: they
      // would let one request stall the search or exhaust regcomp.
      {"\\(ab\\)\\1", "abab", false},
      {"\\(a\\)[\\1]\\1", "a1a", false},
      {"[[:alpha:]]\\(a\\)\\1", "xaa", false},
      {"a\\{0,32767\\}", "a", false},
      {"a\\{256\\}", "a", false},
      {"a\\{0,130\\}", "a", false},
      {"a\\{0,100\\}a\\{0,31\\}", "a", false},
      {"\\(\\(a*\\)*\\)\\{0,27\\}b", "aab", false},
      {"\\(a\\{1,2\\}\\)\\{1,2\\}", "aa", false},
      {"\\(\\(\\(a*\\)*\\)\\{0,7\\}\\)\\{0,7\\}b", "aab", false},
      {"\\(a\\{0,32767\\}\\)\\{0,32767\\}", "a", false},
      {"a\\{1", "a{1", false},
      {"a\\{x\\}", "a{x}", false},
      // Other escapes stay what they are.
      {"com\\.example", "com.example.app", true},
      {"com\\.example", "comXexample", false},
      {"a\\\\1", "a\\1", true},
      // A line feed in the pattern (a request's trailing one) never matches a
      // layer name, which has lost its own.
      {"com.example.app\n", "com.example.app", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PackagePattern(c.pattern).matches(c.layerName), c.matches)
        << "pattern \"" << c.pattern << "\", layer \"" << c.layerName << "\"";
  }
}

}  // namespace
