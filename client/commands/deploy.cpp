#include "adb.h"
#include "command.h"
#include "deploy.h"
#include "protocol.h"

namespace perfprobe {
namespace {

class Deploy : public Command {
 public:
  Deploy()
      : Command("deploy",
                "puts perfprobed and the device's perfprobe on the phone through adb (" +
                    std::string(kDeviceDir) +
                    "), starts the daemon unless one answers already and waits until it "
                    "answers " +
                    kConnectDaemon) {
    options_.from = PERFPROBE_DEVICE_BUILD;
  }

  // Through adb, by its own --serial or by the global --adb's.
  int run(const Channel::Options& global) override {
    DeployOptions options = options_;
    options.port = global.port;
    options.timeoutMs = global.timeoutMs;
    options.retries = global.retries;
    if (options.serial.empty()) options.serial = global.adb.value_or("");
    return deploy(options);
  }

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_option("--serial", options_.serial,
                          "the device, as `adb devices` lists it (default: ANDROID_SERIAL, or "
                          "the only one)")
        ->type_name("SERIAL");
    subcommand.add_option("--from", options_.from,
                          "the folder of the AArch64 perfprobed and perfprobe")
        ->type_name("DIR")
        ->capture_default_str();
  }

 private:
  DeployOptions options_;
};

}  // namespace

std::unique_ptr<Command> deployCommand() { return std::make_unique<Deploy>(); }

}  // namespace perfprobe
