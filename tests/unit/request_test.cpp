#include "request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <optional>
#include <string>

#include "protocol.h"

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

TEST(PackageField, IsTheSecondFieldAsStrtokSplitsAtColons) {
  const struct {
    std::string text;
    std::optional<std::string> field;
  } cases[] = {
      {"INITIALIZATION:com.example.app", "com.example.app"},
      {"INITIALIZATION::name", "name"},
      {"x:INITIALIZATION:name", "INITIALIZATION"},
      {"INITIALIZATION:a:b", "a"},
      {":::INITIALIZATION:::a::", "a"},
      // Verbatim: nothing is trimmed.
      {"INITIALIZATION: com.example.app \n", " com.example.app \n"},
      {"INITIALIZATION:com.example.app\n", "com.example.app\n"},
      {"INITIALIZATION:com.example.app\n:", "com.example.app\n"},
      {"INITIALIZATION", std::nullopt},
      {"INITIALIZATION:", std::nullopt},
      {"INITIALIZATION:::", std::nullopt},
      {":INITIALIZATION", std::nullopt},
      {"", std::nullopt},
      {":::", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(packageField(c.text), c.field) << "text: " << c.text;
  }
}

uint32_t address(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return ntohl(a.s_addr);
}

TEST(HandleRequest, RepliesOnlyToKeywordsAndToAnyPeerInFull) {
  // The requests of the table's first rows answer every peer, loopback or
  // not, whatever the reply's size against the request's.
  for (const char* peer : {"127.0.0.1", "192.168.1.20", "8.8.8.8"}) {
    std::string reply = "untouched";
    EXPECT_FALSE(handleRequest("", 0, address(peer), &reply));
    EXPECT_FALSE(handleRequest("get_fps", 7, address(peer), &reply));
    EXPECT_EQ(reply, "untouched");

    EXPECT_TRUE(handleRequest("xxCONNECT_DAEMONyy", 18, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handleRequest("START_COLLECT", 13, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handleRequest("STOP_COLLECT", 12, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handleRequest("GET_FPS", 7, address(peer), &reply));
    EXPECT_EQ(reply, "0");
  }
  for (const char* keyword : {"INITIALIZATION", "CONNECT_DAEMON", "GET_SIMPLE", "GET_FPS",
                              "START_COLLECT", "STOP_COLLECT"}) {
    const Request* request = findRequest(keyword);
    ASSERT_NE(request, nullptr) << keyword;
    EXPECT_FALSE(isLimited(*request)) << keyword;
  }
}

TEST(HandleRequest, FrameStatisticsAreHeldToTheLimitFromAfar) {
  std::string reply;
  ASSERT_TRUE(handleRequest("GET_FRAMESTATS", 14, address("127.0.0.1"), &reply));
  EXPECT_EQ(reply.substr(0, 17), "state idle\nfps NA");
  const std::string padded = paddedRequest("GET_FRAMESTATS");
  EXPECT_TRUE(handleRequest(padded.data(), padded.size(), address("192.168.1.20"), &reply));
  EXPECT_FALSE(handleRequest("GET_FRAMESTATS", 14, address("192.168.1.20"), &reply));
}

TEST(HandleRequest, DeviceStatisticsFitWhatAPaddedRequestMayDraw) {
  std::string full, far;
  ASSERT_TRUE(handleRequest("GET_STATS", 9, address("127.0.0.1"), &full));
  EXPECT_EQ(full.substr(0, 10), "uptime_ms ");
  EXPECT_EQ(full.back(), '\n');
  EXPECT_FALSE(handleRequest("GET_STATS", 9, address("192.168.1.20"), &far));
  const std::string padded = paddedRequest("GET_STATS");
  ASSERT_TRUE(handleRequest(padded.data(), padded.size(), address("192.168.1.20"), &far));
  EXPECT_LE(far.size(), kAmplification * kMaxRequestSize);
  EXPECT_EQ(far.back(), '\n');
  EXPECT_EQ(far.substr(0, 10), "uptime_ms ");
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
    if (isLimited(request)) {
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

}  // namespace
