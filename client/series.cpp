#include "series.h"

#include <ctype.h>

namespace perfprobe {

std::string column(const Kind& kind, const Series& series) {
  if (kind.unit.empty()) return series.name;
  std::string name = series.name + "_";
  for (char c : kind.unit) name += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string liveHead(const Kind& kind, const Series& series) {
  return kind.shownUnit.empty() ? column(kind, series) : series.name;
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
