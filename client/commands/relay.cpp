#include <unistd.h>

#include "command.h"
#include "relay.h"

namespace perfprobe {
namespace {

class Relay : public Command {
 public:
  Relay()
      : Command("relay",
                "on the device: relays framed requests from standard input to the daemon on "
                "127.0.0.1 and its replies to standard output (what --adb runs there)") {}

  int run(const Channel::Options& global) override {
    return runRelay(global.port, STDIN_FILENO, STDOUT_FILENO);
  }
};

}  // namespace

std::unique_ptr<Command> relayCommand() { return std::make_unique<Relay>(); }

}  // namespace perfprobe
