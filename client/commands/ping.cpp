#include "command.h"
#include "common.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Ping : public DaemonCommand {
 public:
  Ping()
      : DaemonCommand("ping",
                      "checks that the daemon answers (" + std::string(kConnectDaemon) + ")") {}

 protected:
  int runWith(Channel& channel) override {
    return askAndPrint(channel, kConnectDaemon, isSuccess);
  }
};

}  // namespace

std::unique_ptr<Command> pingCommand() { return std::make_unique<Ping>(); }

}  // namespace perfprobe
