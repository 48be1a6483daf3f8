#include "request.h"

#include <iterator>
#include <string_view>

#include "clock.h"
#include "cpuinfo/cpuinfo.h"
#include "fpsbench/fpsbench.h"
#include "protocol.h"
#include "trace.h"

namespace {

// The action of each row of kRequests, in the table's order.
struct Action {
  const char* keyword;
  std::string (RequestHandler::*reply)(const std::string& recvStr);
};
constexpr Action kActions[] = {
    {kInitialization, &RequestHandler::initializationReply},
    {kConnectDaemon, &RequestHandler::successReply},
    {kGetSimple, &RequestHandler::cpuFreqReply},
    {kGetFps, &RequestHandler::fpsReply},
    {kStartCollect, &RequestHandler::successReply},
    {kStopCollect, &RequestHandler::stopCollectReply},
    {kGetFrameStats, &RequestHandler::frameStatsReply},
    {kGetStats, &RequestHandler::statsReply},
};

constexpr bool actionsFollowTheTable() {
  if (std::size(kActions) != std::size(kRequests)) return false;
  for (size_t i = 0; i < std::size(kRequests); ++i) {
    if (std::string_view(kActions[i].keyword) != kRequests[i].keyword) return false;
  }
  return true;
}
static_assert(actionsFollowTheTable(), "one action for each row of kRequests, in its order");

}  // namespace

std::optional<std::string> packageField(const std::string& text) {
  const size_t first = text.find_first_not_of(':');
  if (first == std::string::npos) return std::nullopt;
  const size_t firstEnd = text.find(':', first);
  if (firstEnd == std::string::npos) return std::nullopt;
  const size_t second = text.find_first_not_of(':', firstEnd);
  if (second == std::string::npos) return std::nullopt;
  return text.substr(second, text.find(':', second) - second);
}

std::string RequestHandler::initializationReply(const std::string& recvStr) {
  initCPUInfo();
  // pacaagName: the package field.
  if (const auto pacaagName = packageField(recvStr)) {
    trace("%s\n", pacaagName->c_str());
    startCollectFPS(*pacaagName);
  }
  return kSuccess;
}

std::string RequestHandler::successReply(const std::string&) { return kSuccess; }

std::string RequestHandler::cpuFreqReply(const std::string&) { return readCPUFreq(); }

std::string RequestHandler::fpsReply(const std::string&) { return std::to_string(getFPS()); }

std::string RequestHandler::frameStatsReply(const std::string&) { return getFrameStatsText(); }

std::string RequestHandler::statsReply(const std::string&) {
  const Collection collection = currentCollection();
  return deviceStats_.read(collection.pattern, collection.id, monotonicNs());
}

std::string RequestHandler::stopCollectReply(const std::string&) {
  stopFPSCollect();
  return kSuccess;
}

bool RequestHandler::handleRequest(const char* buf, size_t len, uint32_t peer,
                                   std::string* reply) {
  const std::string recvStr = requestText(buf, len);
  const Request* request = findRequest(recvStr);
  if (request == nullptr) return false;
  *reply = (this->*kActions[request - kRequests].reply)(recvStr);
  if (!request->limited || replyAllowed(peer, len, reply->size())) return true;
  if (len < kMaxRequestSize) return false;
  std::optional<std::string> cut = cutToFit(*reply, kAmplification * len);
  if (!cut) return false;
  *reply = std::move(*cut);
  return true;
}
