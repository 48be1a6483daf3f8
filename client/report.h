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
// (comma-separated, in any order; the time always shows). False, with
// the reason, for a name that is empty or no column's: the series stay.
bool chooseLive(Table& table, const std::string& columns, std::string* why);

// time_s and each series' column: missing values are "NA", never 0.
std::string csvHeader(const Table& table);
std::string csvRow(const Table& table, size_t k);

// One JSON object per line: {"time_s":..,COLUMN:..,GROUP:[..]}, null for
// a missing value; the summary is a last line {"summary":{...}}.
// A value as the JSON lines write it: null when missing, an integer for a
// kind of whole numbers, else the digits of the CSV.
nlohmann::ordered_json jsonValue(const Value& value, int decimals);
// A value of the kind as the JSON lines and the recording write it: the
// word of a kind of words, as jsonValue otherwise.
nlohmann::ordered_json jsonValue(const Kind& kind, const Value& value);

std::string jsonSample(const Table& table, size_t k);
std::string jsonSummary(const Table& table, double intervalS);

// One figure of a series of the kind (figures.h), divided by `over`, the
// series of the figure's column `over`, for a ratio.
std::optional<double> figure(const Kind& kind, const Series& series, const Figure& figure,
                             double intervalS, const Series* over = nullptr);

std::string summaryText(const Table& table, double intervalS);

}  // namespace perfprobe
