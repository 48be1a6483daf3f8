// What the simulated phone's tests share: a configuration from its text, a
// sample of the device, and a folder of their own.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "device_config.h"
#include "device_model.h"

namespace simtest {

namespace fs = std::filesystem;
using sim::DeviceConfig;
using sim::kNsPerSecond;

constexpr int64_t kMs = 1000000;
// An app start far from the clock's zero, as on a phone up for a while.
constexpr int64_t kStart = 5000 * kNsPerSecond;

inline DeviceConfig configOf(const std::string& text) {
  std::string error;
  const auto config = sim::parseDeviceConfig(text, &error);
  EXPECT_TRUE(config.has_value()) << text << ": " << error;
  return config.value_or(DeviceConfig());
}

inline sim::DeviceSample sampleAt(const DeviceConfig& config, double secondsAfterStart,
                                  int cpus = 8) {
  return sim::sampleDevice(config, cpus, kStart, 1,
                           kStart + static_cast<int64_t>(secondsAfterStart * kNsPerSecond));
}

inline std::string readAll(const fs::path& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of its own for each test, removed at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/perfprobe-device-test-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    path_ = tmpl;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline const std::string kBattery = "sys/class/power_supply/battery/";

}  // namespace simtest
