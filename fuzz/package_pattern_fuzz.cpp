// The package pattern from a request against a layer name from a listing,
// both as hostile as they come: compiling and searching must end quickly,
// in bounded memory, whatever the bytes (libFuzzer's timeout and memory
// limit watch that). A pattern the daemon searches must match what regexec
// matches, a pattern without special characters must act as a plain
// substring search, and a refused pattern must match nothing.

#include <regex.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "package_pattern.h"
#include "protocol.h"

namespace {

// The request's text ends at its first zero byte and is at most
// kMaxRequestSize bytes;
// a layer name is a listing line without its line feed, at most 1022 bytes
// and without a zero byte.
constexpr size_t kMaxPattern = kMaxRequestSize;
constexpr size_t kMaxName = 1022;

bool plainText(const std::string& pattern) {
  return pattern.find_first_of(".[]*^$\\") == std::string::npos;
}

}  // namespace

// The input is the pattern, a line feed, then the layer name.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* lf = memchr(bytes, '\n', size);
  const size_t patternLen = lf ? static_cast<size_t>(static_cast<const char*>(lf) - bytes) : size;
  std::string pattern(bytes, patternLen);
  std::string name = lf ? std::string(bytes + patternLen + 1, size - patternLen - 1) : "";
  pattern = pattern.substr(0, std::min(pattern.find('\0'), kMaxPattern));
  name = name.substr(0, std::min(name.find('\0'), kMaxName));

  const PackagePattern compiled(pattern);
  const bool matches = compiled.matches(name);
  if (!patternIsSafe(pattern)) {
    FUZZ_CHECK(!matches, "refused pattern %s matched %s", fuzz::show(pattern).c_str(),
               fuzz::show(name).c_str());
  }
  // What the daemon finds is what regexec finds, for every pattern it
  // compiles or searches on its own.
  regex_t regex;
  if (patternIsSafe(pattern) && regcomp(&regex, pattern.c_str(), 0) == 0) {
    regmatch_t match[1];
    FUZZ_CHECK(matches == (regexec(&regex, name.c_str(), 1, match, 0) != REG_NOMATCH),
               "pattern %s against %s: got %d, regexec not", fuzz::show(pattern).c_str(), fuzz::show(name).c_str(),
               matches);
    regfree(&regex);
  }
  if (plainText(pattern)) {
    FUZZ_CHECK(matches == (name.find(pattern) != std::string::npos),
               "plain pattern %s against %s: got %d", fuzz::show(pattern).c_str(),
               fuzz::show(name).c_str(), matches);
  }
  return 0;
}
