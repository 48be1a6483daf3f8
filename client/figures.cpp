#include "figures.h"

#include <algorithm>

namespace perfprobe {

std::optional<double> figureOf(const Figure& f, const std::vector<Value>& values, double shownPer,
                               double intervalS, const std::vector<Value>* over) {
  if (f.what == Figure::kRatio) {
    if (over == nullptr) return std::nullopt;
    double sum = 0;
    double overSum = 0;
    for (size_t k = 0; k < values.size() && k < over->size(); ++k) {
      const Value v = values[k];
      const Value o = (*over)[k];
      if (!v || !o) continue;
      sum += *v;
      overSum += *o;
    }
    if (overSum <= 0) return std::nullopt;
    return sum / overSum * f.per;
  }
  std::vector<double> shown;
  for (const Value& v : values) {
    if (v) shown.push_back(*v / shownPer);
  }
  const size_t n = shown.size();
  if (f.what == Figure::kCount) return static_cast<double>(n);
  if (f.what == Figure::kSecondsBelow) {
    const auto below =
        std::count_if(shown.begin(), shown.end(), [&](double v) { return v < f.below; });
    return static_cast<double>(below) * intervalS;
  }
  if (n == 0) return std::nullopt;
  if (f.what == Figure::kDrop) return shown.front() - shown.back();
  if (f.what == Figure::kMean) {
    double sum = 0;
    for (double v : shown) sum += v;
    return sum / static_cast<double>(n);
  }
  std::sort(shown.begin(), shown.end());
  switch (f.what) {
    case Figure::kMin:
      return shown.front();
    case Figure::kMax:
      return shown.back();
    case Figure::kMedian:
      return n % 2 == 1 ? shown[n / 2] : (shown[n / 2 - 1] + shown[n / 2]) / 2.0;
    case Figure::kP5: {
      // Nearest rank: the smallest value that at least 5% of the samples
      // reach or go below.
      const size_t rank = (n * 5 + 99) / 100;
      return shown[std::max<size_t>(rank, 1) - 1];
    }
    default:
      return std::nullopt;
  }
}

std::optional<size_t> whereOf(const std::vector<Value>& values, double shownPer,
                              const std::optional<double>& value,
                              const std::vector<const std::vector<Value>*>& others) {
  if (!value) return std::nullopt;
  for (size_t k = 0; k < values.size(); ++k) {
    const Value v = values[k];
    if (!v || *v / shownPer != *value) continue;
    for (size_t i = 0; i < others.size(); ++i) {
      if (k < others[i]->size() && (*others[i])[k] == v) return i;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace perfprobe
