#include "text.h"

#include <stdio.h>

#include <algorithm>

namespace perfprobe {

std::string format(const char* fmt, double value) {
  char buf[512];
  snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

std::string fixed(double value, int decimals) {
  char buf[512];
  snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string shown(const std::optional<double>& value, int decimals) {
  return value ? fixed(*value, decimals) : "NA";
}

std::string pad(const std::string& text, int width) {
  const size_t n = static_cast<size_t>(width < 0 ? -width : width);
  if (text.size() >= n) return text;
  const std::string fill(n - text.size(), ' ');
  return width < 0 ? text + fill : fill + text;
}

std::string columns(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size());
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line = indent;
    for (size_t i = 0; i < row.size(); ++i) {
      const int width = static_cast<int>(widths[i]);
      line += i == 0 ? pad(row[i], -width) : "  " + pad(row[i], width);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string excerpt(const std::string& text) {
  return text.size() <= 60 ? text : text.substr(0, 57) + "...";
}

}  // namespace perfprobe
