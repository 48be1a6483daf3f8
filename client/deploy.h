#pragma once

#include <string>

namespace perfprobe {

struct DeployOptions {
  std::string serial;  // "" when adb has only one device (or ANDROID_SERIAL)
  std::string from;    // the folder of the AArch64 perfprobed and perfprobe
  int port = 0;
  int timeoutMs = 0;
  int retries = 0;
};

// Puts the daemon and the on-device client on the phone through adb, starts
// the daemon unless one answers already, and waits until it answers. Says
// what it did on standard output and what went wrong on standard error.
// Returns 0, 1 when a step failed, 2 when the daemon does not answer.
int deploy(const DeployOptions& options);

}  // namespace perfprobe
