#include "series.h"

namespace perfprobe {

std::string liveHead(const Series& series) {
  return series.head.empty() ? series.name : series.head;
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
