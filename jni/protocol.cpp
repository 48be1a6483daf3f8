#include "protocol.h"

#include <string.h>

std::string requestText(const char* buf, size_t len) {
  return std::string(buf, strnlen(buf, len));
}

const Request* findRequest(const std::string& text) {
  for (const Request& request : kRequests) {
    if (text.find(request.keyword) != std::string::npos) return &request;
  }
  return nullptr;
}

std::string paddedRequest(const std::string& request) {
  const Request* row = findRequest(requestText(request.data(), request.size()));
  if (row == nullptr || !row->limited || request.size() >= kMaxRequestSize) return request;
  return request + std::string(kMaxRequestSize - request.size(), ' ');
}

namespace {

std::string truncatedLine(size_t leftOut) {
  std::string line = kTruncated;
  line += ' ';
  line += std::to_string(leftOut);
  line += '\n';
  return line;
}

}  // namespace

std::optional<std::string> cutToFit(const std::string& reply, size_t budget) {
  if (reply.size() <= budget) return reply;
  size_t lines = 0;
  for (char c : reply) lines += c == '\n';
  // Whole lines from the start, while the rest's count still fits after them.
  size_t kept = 0, keptLines = 0;
  for (size_t end = reply.find('\n'); end != std::string::npos; end = reply.find('\n', end + 1)) {
    if (end + 1 + truncatedLine(lines - keptLines - 1).size() > budget) break;
    kept = end + 1;
    ++keptLines;
  }
  if (keptLines == 0) return std::nullopt;
  return reply.substr(0, kept) + truncatedLine(lines - keptLines);
}
