#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "replies.h"

// What a monitor shows and leaves behind, from its samples. Pure, so that
// tests check every figure and every byte.
namespace perfprobe {

struct Sample {
  double timeS = 0;             // since the collection started
  std::optional<int32_t> fps;   // none: no reply
  std::vector<Khz> cpus;        // by CPU number; none: "NA" or no reply
};

struct CpuFigures {
  std::optional<double> meanMhz;
  std::optional<double> maxMhz;
};

struct Summary {
  size_t samples = 0;
  size_t withFps = 0;
  std::optional<int32_t> minFps;
  std::optional<double> medianFps;
  std::optional<double> meanFps;
  std::optional<int32_t> p5Fps;  // nearest rank: the ceil(5% of n)-th lowest
  double secondsBelow30 = 0;     // samples below 30 FPS, each one interval long
  std::vector<CpuFigures> cpus;  // by CPU number
};

Summary summarize(const std::vector<Sample>& samples, size_t cpuCount, double intervalS);

// The live table: a header once, then one line per sample, CPU in MHz.
std::string liveHeader(size_t cpuCount);
std::string liveLine(const Sample& sample, size_t cpuCount);

// time_s,fps,cpu0_khz,...: missing values are "NA", never 0.
std::string csvHeader(size_t cpuCount);
std::string csvRow(const Sample& sample, size_t cpuCount);

// One JSON object per line: {"time_s":..,"fps":..,"cpu_khz":[..]}, null for
// a missing value; the summary is a last line {"summary":{...}}.
std::string jsonSample(const Sample& sample, size_t cpuCount);
std::string jsonSummary(const Summary& summary);

std::string summaryText(const Summary& summary);

// A gnuplot script that renders the data file (the CSV's columns, separated
// by spaces) to a PNG: frame rate above, CPU frequencies below. A panel
// without a single value says so instead, since gnuplot refuses to plot it.
std::string plotScript(const std::string& dataPath, const std::string& pngPath,
                       const std::string& title, const Summary& summary);

}  // namespace perfprobe
