#include "request.h"

#include <string.h>

#include "cpuinfo/cpuinfo.h"
#include "fpsbench/fpsbench.h"

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
      *reply = kSuccess;
      return true;
    case Keyword::kGetSimple:
      *reply = readCPUFreq();
      return true;
    case Keyword::kGetFps:
      *reply = std::to_string(getFPS());
      return true;
    case Keyword::kConnectDaemon:
    case Keyword::kStartCollect:
    case Keyword::kStopCollect:
      *reply = kSuccess;
      return true;
    case Keyword::kNone:
      break;
  }
  return false;
}
