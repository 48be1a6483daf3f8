#include "request.h"

#include <string.h>

#include "clock.h"
#include "cpuinfo/cpuinfo.h"
#include "fpsbench/fpsbench.h"
#include "protocol.h"
#include "stats/stats.h"
#include "trace.h"

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
  if (row == nullptr || !isLimited(*row) || request.size() >= kMaxRequestSize) return request;
  return request + std::string(kMaxRequestSize - request.size(), ' ');
}

std::optional<std::string> cutToFit(const std::string& reply, size_t budget) {
  if (reply.size() <= budget) return reply;
  size_t lines = 0;
  for (char c : reply) lines += c == '\n';
  // Whole lines from the start, while the rest's count still fits after them.
  size_t kept = 0, keptLines = 0;
  for (size_t end = reply.find('\n'); end != std::string::npos; end = reply.find('\n', end + 1)) {
    const std::string note = "truncated " + std::to_string(lines - keptLines - 1) + "\n";
    if (end + 1 + note.size() > budget) break;
    kept = end + 1;
    ++keptLines;
  }
  if (keptLines == 0) return std::nullopt;
  return reply.substr(0, kept) + "truncated " + std::to_string(lines - keptLines) + "\n";
}

std::optional<std::string> packageField(const std::string& text) {
  const size_t first = text.find_first_not_of(':');
  if (first == std::string::npos) return std::nullopt;
  const size_t firstEnd = text.find(':', first);
  if (firstEnd == std::string::npos) return std::nullopt;
  const size_t second = text.find_first_not_of(':', firstEnd);
  if (second == std::string::npos) return std::nullopt;
  return text.substr(second, text.find(':', second) - second);
}

std::string initializationReply(const std::string& recvStr) {
  initCPUInfo();
  if (const auto pacaagName = packageField(recvStr)) {
    trace("%s\n", pacaagName->c_str());
    startCollectFPS(*pacaagName);
  }
  return kSuccess;
}

std::string successReply(const std::string&) { return kSuccess; }

std::string cpuFreqReply(const std::string&) { return readCPUFreq(); }

std::string fpsReply(const std::string&) { return std::to_string(getFPS()); }

std::string frameStatsReply(const std::string&) { return getFrameStatsText(); }

std::string statsReply(const std::string&) {
  const Collection collection = currentCollection();
  return readStats("", collection.pattern, collection.id, monotonicNs());
}

std::string stopCollectReply(const std::string&) {
  stopFPSCollect();
  return kSuccess;
}

bool handleRequest(const char* buf, size_t len, uint32_t peer, std::string* reply) {
  const std::string recvStr = requestText(buf, len);
  const Request* request = findRequest(recvStr);
  if (request == nullptr) return false;
  *reply = request->action(recvStr);
  if (!isLimited(*request) || replyAllowed(peer, len, reply->size())) return true;
  if (len < kMaxRequestSize) return false;
  std::optional<std::string> cut = cutToFit(*reply, kAmplification * len);
  if (!cut) return false;
  *reply = std::move(*cut);
  return true;
}
