#pragma once

#include <stdint.h>
#include <time.h>

// The monotonic clock in ns: the time of a tick, of a GET_STATS sample.
inline uint64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}
