#include "deploy.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "adb.h"
#include "channel.h"
#include "child.h"
#include "replies.h"

namespace perfprobe {

namespace {

using Clock = std::chrono::steady_clock;

// A push of a few megabytes over USB 2 takes well under this.
constexpr int kPushMs = 120000;
constexpr int kShellMs = 30000;
// A daemon that has just started answers within a second on a phone; under
// emulation, within a few.
constexpr int kStartedAnswersMs = 15000;

long msSince(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int fail(const std::string& message) {
  fprintf(stderr, "perfprobe deploy: %s\n", message.c_str());
  return 1;
}

}  // namespace

int deploy(const DeployOptions& options) {
  const std::string files[] = {"perfprobed", "perfprobe"};
  off_t bytes = 0;
  for (const std::string& file : files) {
    struct stat st;
    const std::string path = options.from + "/" + file;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return fail("no " + file + " in " + options.from +
                  ": build the device's binaries with `cmake -S . -B build/aarch64 "
                  "-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DBUILD_TESTING=OFF && "
                  "cmake --build build/aarch64`, or name their folder with --from DIR");
    }
    bytes += st.st_size;
  }
  std::string why;
  const auto serial = findDevice(options.serial, &why);
  if (!serial) return fail(why);

  for (const std::string& file : files) {
    const std::string remote = std::string(kDeviceDir) + "/" + file;
    const Run run =
        runToEnd(adbCommand(*serial, {"push", options.from + "/" + file, remote}), kPushMs);
    if (!run.succeeded()) {
      return fail("pushing " + file + " to " + *serial + ":" + remote + " failed (" +
                  (run.started ? describeExit(run.status) : run.error) +
                  "): " + oneLine(run.err + " " + run.out) +
                  "; check the device's free space (`adb shell df /data`) and that " + kDeviceDir +
                  " is writable, then try again");
    }
  }
  printf("Pushed perfprobed and perfprobe (%.1f MB) to %s on device %s\n",
         static_cast<double>(bytes) / 1e6, kDeviceDir, serial->c_str());
  fflush(stdout);

  Channel::Options channelOptions;
  channelOptions.port = options.port;
  channelOptions.timeoutMs = options.timeoutMs;
  channelOptions.retries = options.retries;
  channelOptions.adb = *serial;
  Channel channel(channelOptions);
  if (!channel.ok()) return fail(channel.error());
  auto asked = Clock::now();
  if (channel.ask(kConnectDaemon, isSuccess, options.timeoutMs, 0)) {
    printf(
        "perfprobed already answers on device %s (%ld ms): left it running; the pushed build "
        "runs from its next start\n",
        serial->c_str(), msSince(asked));
  } else {
    if (channel.lost()) return fail(channel.noReplyMessage());
    // The daemon detaches at once, so the shell returns.
    const Run run = runToEnd(adbCommand(*serial, {"shell", kDeviceDaemon}), kShellMs);
    if (!run.succeeded()) {
      return fail("starting " + std::string(kDeviceDaemon) + " on device " + *serial + " failed (" +
                  (run.started ? describeExit(run.status) : run.error) +
                  "): " + oneLine(run.err + " " + run.out));
    }
    printf("Started %s on device %s\n", kDeviceDaemon, serial->c_str());
    fflush(stdout);
    asked = Clock::now();
    const int tries =
        std::max(options.retries + 1, kStartedAnswersMs / std::max(1, options.timeoutMs));
    if (!channel.ask(kConnectDaemon, isSuccess, options.timeoutMs, tries - 1)) {
      if (channel.lost()) return fail(channel.noReplyMessage());
      fprintf(stderr,
              "perfprobe deploy: perfprobed was started on device %s but gives no answer on its "
              "UDP port %d after %ld ms: another program may hold the port, or the daemon "
              "stopped; see `adb -s %s shell ps -A | grep perfprobed` and try again\n",
              serial->c_str(), options.port, msSince(asked), serial->c_str());
      return 2;
    }
  }
  printf("perfprobed answers %s on device %s (%ld ms)\n", kConnectDaemon, serial->c_str(),
         msSince(asked));
  printf("Next: perfprobe --adb %s monitor PACKAGE\n", serial->c_str());
  return 0;
}

}  // namespace perfprobe
