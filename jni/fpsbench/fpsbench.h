#pragma once

#include <stdint.h>

#include <string>

class PackagePattern;

// The collector thread's name, as /proc/PID/task/TID/comm shows it.
constexpr char kCollectorThreadName[] = "fpsbench";

// Starts the 1-second collector for packageName, a POSIX basic regular
// expression searched in every layer name, unless a collector already runs:
// then nothing changes, not even the pattern. Always returns 0.
int startCollectFPS(std::string packageName);

// Stops the running collector, if any, without waiting for it: once this
// returns, no tick publishes a rate. The collector then kills and reaps its
// command, closes what it holds and ends on its own.
void stopFPSCollect();

// The GET_FRAMESTATS reply: the frame statistics of the last completed tick;
// before the first, a collection's state with every figure unknown; while
// no collection runs, the idle state.
std::string getFrameStatsText();

// The running collection, for the server thread that owns it: its package
// pattern, and a number no earlier collection had. Null pattern while idle.
struct Collection {
  const PackagePattern* pattern = nullptr;
  uint64_t id = 0;
};
Collection currentCollection();

// The rate published by the last completed tick: the highest rate among the
// matching layers, or 0. A stop leaves it as it was.
int getFPS();
