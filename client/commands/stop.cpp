#include "command.h"
#include "common.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Stop : public DaemonCommand {
 public:
  Stop() : DaemonCommand("stop", "stops the collection (" + std::string(kStopCollect) + ")") {}

 protected:
  int runWith(Channel& channel) override {
    return askAndPrint(channel, kStopCollect, isSuccess);
  }
};

}  // namespace

std::unique_ptr<Command> stopCommand() { return std::make_unique<Stop>(); }

}  // namespace perfprobe
