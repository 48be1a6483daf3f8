#include "request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "protocol.h"

namespace {

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
  RequestHandler handler;
  for (const char* peer : {"127.0.0.1", "192.168.1.20", "8.8.8.8"}) {
    std::string reply = "untouched";
    EXPECT_FALSE(handler.handleRequest("", 0, address(peer), &reply));
    EXPECT_FALSE(handler.handleRequest("get_fps", 7, address(peer), &reply));
    EXPECT_EQ(reply, "untouched");

    EXPECT_TRUE(handler.handleRequest("xxCONNECT_DAEMONyy", 18, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handler.handleRequest("START_COLLECT", 13, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handler.handleRequest("STOP_COLLECT", 12, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handler.handleRequest("GET_FPS", 7, address(peer), &reply));
    EXPECT_EQ(reply, "0");
    // Without a package field, no collection starts.
    EXPECT_TRUE(handler.handleRequest("INITIALIZATION", 14, address(peer), &reply));
    EXPECT_EQ(reply, "success");
    EXPECT_TRUE(handler.handleRequest("GET_SIMPLE", 10, address(peer), &reply));
    EXPECT_EQ(reply.substr(0, 7), "cpuFreq");
  }
}

TEST(HandleRequest, FrameStatisticsAreHeldToTheLimitFromAfar) {
  RequestHandler handler;
  std::string reply;
  ASSERT_TRUE(handler.handleRequest("GET_FRAMESTATS", 14, address("127.0.0.1"), &reply));
  EXPECT_EQ(reply.substr(0, 17), "state idle\nfps NA");
  const std::string padded = paddedRequest("GET_FRAMESTATS");
  EXPECT_TRUE(handler.handleRequest(padded.data(), padded.size(), address("192.168.1.20"), &reply));
  EXPECT_FALSE(handler.handleRequest("GET_FRAMESTATS", 14, address("192.168.1.20"), &reply));
}

TEST(HandleRequest, DeviceStatisticsFitWhatAPaddedRequestMayDraw) {
  RequestHandler handler;
  std::string full, far;
  ASSERT_TRUE(handler.handleRequest("GET_STATS", 9, address("127.0.0.1"), &full));
  EXPECT_EQ(full.substr(0, 10), "uptime_ms ");
  EXPECT_EQ(full.back(), '\n');
  EXPECT_FALSE(handler.handleRequest("GET_STATS", 9, address("192.168.1.20"), &far));
  const std::string padded = paddedRequest("GET_STATS");
  ASSERT_TRUE(handler.handleRequest(padded.data(), padded.size(), address("192.168.1.20"), &far));
  EXPECT_LE(far.size(), kAmplification * kMaxRequestSize);
  EXPECT_EQ(far.back(), '\n');
  EXPECT_EQ(far.substr(0, 10), "uptime_ms ");
}

}  // namespace
