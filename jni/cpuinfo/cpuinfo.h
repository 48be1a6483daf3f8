#pragma once

#include <string>
#include <vector>

// The kernel's CPU directories; each CPU's current frequency lives below it
// in "<cpu>/cpufreq/scaling_cur_freq".
extern const char kCpuDir[];

// Rebuilds the CPU list from cpuDir; called for every kInitialization request.
void initCPUInfo();
void initFreqInfo(const std::string& cpuDir = kCpuDir);

// One CPU's frequency as the kernel wrote it, without its final byte (the
// line feed), or "NA" when the file cannot be read.
std::string readEachCpuFreq(const std::string& fileName,
                            const std::string& cpuDir = kCpuDir);

// "cpuFreq:" and every listed CPU's value joined by ","; "cpuFreq" when no
// CPU is listed.
std::string readCPUFreq(const std::string& cpuDir = kCpuDir);

// The report text from the values in list order (allFreq), as readCPUFreq
// sends it.
std::string cpuFreqReport(const std::vector<std::string>& allFreq);
