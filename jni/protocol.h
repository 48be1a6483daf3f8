#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

// The wire protocol of perfprobed, for the daemon, its client, the fuzz
// targets and the tests alike. A request is one UDP datagram of text; the
// first keyword of kRequests found anywhere in it decides what it does, and
// the daemon's action for it gives the reply, sent back as one datagram
// without a terminating zero byte. A datagram without a keyword gets no
// reply.

constexpr uint16_t kPort = 8080;

// The most of a datagram the daemon reads; a longer one is cut to this.
constexpr size_t kMaxRequestSize = 1024;

constexpr char kSuccess[] = "success";

// The keywords a client sends by name.
constexpr char kInitialization[] = "INITIALIZATION";
constexpr char kConnectDaemon[] = "CONNECT_DAEMON";
constexpr char kGetSimple[] = "GET_SIMPLE";
constexpr char kGetFps[] = "GET_FPS";
constexpr char kStartCollect[] = "START_COLLECT";
constexpr char kStopCollect[] = "STOP_COLLECT";
constexpr char kGetFrameStats[] = "GET_FRAMESTATS";
constexpr char kGetStats[] = "GET_STATS";

struct Request {
  const char* keyword;
  // Whether a peer beyond loopback gets its reply only as replyAllowed
  // allows, cut to fit (cutToFit) when the request asked for the most.
  bool limited;
};

// In the order they are tested: a text that holds several keywords is the
// first of them here.
inline constexpr Request kRequests[] = {
    {kInitialization, false}, {kConnectDaemon, false}, {kGetSimple, false},
    {kGetFps, false},         {kStartCollect, false},  {kStopCollect, false},
    {kGetFrameStats, true},   {kGetStats, true},
};

// A keyword that held another would be taken for the earlier one, or hide
// the later one, wherever it was sent.
constexpr bool keywordsHoldNoOther() {
  for (const Request& a : kRequests) {
    for (const Request& b : kRequests) {
      if (&a != &b && std::string_view(a.keyword).find(b.keyword) != std::string_view::npos) {
        return false;
      }
    }
  }
  return true;
}
static_assert(keywordsHoldNoOther(), "no keyword may contain another");

// The request text: the received bytes up to the first zero byte, never
// beyond the len bytes received.
std::string requestText(const char* buf, size_t len);

// The row whose keyword occurs first in the table's order anywhere in text
// (case-sensitive, a plain substring search), or null.
const Request* findRequest(const std::string& text);

// Large replies could turn the daemon into an amplifier: a forged source
// address draws a reply many times the request's size onto a third party.
// So, as QUIC limits a server before the peer's address is proven, a peer
// outside loopback gets at most kAmplification times the bytes it sent, and
// nothing for a shorter request.
constexpr size_t kAmplification = 3;
// peer is the IPv4 address in host byte order; 127.0.0.0/8 is loopback.
constexpr bool replyAllowed(uint32_t peer, size_t requestSize, size_t replySize) {
  return peer >> 24 == 127 || replySize <= kAmplification * requestSize;
}

// The word of the line that ends a reply cut to fit: "truncated N".
constexpr char kTruncated[] = "truncated";

// A request of kMaxRequestSize bytes asks for as much as a distant peer may
// be sent. A limited reply of lines too long for it keeps the whole lines
// that fit, followed by kTruncated, a space, N and a line feed for the N
// lines it left out; nullopt when not even one line fits beside that.
std::optional<std::string> cutToFit(const std::string& reply, size_t budget);

// request with trailing spaces up to kMaxRequestSize, when its keyword's
// reply is limited: the largest reply it may then draw from afar is
// kAmplification * kMaxRequestSize bytes.
std::string paddedRequest(const std::string& request);
