#include "series.h"

#include <algorithm>

namespace perfprobe {

std::string liveHead(const Series& series) {
  return series.head.empty() ? series.name : series.head;
}

Value valueAt(const Series& series, size_t k) {
  return k < series.values.size() ? series.values[k] : std::nullopt;
}

bool anyValue(const Series& series) {
  return std::any_of(series.values.begin(), series.values.end(),
                     [](const Value& v) { return v.has_value(); });
}

std::optional<Located> locate(const Table& table, const std::string& name) {
  size_t col = 2;
  for (const Kind& kind : table.kinds) {
    for (const Series& series : kind.series) {
      if (series.name == name) return Located{&kind, &series, col};
      ++col;
    }
  }
  return std::nullopt;
}

std::optional<std::string> wordOf(const Kind& kind, const Value& value) {
  if (!value || *value < 0 || *value >= static_cast<double>(kind.words.size())) return std::nullopt;
  return kind.words[static_cast<size_t>(*value)];
}

bool wholeShown(const Kind& kind) { return kind.decimals == 0 && kind.shownPer == 1; }

void Table::append(double timeS, const std::vector<Value>& row) {
  timesS.push_back(timeS);
  size_t i = 0;
  for (Kind& kind : kinds) {
    for (Series& series : kind.series) {
      series.values.push_back(i < row.size() ? row[i] : std::nullopt);
      ++i;
    }
  }
}

}  // namespace perfprobe
