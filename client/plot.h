#pragma once

#include <string>

#include "series.h"

// The monitor's plot: gnuplot renders the table to a PNG.
namespace perfprobe {

// A gnuplot script that renders the data file (the CSV's columns, separated
// by spaces) to a PNG: one panel per panel of the kinds (kinds of one key
// share it), one above the other, sharing the time axis, in the order of
// their first kinds. A panel without a single value says so instead, since
// gnuplot refuses to plot it.
std::string plotScript(const std::string& dataPath, const std::string& pngPath,
                       const std::string& title, const Table& table);

// Renders the table to pngPath with gnuplot, which reads its script on
// standard input and the data from a temporary file; its messages go to
// our standard error. False, after saying so, when it could not.
bool renderPlot(const Table& table, const std::string& pngPath, const std::string& title);

}  // namespace perfprobe
