#pragma once

#include <stddef.h>

#include <sstream>
#include <string>
#include <string_view>

#include "fields.h"

namespace field_table {

// Why reply does not follow table, or "" when it does: every line is named
// by a field of the table, in the table's order (a family's lines one after
// another), every field is there, and a plain field once. A line that two
// families could name (cpu3_max_khz reads as an item of cpu_khz too) goes
// to the one that leaves the shorter item.
template <size_t N>
std::string whyNotInOrder(const std::string& reply, const field::Field* const (&table)[N]) {
  size_t at = 0;
  bool seen[N] = {};
  std::istringstream in(reply);
  std::string line;
  while (std::getline(in, line)) {
    const std::string name = line.substr(0, line.find(' '));
    size_t best = N, bestItem = 0;
    for (size_t i = 0; i < N; ++i) {
      const field::Field& f = *table[i];
      if (!f.family() && name == f.name && best == N) {
        best = i;
        bestItem = 0;
      } else if (f.family()) {
        const std::string_view item = field::itemOf(f, name);
        if (!item.empty() && (best == N || item.size() < bestItem)) {
          best = i;
          bestItem = item.size();
        }
      }
    }
    if (best == N) return "no field names the line \"" + line + "\"";
    if (best < at) return "\"" + line + "\" comes after a later field";
    if (!table[best]->family() && seen[best]) return "\"" + line + "\" is there twice";
    seen[best] = true;
    at = best;
  }
  for (size_t i = 0; i < N; ++i) {
    if (!seen[i]) return std::string("no line of ") + table[i]->name;
  }
  return "";
}

}  // namespace field_table
