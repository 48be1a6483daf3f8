#include "request.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace std::string_literals;

TEST(FindKeyword, FirstKeywordOfTheTableWins) {
  const struct {
    std::string text;
    Keyword expected;
  } cases[] = {
      {"INITIALIZATION", Keyword::kInitialization},
      {"INITIALIZATION:com.example.app", Keyword::kInitialization},
      {"CONNECT_DAEMON", Keyword::kConnectDaemon},
      {"GET_SIMPLE", Keyword::kGetSimple},
      {"GET_FPS", Keyword::kGetFps},
      {"START_COLLECT", Keyword::kStartCollect},
      {"STOP_COLLECT", Keyword::kStopCollect},
      // Anywhere in the text, no separators needed.
      {"xxCONNECT_DAEMONyy", Keyword::kConnectDaemon},
      {"\n\tGET_FPS\n", Keyword::kGetFps},
      // Several keywords: the table's order decides, not the text's.
      {"GET_FPS GET_SIMPLE", Keyword::kGetSimple},
      {"GET_SIMPLEGET_FPS", Keyword::kGetSimple},
      {"STOP_COLLECT INITIALIZATION", Keyword::kInitialization},
      {"START_COLLECTCONNECT_DAEMON", Keyword::kConnectDaemon},
      {"STOP_COLLECT START_COLLECT", Keyword::kStartCollect},
      {"GET_FPSINITIALIZATION", Keyword::kInitialization},
      // Case-sensitive, contiguous, whole.
      {"get_simple", Keyword::kNone},
      {"Connect_Daemon", Keyword::kNone},
      {"GET_ SIMPLE", Keyword::kNone},
      {"GET_FP", Keyword::kNone},
      {"INITIALISATION", Keyword::kNone},
      {"", Keyword::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(findKeyword(c.text), c.expected) << "text: " << c.text;
  }
}

TEST(RequestText, EndsAtFirstZeroByteAndNeverPastTheReceivedBytes) {
  const std::string withZero = "GET_FPS\0CONNECT_DAEMON"s;
  EXPECT_EQ(requestText(withZero.data(), withZero.size()), "GET_FPS");
  EXPECT_EQ(findKeyword(requestText(withZero.data(), withZero.size())),
            Keyword::kGetFps);

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

TEST(HandleRequest, RepliesOnlyToKeywords) {
  std::string reply = "untouched";
  EXPECT_FALSE(handleRequest("", 0, &reply));
  EXPECT_FALSE(handleRequest("get_fps", 7, &reply));

  EXPECT_TRUE(handleRequest("xxCONNECT_DAEMONyy", 18, &reply));
  EXPECT_EQ(reply, "success");
  EXPECT_TRUE(handleRequest("START_COLLECT", 13, &reply));
  EXPECT_EQ(reply, "success");
  EXPECT_TRUE(handleRequest("STOP_COLLECT", 12, &reply));
  EXPECT_EQ(reply, "success");
  EXPECT_TRUE(handleRequest("GET_FPS", 7, &reply));
  EXPECT_EQ(reply, "0");
}

}  // namespace
