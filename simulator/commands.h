#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

// The commands of perfprobe-sim; each prints its own one-line error and
// returns the exit status.

// args: what follows "dumpsys".
int runDumpsys(const std::vector<std::string>& args);

// process: also start the app's process (app_process.h).
// vsyncNs > 0 moves the start to afterVsyncNs past the latest multiple of
// vsyncNs at or before it.
int runAppStart(double agoSeconds, bool process, int64_t vsyncNs, int64_t afterVsyncNs);
int runAppStop();

// Resets the compositor's layer time statistics now, as the statistics
// service's pull does.
int runTimeStatsReset();

int runCpuTree(const std::string& root, int cpus);
int runCpuWalk(const std::string& root, int intervalMs, double durationSeconds, uint64_t seed);

int runDeviceTree(const std::string& root, int cpus);
// seed: the CPU loads' noise; device.conf's seed when none is given.
int runDeviceWalk(const std::string& root, int intervalMs, double durationSeconds,
                  std::optional<uint64_t> seed);

// Shared by the commands.
int fail(const std::string& message);
std::string errnoText(const std::string& what);
int64_t monotonicNs();
// PERFPROBE_SIM_DIR, or "" when it is unset or empty.
std::string stateDir();
