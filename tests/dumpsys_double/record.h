#pragma once

#include <string>
#include <vector>

// The dumpsys double records each call as one line: its arguments, each
// hex-encoded (any byte, the empty argument included), separated by spaces.
// Layer fixtures are named by the hex of the layer name in the same way.
namespace dumpsys_double {

inline std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string unhex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

inline std::vector<std::string> parseRecord(const std::string& record) {
  std::vector<std::string> args;
  size_t start = 0;
  for (;;) {
    const size_t space = record.find(' ', start);
    args.push_back(unhex(record.substr(start, space - start)));
    if (space == std::string::npos) return args;
    start = space + 1;
  }
}

}  // namespace dumpsys_double
