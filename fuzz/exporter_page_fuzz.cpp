// The exporter's page over any reply a device may send:
//
// - nothing may crash, read out of bounds, leak or overflow (UBSan);
// - every line of the page is a HELP or TYPE comment or a sample
//   `name{device="…",…} value` whose value reads back as a number, and every
//   label value is escaped (no raw line feed, quote or lone backslash);
// - each family is typed once.

#include <stdlib.h>

#include <set>
#include <sstream>
#include <string>

#include "device_stats.h"
#include "fuzz_common.h"
#include "metrics.h"
#include "replies.h"

namespace {

// Label values from the first '{' to the matching '}', honouring escapes.
bool labelsWellFormed(const std::string& line, size_t* end) {
  size_t i = line.find('{');
  if (i == std::string::npos) return false;
  ++i;
  for (;;) {
    const size_t eq = line.find("=\"", i);
    if (eq == std::string::npos) return false;
    i = eq + 2;
    for (;; ++i) {
      if (i >= line.size()) return false;
      if (line[i] == '\\') {
        if (i + 1 >= line.size()) return false;
        const char e = line[i + 1];
        if (e != '\\' && e != '"' && e != 'n') return false;
        ++i;
        continue;
      }
      if (line[i] == '"') break;
    }
    ++i;
    if (i < line.size() && line[i] == ',') {
      ++i;
      continue;
    }
    if (i < line.size() && line[i] == '}') {
      *end = i + 1;
      return true;
    }
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  perfprobe::Samples samples;
  const std::string label = perfprobe::deviceLabel(reply.substr(0, 12));
  perfprobe::renderRequests(label, true, perfprobe::RequestCounts(), &samples);
  if (const auto stats = perfprobe::parseDeviceStats(reply)) {
    perfprobe::renderStats(label, *stats, &samples);
  }
  if (const auto frames = perfprobe::parseFrameStats(reply)) {
    perfprobe::renderFrames(label, *frames, &samples);
  }
  const std::string page = perfprobe::exposition({&samples});
  std::istringstream in(page);
  std::string line;
  std::set<std::string> typed;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (line.rfind("# TYPE ", 0) == 0) {
      FUZZ_CHECK(typed.insert(line).second, "typed twice: %s", line.c_str());
      continue;
    }
    size_t end = 0;
    FUZZ_CHECK(line.rfind("perfprobe_", 0) == 0 && labelsWellFormed(line, &end),
               "a bad sample line %s from %s", fuzz::show(line).c_str(),
               fuzz::show(reply).c_str());
    FUZZ_CHECK(end < line.size() && line[end] == ' ', "no value in %s", fuzz::show(line).c_str());
    const std::string value = line.substr(end + 1);
    char* stop = nullptr;
    strtod(value.c_str(), &stop);
    FUZZ_CHECK(!value.empty() && *stop == '\0', "value %s in %s", fuzz::show(value).c_str(),
               fuzz::show(reply).c_str());
  }
  return 0;
}
