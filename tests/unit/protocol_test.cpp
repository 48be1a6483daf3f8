#include "protocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <optional>
#include <string>

namespace {

using namespace std::string_literals;

std::string keywordIn(const std::string& text) {
  const Request* request = findRequest(text);
  return request != nullptr ? request->keyword : "none";
}

TEST(FindRequest, FirstKeywordOfTheTableWins) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"INITIALIZATION", "INITIALIZATION"},
      {"INITIALIZATION:com.example.app", "INITIALIZATION"},
      {"CONNECT_DAEMON", "CONNECT_DAEMON"},
      {"GET_SIMPLE", "GET_SIMPLE"},
      {"GET_FPS", "GET_FPS"},
      {"START_COLLECT", "START_COLLECT"},
      {"STOP_COLLECT", "STOP_COLLECT"},
      // Anywhere in the text, no separators needed.
      {"xxCONNECT_DAEMONyy", "CONNECT_DAEMON"},
      {"\n\tGET_FPS\n", "GET_FPS"},
      // Several keywords: the table's order decides, not the text's.
      {"GET_FPS GET_SIMPLE", "GET_SIMPLE"},
      {"GET_SIMPLEGET_FPS", "GET_SIMPLE"},
      {"STOP_COLLECT INITIALIZATION", "INITIALIZATION"},
      {"START_COLLECTCONNECT_DAEMON", "CONNECT_DAEMON"},
      {"STOP_COLLECT START_COLLECT", "START_COLLECT"},
      {"GET_FPSINITIALIZATION", "INITIALIZATION"},
      // Case-sensitive, contiguous, whole.
      {"get_simple", "none"},
      {"Connect_Daemon", "none"},
      {"GET_ SIMPLE", "none"},
      {"GET_FP", "none"},
      {"INITIALISATION", "none"},
      {"", "none"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keywordIn(c.text), c.expected) << "text: " << c.text;
  }
}

TEST(RequestText, EndsAtFirstZeroByteAndNeverPastTheReceivedBytes) {
  const std::string withZero = "GET_FPS\0CONNECT_DAEMON"s;
  EXPECT_EQ(requestText(withZero.data(), withZero.size()), "GET_FPS");
  EXPECT_EQ(keywordIn(requestText(withZero.data(), withZero.size())), "GET_FPS");

  const std::string leadingZero = "\0CONNECT_DAEMON"s;
  EXPECT_EQ(requestText(leadingZero.data(), leadingZero.size()), "");

  // A full buffer has no zero byte: the text is exactly the received bytes.
  const char full[8] = {'G', 'E', 'T', '_', 'F', 'P', 'S', 'x'};
  EXPECT_EQ(requestText(full, sizeof full), "GET_FPSx");
  EXPECT_EQ(requestText(full, 5), "GET_F");
  EXPECT_EQ(requestText(full, 0), "");
}

uint32_t address(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return ntohl(a.s_addr);
}

TEST(RequestTable, OnlyTheStatisticsAreHeldToTheLimitFromAfar) {
  for (const Request& request : kRequests) {
    const std::string keyword = request.keyword;
    EXPECT_EQ(request.limited, keyword == kGetFrameStats || keyword == kGetStats) << keyword;
  }
}

TEST(ReplyAllowed, LimitsPeersBeyondLoopbackToThreeTimesTheirRequest) {
  const struct {
    const char* peer;
    size_t request;
    size_t reply;
    bool allowed;
  } cases[] = {
      {"127.0.0.1", 1, 3000, true},
      {"127.255.255.254", 14, 1500, true},
      {"192.168.1.20", 500, 1500, true},
      {"192.168.1.20", 500, 1501, false},
      {"10.0.0.2", 14, 42, true},
      {"10.0.0.2", 14, 43, false},
      {"126.255.255.255", 100, 301, false},
      {"128.0.0.1", 100, 301, false},
      {"0.0.0.0", 0, 1, false},
      {"8.8.8.8", 0, 0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replyAllowed(address(c.peer), c.request, c.reply), c.allowed)
        << c.peer << ": " << c.request << " bytes asking " << c.reply;
  }
}

TEST(PaddedRequest, LeavesTheUnlimitedRequestsAsTheyAre) {
  for (const Request& request : kRequests) {
    if (request.limited) {
      const std::string padded = paddedRequest(request.keyword);
      EXPECT_EQ(padded.size(), kMaxRequestSize) << request.keyword;
      EXPECT_EQ(padded.find_first_not_of(' ', strlen(request.keyword)), std::string::npos);
      EXPECT_TRUE(replyAllowed(address("10.0.0.2"), padded.size(), kAmplification * kMaxRequestSize));
    } else {
      EXPECT_EQ(paddedRequest(request.keyword), request.keyword);
    }
  }
  EXPECT_EQ(paddedRequest("hello"), "hello");
}

TEST(CutToFit, KeepsWholeLinesAndCountsTheRest) {
  const std::string reply = "a 1\nbb 2\ntemp_x_c 3.0\ntemp_y_c 4.0\n";
  EXPECT_EQ(cutToFit(reply, 100), reply);
  EXPECT_EQ(cutToFit(reply, reply.size()), reply);
  EXPECT_EQ(cutToFit(reply, 34), "a 1\nbb 2\ntemp_x_c 3.0\ntruncated 1\n");
  EXPECT_EQ(cutToFit(reply, 33), "a 1\nbb 2\ntruncated 2\n");
  EXPECT_EQ(cutToFit(reply, 21), "a 1\nbb 2\ntruncated 2\n");
  EXPECT_EQ(cutToFit(reply, 20), "a 1\ntruncated 3\n");
  EXPECT_EQ(cutToFit(reply, 16), "a 1\ntruncated 3\n");
  EXPECT_EQ(cutToFit(reply, 15), std::nullopt);
}

}  // namespace
