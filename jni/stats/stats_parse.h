#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

#include "fields.h"

// Pure parsers and unit rules of the device statistics: each takes the bytes
// a kernel file gave and returns a value, or nothing when they hold none.

// A whole number alone in text: optional white space, an optional sign,
// decimal digits, optional white space (a trailing line feed included).
// Nothing for anything else, or beyond 18 digits.
std::optional<int64_t> parseInteger(std::string_view text);

// A busy share as the GPU drivers print it ("37 %", " 42%", "42"), in tenths
// of a percent; decimals beyond the first are dropped.
std::optional<int64_t> parsePercentTenths(std::string_view text);

// Adreno's gpubusy: busy and total counters ("  12345  100000"), as tenths of
// a percent, rounded half up. "0 0" is a powered-off GPU: 0. A busy count
// beyond the total reads as 100 %.
std::optional<int64_t> parseBusyCountersTenths(std::string_view text);

// A GPU clock in kHz from a raw value whose unit the driver chose: below
// 10000 it is MHz, below 10000000 kHz, above that Hz (GPU clocks lie between
// 100 MHz and a few GHz, so the ranges cannot meet). 0 stays 0, a GPU at
// rest; a negative value is no clock.
std::optional<int64_t> gpuClockKHz(int64_t raw);

// A thermal zone's temp in tenths of a degree Celsius: milli-degrees by the
// kernel's convention, but some drivers give tenths and some whole degrees,
// told apart by magnitude (above 1000: milli; above 150: tenths).
int64_t thermalTenths(int64_t raw);

// The name of a zone's line from its type, in *name, whose buffer is kept
// for the next zone's: field::kZoneTempC's prefix, TYPE with every byte
// outside [a-z0-9_] made '_' and the line feed that ends the file left out,
// and its suffix.
void zoneName(std::string_view type, std::string* name);

// Makes *name, a zone's name, unique among those already given: a repeated
// one gets "_2" before the family's suffix, then "_3" and on. taken(name)
// tells whether name was given.
template <typename Taken>
void makeZoneNameUnique(std::string* name, const Taken& taken) {
  if (!taken(*name)) return;
  const std::string_view suffix = field::kZoneTempC.suffix;
  const std::string stem = name->substr(0, name->size() - suffix.size());
  for (unsigned n = 2;; ++n) {
    *name = stem + "_" + std::to_string(n);
    *name += suffix;
    if (!taken(*name)) return;
  }
}

// One "cpu" line of /proc/stat: the busy and the total jiffies. Idle is idle
// plus iowait; the total is the first eight counters (guest time is already
// in user time). cpu is -1 for the aggregate line, N for "cpuN".
struct CpuTimes {
  uint64_t busy = 0;
  uint64_t total = 0;
};
bool parseCpuLine(std::string_view line, int* cpu, CpuTimes* times);

// The busy share of the time between two samples of one CPU, in tenths of
// a percent, rounded half up; nothing when no time passed or a counter went
// back (a core that went offline and came back may restart its counters).
std::optional<int64_t> loadTenths(const CpuTimes& before, const CpuTimes& after);

// A share of one core in tenths of a percent, rounded half up: busyNs of
// CPU time over elapsedNs; nothing when no time passed, or for a share too
// large to compute.
std::optional<int64_t> coreShareTenths(uint64_t busyNs, uint64_t elapsedNs);

// The CPUs of a cpufreq related_cpus or affected_cpus list ("0-3", "0 1 2 3",
// "4-6 7"): whether cpu is one of them.
bool cpuListHolds(std::string_view list, int cpu);

// The first number of such a list: the CPU a policy is named after.
std::optional<int> firstListedCpu(std::string_view list);

// The value of a "Key:   123 kB" line of /proc/meminfo or a status file.
std::optional<int64_t> keyedValue(std::string_view text, std::string_view key);

// What GET_STATS needs of /proc/PID/stat: the fields after the command name,
// which may hold spaces and parentheses, so they are found from its last ')'.
struct ProcessStat {
  uint64_t cpuTicks = 0;  // utime + stime
  int64_t threads = 0;
  uint64_t startTicks = 0;
  int64_t rssPages = 0;
};
std::optional<ProcessStat> parseProcessStat(std::string_view text);

// The battery as the power supply class gives it, raw; nothing where a file
// could not be read or held no number.
struct BatteryRaw {
  std::optional<int64_t> capacity;
  std::string status;  // without its line feed; empty when unread
  std::optional<int64_t> voltage;
  std::optional<int64_t> current;
  std::optional<int64_t> temp;
};

// The battery in the units of the reply.
struct Battery {
  std::optional<int64_t> mv;
  std::optional<int64_t> ma;
  std::optional<int64_t> mw;
};

// voltage_now is in µV by the documentation; a value below 100000 can only
// be mV (a cell sits near 4 V). current_now is in µA with + while charging,
// but some vendors give mA and some the opposite sign: a magnitude below
// 20000 is taken as mA (a phone in use draws well above 20 mA, and no phone
// draws 20 A), and the sign follows status, negative while discharging and
// positive while charging; any other status keeps the sign given. The power
// is their product, with the current's sign. Values round half away from 0.
Battery normalizeBattery(const BatteryRaw& raw);

// Tenths as the reply writes them: "31.2", "-0.5", "0.0".
std::string tenthsText(int64_t tenths);
