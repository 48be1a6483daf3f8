#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Latency outputs as a device prints them, for the dumpsys double's
// fixtures, the unit tests and the benchmarks alike.
namespace dumpsys_double {

// The refresh period line, then one timing line per frame, "desired
// actual ready" with the actual present time given (nanoseconds); a time of
// 0 gives "0\t0\t0", an empty slot. No blank line at the end.
inline std::string timingLines(const std::vector<uint64_t>& presentNs) {
  std::string out = "16666666\n";
  for (const uint64_t t : presentNs) {
    if (t == 0) {
      out += "0\t0\t0\n";
      continue;
    }
    out += std::to_string(t - 500) + "\t" + std::to_string(t) + "\t" + std::to_string(t + 700) + "\n";
  }
  return out;
}

// A frame in each given second (0: an empty slot), a microsecond apart
// within the second so that no two are alike.
inline std::vector<uint64_t> framesInSeconds(const std::vector<uint64_t>& seconds) {
  std::vector<uint64_t> times;
  uint64_t n = 0;
  for (const uint64_t second : seconds) {
    times.push_back(second == 0 ? 0 : second * 1000000000ull + (n++ % 1000) * 1000);
  }
  return times;
}

// A whole latency output, with the blank line a device ends it with.
inline std::string latencyOutput(const std::vector<uint64_t>& seconds) {
  return timingLines(framesInSeconds(seconds)) + "\n";
}

// A latency output of `fps` frames per second: fps + 1 lines in second 100
// after one in second 99, then a line in second 101.
inline std::string latencyAtRate(int fps) {
  std::vector<uint64_t> seconds = {99};
  seconds.insert(seconds.end(), static_cast<size_t>(fps) + 1, 100);
  seconds.push_back(101);
  return latencyOutput(seconds);
}

}  // namespace dumpsys_double
