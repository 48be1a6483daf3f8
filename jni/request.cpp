#include "request.h"

#include <string.h>

#include "cpuinfo/cpuinfo.h"
#include "fpsbench/fpsbench.h"
#include "trace.h"

namespace {

struct KeywordEntry {
  const char* text;
  Keyword keyword;
};

// Order matters: a request holding several keywords is the first one here.
constexpr KeywordEntry kKeywords[] = {
    {"INITIALIZATION", Keyword::kInitialization},
    {"CONNECT_DAEMON", Keyword::kConnectDaemon},
    {"GET_SIMPLE", Keyword::kGetSimple},
    {"GET_FPS", Keyword::kGetFps},
    {"START_COLLECT", Keyword::kStartCollect},
    {"STOP_COLLECT", Keyword::kStopCollect},
};

constexpr char kSuccess[] = "success";

}  // namespace

std::string requestText(const char* buf, size_t len) {
  return std::string(buf, strnlen(buf, len));
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

Keyword findKeyword(const std::string& text) {
  for (const KeywordEntry& entry : kKeywords) {
    if (text.find(entry.text) != std::string::npos) return entry.keyword;
  }
  return Keyword::kNone;
}

bool handleRequest(const char* buf, size_t len, std::string* reply) {
  const std::string recvStr = requestText(buf, len);
  switch (findKeyword(recvStr)) {
    case Keyword::kInitialization:
      initCPUInfo();
      if (const auto pacaagName = packageField(recvStr)) {
        trace("%s\n", pacaagName->c_str());
        startCollectFPS(*pacaagName);
      }
      *reply = kSuccess;
      return true;
    case Keyword::kGetSimple:
      *reply = readCPUFreq();
      return true;
    case Keyword::kGetFps:
      *reply = std::to_string(getFPS());
      return true;
    case Keyword::kStopCollect:
      stopFPSCollect();
      *reply = kSuccess;
      return true;
    case Keyword::kConnectDaemon:
    case Keyword::kStartCollect:
      *reply = kSuccess;
      return true;
    case Keyword::kNone:
      break;
  }
  return false;
}
