#include "package_pattern.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace {

// Where the bracket expression that opens at pattern[i] ends: the index
// after its closing "]", or the pattern's size when it has none. A "]" right
// after "[" or "[^" is an ordinary character, and so is a "]" within
// "[:...:]", "[=...=]" and "[.....]".
size_t bracketEnd(const std::string& pattern, size_t i) {
  ++i;
  if (i < pattern.size() && pattern[i] == '^') ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  while (i < pattern.size() && pattern[i] != ']') {
    const char c = pattern[i];
    if (c == '[' && i + 1 < pattern.size() &&
        (pattern[i + 1] == ':' || pattern[i + 1] == '=' || pattern[i + 1] == '.')) {
      const char close[] = {pattern[i + 1], ']', '\0'};
      const size_t end = pattern.find(close, i + 2);
      if (end == std::string::npos) return pattern.size();
      i = end + 2;
    } else {
      ++i;
    }
  }
  return std::min(i + 1, pattern.size());
}

// Reads "m\}", "m,\}" or "m,n\}" at pattern[*i]; the count of copies of the
// operand the interval asks for (an open one one more than its least), or -1.
long intervalCopies(const std::string& pattern, size_t* i) {
  constexpr long kMaxBound = 255;
  auto number = [&](long* value) {
    const size_t start = *i;
    *value = 0;
    while (*i < pattern.size() && pattern[*i] >= '0' && pattern[*i] <= '9') {
      *value = std::min(*value * 10 + (pattern[*i] - '0'), kMaxBound + 1);
      ++*i;
    }
    return *i > start;
  };
  long least = 0;
  if (!number(&least)) return -1;
  long most = least;
  if (*i < pattern.size() && pattern[*i] == ',') {
    ++*i;
    if (!number(&most)) most = least + 1;
  }
  if (pattern.compare(*i, 2, "\\}") != 0 || least > kMaxBound || most > kMaxBound) return -1;
  *i += 2;
  return std::max(std::max(least, most), 1L);
}

}  // namespace

bool patternIsSafe(const std::string& pattern) {
  // What regcomp builds, counted in its nodes: one per character, bracket
  // expression, "*" and group. Each open group has the nodes it holds so
  // far, and the last atom is what an interval would repeat.
  struct Group {
    size_t nodes = 0;
    size_t lastAtom = 0;
    bool lastAtomRepeats = false;
    bool holdsInterval = false;
  };
  std::vector<Group> groups(1);
  size_t repeated = 0;
  for (size_t i = 0; i < pattern.size();) {
    Group& g = groups.back();
    const char c = pattern[i];
    const bool escaped = c == '\\' && i + 1 < pattern.size();
    const char next = escaped ? pattern[i + 1] : '\0';
    if (escaped && next >= '1' && next <= '9') return false;
    if (escaped && next == '(') {
      groups.emplace_back();
      i += 2;
    } else if (escaped && next == ')' && groups.size() > 1) {
      const Group inner = groups.back();
      groups.pop_back();
      Group& outer = groups.back();
      outer.nodes += inner.nodes + 1;
      outer.lastAtom = inner.nodes + 1;
      outer.lastAtomRepeats = inner.holdsInterval;
      outer.holdsInterval = outer.holdsInterval || inner.holdsInterval;
      i += 2;
    } else if (escaped && next == '{') {
      i += 2;
      const long copies = intervalCopies(pattern, &i);
      // An interval within an interval multiplies what regcomp builds, and
      // with a "*" inside, its time: seven copies of seven copies of
      // \(\(a*\)*\) took it more than 20 seconds.
      if (copies < 0 || g.lastAtomRepeats) return false;
      const size_t more = g.lastAtom * static_cast<size_t>(copies - 1);
      repeated += more;
      if (repeated > kMaxRepeatedNodes) return false;
      g.nodes += more;
      g.lastAtom += more;
      g.lastAtomRepeats = true;
      g.holdsInterval = true;
    } else if (c == '*') {
      g.nodes += 1;
      g.lastAtom += 1;
      ++i;
    } else {
      i = c == '[' ? bracketEnd(pattern, i) : i + (escaped ? 2 : 1);
      g.nodes += 1;
      g.lastAtom = 1;
      g.lastAtomRepeats = false;
    }
  }
  return true;
}

namespace {

// Whether regcomp would read every byte of pattern as itself, but for dots.
// An empty pattern is left to regcomp, which does not compile it everywhere.
bool isDotted(const std::string& pattern) {
  return !pattern.empty() && pattern.find_first_of("[\\*^$") == std::string::npos;
}

// Where a dot matches any byte, a line feed too, as regexec's does without
// REG_NEWLINE; at holds a C string, so the search never meets a zero byte.
bool dottedAt(const std::string& pattern, const char* at) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '.' && pattern[i] != at[i]) return false;
  }
  return true;
}

}  // namespace

PackagePattern::PackagePattern(const std::string& pattern)
    : dotted_(isDotted(pattern) ? pattern : std::string()),
      compiled_(!dotted_.empty() || (patternIsSafe(pattern) && regcomp(&regex_, pattern.c_str(), 0) == 0)) {}

PackagePattern::~PackagePattern() {
  if (compiled_ && dotted_.empty()) regfree(&regex_);
}

bool PackagePattern::matches(const std::string& name) const {
  if (!compiled_) return false;
  if (!dotted_.empty()) {
    // The name as regexec would see it: up to its first zero byte.
    const size_t size = strlen(name.c_str());
    if (size < dotted_.size()) return false;
    const char* const last = name.data() + (size - dotted_.size());
    for (const char* at = name.data(); at <= last; ++at) {
      if (dottedAt(dotted_, at)) return true;
    }
    return false;
  }
  // Only "no match" rejects a name; an error of the search lets it through.
  regmatch_t match[1];
  return regexec(&regex_, name.c_str(), 1, match, 0) != REG_NOMATCH;
}
