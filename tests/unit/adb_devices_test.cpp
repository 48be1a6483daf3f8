// Which adb device: what `adb devices` prints, and the choice among them.
#include "adb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace perfprobe {
namespace {

TEST(AdbDevices, ParsesWhatAdbPrints) {
  const std::string output =
      "* daemon not running; starting now at tcp:5037\n"
      "* daemon started successfully\n"
      "List of devices attached\n"
      "R58N12ABC\tdevice\n"
      "emulator-5554\toffline\n"
      "0123456789ABCDEF\tno permissions (user in plugdev group; are your udev rules wrong?)\n"
      "192.168.1.20:5555\tunauthorized\n"
      "\n";
  const std::vector<AdbDevice> expected = {
      {"R58N12ABC", "device"},
      {"emulator-5554", "offline"},
      {"0123456789ABCDEF", "no permissions (user in plugdev group; are your udev rules wrong?)"},
      {"192.168.1.20:5555", "unauthorized"},
  };
  EXPECT_EQ(parseAdbDevices(output), expected);
  EXPECT_TRUE(parseAdbDevices("List of devices attached\n\n").empty());
}

TEST(AdbDevices, TheChoiceOrSayWhatToDo) {
  const std::vector<AdbDevice> one = {{"A1", "device"}};
  const std::vector<AdbDevice> two = {{"A1", "device"}, {"B2", "device"}};
  const std::vector<AdbDevice> locked = {{"A1", "unauthorized"}};
  const struct {
    std::vector<AdbDevice> devices;
    std::string wanted, env;
    std::string chosen;  // empty: refused
    std::string why;
  } cases[] = {
      {one, "", "", "A1", ""},
      {two, "B2", "", "B2", ""},
      {two, "", "B2", "B2", ""},  // ANDROID_SERIAL, as adb itself takes it
      {two, "A1", "B2", "A1", ""},
      {{}, "", "", "", "no device"},
      {two, "", "", "", "--serial"},
      {two, "C3", "", "", "no device C3"},
      {locked, "", "", "", "allow USB debugging"},
      {{{"A1", "offline"}}, "", "", "", "adb reconnect"},
      {{{"A1", "no permissions (udev)"}}, "", "", "", "udev"},
      {{{"A1", "recovery"}}, "A1", "", "", "recovery"},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto chosen = chooseDevice(c.devices, c.wanted, c.env, &why);
    if (c.chosen.empty()) {
      EXPECT_FALSE(chosen.has_value()) << c.wanted << "/" << c.env;
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    } else {
      ASSERT_TRUE(chosen.has_value()) << why;
      EXPECT_EQ(*chosen, c.chosen);
    }
  }
  // Several devices: every serial is named.
  std::string why;
  chooseDevice(two, "", "", &why);
  EXPECT_NE(why.find("A1"), std::string::npos);
  EXPECT_NE(why.find("B2"), std::string::npos);
}

}  // namespace
}  // namespace perfprobe
