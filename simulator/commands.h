#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The commands of perfprobe-sim; each prints its own one-line error and
// returns the exit status.

// args: what follows "dumpsys".
int runDumpsys(const std::vector<std::string>& args);

int runAppStart(double agoSeconds);
int runAppStop();

int runCpuTree(const std::string& root, int cpus);
int runCpuWalk(const std::string& root, int intervalMs, double durationSeconds, uint64_t seed);
