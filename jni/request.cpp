#include "request.h"

#include <string.h>

#include "cpuinfo/cpuinfo.h"
#include "fpsbench/fpsbench.h"
#include "protocol.h"
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

std::string stopCollectReply(const std::string&) {
  stopFPSCollect();
  return kSuccess;
}

bool handleRequest(const char* buf, size_t len, uint32_t peer, std::string* reply) {
  const std::string recvStr = requestText(buf, len);
  const Request* request = findRequest(recvStr);
  if (request == nullptr) return false;
  *reply = request->action(recvStr);
  return !isLimited(*request) || replyAllowed(peer, len, reply->size());
}
