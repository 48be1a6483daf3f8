#pragma once

#include <regex.h>
#include <stddef.h>

#include <string>

// False for a pattern that one request could stall or exhaust the daemon
// with:
//  - a back-reference (\1 to \9, outside a bracket expression), which makes
//    the search exponential in the name's length;
//  - intervals (\{m,n\}) that make regcomp build more than
//    kMaxRepeatedNodes nodes beyond those the pattern spells out (a
//    character, a bracket expression, a "*" and a group are a node each), an
//    interval within the operand of another, a bound above 255, or an
//    interval that does not parse. regcomp builds one copy of an interval's
//    operand per count, so nested intervals grow its memory and time
//    exponentially, and every copy slows the search. Within these limits a
//    compile takes milliseconds, and the slowest search of a 1 kB name
//    found among random patterns is no slower than the slowest without any
//    interval (docs/RELIABILITY.md has the figures).
// Anything else, \{1\} or [\1] say, is left to regcomp.
constexpr size_t kMaxRepeatedNodes = 128;
bool patternIsSafe(const std::string& pattern);

// The package-name pattern of a collection: a POSIX basic regular
// expression, searched unanchored and case-sensitively, in layer names by
// the collector and in process names by GET_STATS. A pattern that does not
// compile, or is not safe to compile, matches no name.
//
// A pattern of ordinary characters and dots, as a package name is, is
// searched here instead, a dot matching any byte: regexec would find the
// same, at several times the cost, for every layer of every tick.
class PackagePattern {
 public:
  explicit PackagePattern(const std::string& pattern);
  ~PackagePattern();
  PackagePattern(const PackagePattern&) = delete;
  PackagePattern& operator=(const PackagePattern&) = delete;

  bool matches(const std::string& name) const;

 private:
  // Set for a pattern of ordinary characters and dots, which then needs no
  // regex_.
  const std::string dotted_;
  regex_t regex_;
  bool compiled_;
};
