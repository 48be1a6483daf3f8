#include "command.h"
#include "common.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Send : public DaemonCommand {
 public:
  Send()
      : DaemonCommand("send",
                      "sends TEXT as it is and prints the reply as it came (a request whose "
                      "reply is limited beyond loopback is padded with spaces to fit)") {}

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_option("TEXT", text_, "the request")->type_name("")->required();
  }

  int runWith(Channel& channel) override {
    const int status =
        askAndPrint(channel, paddedRequest(text_), [](const std::string&) { return true; });
    if (status == kNoReply && !holdsKeyword(text_)) {
      printError("the request holds no keyword, and the daemon answers none without one");
    }
    return status;
  }

 private:
  std::string text_;
};

}  // namespace

std::unique_ptr<Command> sendCommand() { return std::make_unique<Send>(); }

}  // namespace perfprobe
