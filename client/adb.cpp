#include "adb.h"

#include <stdlib.h>

#include <sstream>

#include "child.h"

namespace perfprobe {

namespace {

// Long enough for an adb server that must start first (a second or two).
constexpr int kAdbDevicesMs = 15000;

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string serialList(const std::vector<AdbDevice>& devices) {
  std::string list;
  for (const AdbDevice& d : devices) {
    if (!list.empty()) list += ", ";
    list += d.serial + " (" + d.state + ")";
  }
  return list;
}

// What to do about a device that adb lists but cannot use.
std::optional<std::string> unusable(const AdbDevice& device) {
  if (device.state == "device") return std::nullopt;
  if (device.state == "unauthorized") {
    return "device " + device.serial +
           " is unauthorized: unlock the phone and allow USB debugging in the prompt it shows "
           "(tick \"Always allow from this computer\"), then try again";
  }
  if (device.state == "offline") {
    return "device " + device.serial +
           " is offline: unplug and replug the cable, or run `adb reconnect`, then try again";
  }
  if (device.state.rfind("no permissions", 0) == 0) {
    return "device " + device.serial +
           " cannot be opened (no permissions): add a udev rule for the phone or run adb as a "
           "user who may open USB devices (the plugdev group), then `adb kill-server`";
  }
  return "device " + device.serial + " is in state \"" + device.state +
         "\", not ready for commands: boot it into Android with USB debugging on";
}

}  // namespace

std::vector<AdbDevice> parseAdbDevices(const std::string& output) {
  std::vector<AdbDevice> devices;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '*' || line.rfind("List of devices", 0) == 0) continue;
    const size_t gap = line.find_first_of(" \t");
    if (gap == std::string::npos) continue;
    devices.push_back({line.substr(0, gap), trim(line.substr(gap))});
  }
  return devices;
}

std::optional<std::string> chooseDevice(const std::vector<AdbDevice>& devices,
                                        const std::string& wanted, const std::string& envSerial,
                                        std::string* why) {
  const std::string serial = wanted.empty() ? envSerial : wanted;
  if (!serial.empty()) {
    for (const AdbDevice& d : devices) {
      if (d.serial != serial) continue;
      if (auto problem = unusable(d)) {
        *why = *problem;
        return std::nullopt;
      }
      return serial;
    }
    *why = "no device " + serial + (wanted.empty() ? " (ANDROID_SERIAL)" : "") + ": adb lists " +
           (devices.empty() ? std::string("none") : serialList(devices)) +
           "; check the cable and the serial";
    return std::nullopt;
  }
  if (devices.empty()) {
    *why =
        "no device: connect the phone by USB, turn on USB debugging (Settings > Developer "
        "options) and check that `adb devices` lists it";
    return std::nullopt;
  }
  if (devices.size() > 1) {
    *why = "several devices: " + serialList(devices) +
           "; choose one with --serial SERIAL (or --adb SERIAL)";
    return std::nullopt;
  }
  if (auto problem = unusable(devices[0])) {
    *why = *problem;
    return std::nullopt;
  }
  return devices[0].serial;
}

std::string adbMissingMessage() {
  return "adb is not installed or not on PATH: install Android's platform tools (on Debian: "
         "apt install adb) and try again";
}

std::optional<std::string> findDevice(const std::string& wanted, std::string* why) {
  const Run run = runToEnd({"adb", "devices"}, kAdbDevicesMs);
  if (!run.started) {
    *why = run.notFound ? adbMissingMessage() : "cannot run adb: " + run.error;
    return std::nullopt;
  }
  if (!run.succeeded()) {
    *why = "`adb devices` failed (" + describeExit(run.status) + "): " + oneLine(run.err);
    return std::nullopt;
  }
  const char* env = getenv("ANDROID_SERIAL");
  return chooseDevice(parseAdbDevices(run.out), wanted, env != nullptr ? env : "", why);
}

std::vector<std::string> adbCommand(const std::string& serial, std::vector<std::string> args) {
  std::vector<std::string> argv = {"adb", "-s", serial};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::string oneLine(const std::string& text) {
  std::string line;
  for (char c : trim(text)) line += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  constexpr size_t kShown = 300;
  if (line.size() > kShown) line = line.substr(0, kShown) + "...";
  return line;
}

}  // namespace perfprobe
