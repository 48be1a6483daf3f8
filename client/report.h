#pragma once

#include <stddef.h>

#include <optional>
#include <nlohmann/json.hpp>
#include <string>

#include "series.h"

// What a monitor shows and leaves behind, from its table of series. Every
// writer loops over the kinds and their series and places each as its kind
// says. Pure, so that tests check every figure and every byte.
namespace perfprobe {

// The live table: a header once, then one line per sample (index k), each
// value of a live series as shown; the header ends with the shown units,
// "(MHz)".
std::string liveHeader(const Table& table);
std::string liveLine(const Table& table, size_t k);

// Shows on the live line only the series of the given CSV columns
// ("fps,cpu_load_pct", in any order; the time always shows). False, with
// the reason, for a name that is empty or no column's: the series stay.
bool chooseLive(Table& table, const std::string& columns, std::string* why);

// time_s and each series' column: missing values are "NA", never 0.
std::string csvHeader(const Table& table);
std::string csvRow(const Table& table, size_t k);

// One JSON object per line: {"time_s":..,"fps":..,"cpu_khz":[..]}, null for
// a missing value; the summary is a last line {"summary":{...}}.
// A value as the JSON lines write it: null when missing, an integer for a
// kind of whole numbers, else the digits of the CSV.
nlohmann::ordered_json jsonValue(const Value& value, int decimals);

std::string jsonSample(const Table& table, size_t k);
std::string jsonSummary(const Table& table, double intervalS);

// One figure of a series, from its values as shown; none when it has no
// value (a count and the seconds below are 0 then). A ratio divides by
// `over`, the series of the figure's column `over` (none without it), and
// is none when the samples that have both sum to no time.
std::optional<double> figure(const Kind& kind, const Series& series, const Figure& figure,
                             double intervalS, const Series* over = nullptr);

std::string summaryText(const Table& table, double intervalS);

// A gnuplot script that renders the data file (the CSV's columns, separated
// by spaces) to a PNG: one panel per drawn kind, one above the other,
// sharing the time axis. A panel without a single value says so instead, since gnuplot
// refuses to plot it.
std::string plotScript(const std::string& dataPath, const std::string& pngPath,
                       const std::string& title, const Table& table);

}  // namespace perfprobe
