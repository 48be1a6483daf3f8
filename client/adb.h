#pragma once

#include <optional>
#include <string>
#include <vector>

// The phone on the USB cable, through Android's adb client: which device,
// and the commands every USB path runs.
namespace perfprobe {

// Where the on-device files go: the one folder the shell user may write
// and run from on every Android version.
constexpr char kDeviceDir[] = "/data/local/tmp";
constexpr char kDeviceDaemon[] = "/data/local/tmp/perfprobed";
constexpr char kDeviceClient[] = "/data/local/tmp/perfprobe";

// One line of `adb devices`: the serial and its state ("device",
// "unauthorized", "offline", "no permissions (...)").
struct AdbDevice {
  std::string serial;
  std::string state;

  bool operator==(const AdbDevice& other) const {
    return serial == other.serial && state == other.state;
  }
};

// The devices that `adb devices` lists; its heading and the server's own
// lines ("* daemon started successfully") are skipped.
std::vector<AdbDevice> parseAdbDevices(const std::string& output);

// The device to use: the one asked for (--serial, --adb SERIAL), else
// ANDROID_SERIAL's as adb itself does, else the only one listed. Nullopt when
// there is none that answers to adb, with a message that says what to do.
std::optional<std::string> chooseDevice(const std::vector<AdbDevice>& devices,
                                        const std::string& wanted, const std::string& envSerial,
                                        std::string* why);

// The message for an adb that is not there.
std::string adbMissingMessage();

// Runs `adb devices` and chooses as chooseDevice does; nullopt with the
// reason when adb is missing, fails, or no device fits.
std::optional<std::string> findDevice(const std::string& wanted, std::string* why);

// The argument vector of `adb -s SERIAL ARGS...`.
std::vector<std::string> adbCommand(const std::string& serial, std::vector<std::string> args);

// Text from adb or the device, as one line to quote in a message.
std::string oneLine(const std::string& text);

}  // namespace perfprobe
