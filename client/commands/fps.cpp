#include "command.h"
#include "common.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Fps : public DaemonCommand {
 public:
  Fps()
      : DaemonCommand("fps",
                      "prints the last published frame rate (" + std::string(kGetFps) + ")") {}

 protected:
  int runWith(Channel& channel) override {
    return askAndPrint(channel, kGetFps,
                       [](const std::string& r) { return parseFps(r).has_value(); });
  }
};

}  // namespace

std::unique_ptr<Command> fpsCommand() { return std::make_unique<Fps>(); }

}  // namespace perfprobe
