#include <stdio.h>

#include "command.h"
#include "common.h"
#include "device_stats.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Stats : public DaemonCommand {
 public:
  Stats()
      : DaemonCommand("stats",
                      "prints the device's figures: the CPUs, GPU, battery, memory, the app "
                      "that a collection follows, the daemon's own cost and every thermal "
                      "zone, hottest first (" +
                          std::string(kGetStats) + " twice, 250 ms apart for the loads)") {}

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_flag("--json", json_,
                        "one JSON object of the reply's names: numbers, null for NA, strings "
                        "for the battery's status and the GPU's source");
  }

  int runWith(Channel& channel) override {
    if (!channel.ask(statsRequest(), isDeviceStats)) {
      // A daemon older than GET_STATS answers the rest.
      if (channel.ask(kConnectDaemon, isSuccess, channel.options().timeoutMs, 0)) {
        fprintf(stderr,
                "perfprobe: the daemon answers %s but not %s: it is older than that request\n",
                kConnectDaemon, kGetStats);
      } else {
        printError(channel.noReplyMessage());
      }
      return kNoReply;
    }
    const auto stats = statsAfterWindow(channel);
    if (!stats) return kNoReply;
    fputs((json_ ? statsJson(*stats) : statsText(*stats)).c_str(), stdout);
    return kOk;
  }

 private:
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> statsCommand() { return std::make_unique<Stats>(); }

}  // namespace perfprobe
