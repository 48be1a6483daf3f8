#pragma once

#include <stddef.h>

#include <optional>
#include <string>

// The request keywords, in the order they are tested.
enum class Keyword {
  kInitialization,
  kConnectDaemon,
  kGetSimple,
  kGetFps,
  kStartCollect,
  kStopCollect,
  kNone,
};

// The request text: the received bytes up to the first zero byte, never
// beyond the len bytes received.
std::string requestText(const char* buf, size_t len);

// The first keyword of the table that occurs anywhere in text, case-sensitive.
Keyword findKeyword(const std::string& text);

// The package field of an INITIALIZATION request: its second ":"-separated
// field, split as strtok splits (runs of ":" count as one, empty fields do not
// exist), verbatim; none when the text has fewer than two fields.
std::optional<std::string> packageField(const std::string& text);

// Performs the action of one received datagram. Returns false when the
// request gets no reply; otherwise *reply holds the reply's bytes.
bool handleRequest(const char* buf, size_t len, std::string* reply);
