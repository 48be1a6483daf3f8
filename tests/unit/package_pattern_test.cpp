#include "package_pattern.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>
#include <vector>

namespace {

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
