#pragma once

#include <stddef.h>

#include <optional>
#include <string>
#include <vector>

#include "series.h"

// The figures that sum a series up: its count, minimum, median, mean, 5th
// percentile, maximum, seconds below a bound, drop, and a ratio to another
// series (a count per 10 minutes, a share of the time). The terminal's
// summary, the JSON summary and the HTML report all take them from here.
namespace perfprobe {

// One figure of values, as shown: each divided by shownPer. None when no
// value is there (a count and the seconds below are 0 then). A ratio
// divides by `over` (none without it), the values as kept of the samples
// that have both, and is none when they sum to no time. Each sample
// stands for intervalS seconds.
std::optional<double> figureOf(const Figure& figure, const std::vector<Value>& values,
                               double shownPer = 1, double intervalS = 1,
                               const std::vector<Value>* over = nullptr);

// Figure::where: the index, among `others`, of the first series whose value
// at the first sample where `values` (as shown) reached `value` equals
// that sample's value; none when none does.
std::optional<size_t> whereOf(const std::vector<Value>& values, double shownPer,
                              const std::optional<double>& value,
                              const std::vector<const std::vector<Value>*>& others);

}  // namespace perfprobe
