#pragma once

#include <optional>
#include <string>
#include <vector>

#include "recording.h"

// The report of one or more recordings: one HTML file that holds its
// scripts, its styles and its data, so that it opens with no network and
// nothing beside it. Pure, so that tests read every figure.
namespace perfprobe {

// A row of the summary table: one cell per recording, none where the
// recording holds no such value ("not recorded" on the page, never 0).
// Between two recordings (before and after a change), the change from the
// first to the second, and whether it is for the better.
struct SummaryRow {
  std::string group;  // "Frames", "CPU"
  std::string label;  // "FPS median"
  std::vector<std::optional<std::string>> cells;
  std::vector<std::optional<double>> values;
  std::optional<std::string> change;  // "+1.2", "-0.53 ms", "+4.0 pts"
  // The change is for the better (1: a higher frame rate, less jank), for
  // the worse (-1), or neither (0: a clock, or no change).
  int better = 0;
};
std::vector<SummaryRow> summaryRows(const std::vector<Recording>& recordings);

// Text as HTML shows it: & < > " and ' as entities.
std::string htmlEscaped(const std::string& text);

// The charts' data, as the page's script reads it: one JSON object.
std::string chartData(const std::vector<Recording>& recordings);

// The whole page. `generated` says when, in the page's footer.
std::string reportHtml(const std::vector<Recording>& recordings, const std::string& generated);

}  // namespace perfprobe
