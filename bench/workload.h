#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The work the benchmarks give the daemon: what a phone with a game in front
// would show it.
namespace workload {

// The package the collector is started for, and how many layers the listing
// holds in all and how many of them it selects.
constexpr char kPackage[] = "com.bench.game";
constexpr int kLayers = 40;
constexpr int kMatchingLayers = 8;
// Timing lines per latency output, as many as the collector keeps.
constexpr int kTimingLines = 129;

// A listing of `layers` distinct names, `matching` of which hold kPackage.
std::string listing(int layers, int matching);
// The names of the listing that hold kPackage, in listing order.
std::vector<std::string> matchingNames(int layers, int matching);
// The name of the system's i-th layer, one that no pattern of kPackage
// matches.
std::string systemLayerName(int i);

// A latency output: the refresh period line, then kTimingLines timing lines
// of `fps` frames per second, nanoseconds of uptime as a device prints them.
std::string latencyOutput(int fps);
// The frame rates of the matching layers; the highest is what GET_FPS gives.
int matchingLayerFps(int index);

// The compositor's time statistics as a phone with the game in front has
// gathered them for a while: the global part, then `layers` blocks, the
// most frames first, `matching` of them kPackage's (its SurfaceView at two
// rate pairs, then its other windows), five of each block's eight
// histograms spread over 14 buckets with counts of 3 to 6 digits, as hours
// of frames give (lines of some 650 bytes).
std::string timeStatsDump(int layers, int matching);
// The blocks of kPackage in the time statistics the benchmarks give.
constexpr int kTimeStatsMatching = 3;
// The name of the first block of kPackage in timeStatsDump: the layer the
// collector reports while no counter moves.
std::string timeStatsGameLayer();

// Frequencies in kHz, as scaling_cur_freq files hold them: "1804800\n".
std::vector<std::string> cpuFreqFiles(int cpus);

// A phone as GET_STATS reads it: 8 CPUs in three clusters, 40 thermal
// zones, an Adreno GPU, a battery, /proc/stat and /proc/meminfo of a phone's
// size, and, with appPid, the app's process among `otherProcesses` others.
// Paths are relative to the root the files are written under.
struct File {
  std::string path;
  std::string content;
};
std::vector<File> phoneFiles(int appPid, int otherProcesses);

// The files of phoneFiles that GET_STATS reads, in its order, the app's
// stat included while collecting. Every process's cmdline is read only in
// the first seconds it is seen, so it is not among them.
std::vector<std::string> statsReads(int appPid, bool collecting);

}  // namespace workload
