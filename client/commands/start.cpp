#include "command.h"
#include "common.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Start : public DaemonCommand {
 public:
  Start()
      : DaemonCommand("start",
                      "starts a collection for the layers whose names match PKG (" +
                          std::string(kInitialization) +
                          ":PKG); a collection that runs already keeps its own pattern") {}

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_option("PKG", pattern_, "package name, a POSIX basic regular expression")
        ->type_name("")
        ->required();
  }

  int runWith(Channel& channel) override {
    std::string why;
    const auto request = startRequest(pattern_, &why);
    if (!request) {
      printError(why);
      return kError;
    }
    return askAndPrint(channel, *request, isSuccess);
  }

 private:
  std::string pattern_;
};

}  // namespace

std::unique_ptr<Command> startCommand() { return std::make_unique<Start>(); }

}  // namespace perfprobe
