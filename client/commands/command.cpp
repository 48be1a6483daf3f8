#include "command.h"

#include "common.h"

namespace perfprobe {

void Command::add(CLI::App& app) {
  subcommand_ = app.add_subcommand(name_, help_);
  addOptions(*subcommand_);
}

int DaemonCommand::run(const Channel::Options& global) {
  Channel channel(global);
  if (!channel.ok()) {
    printError(channel.error());
    return kError;
  }
  return runWith(channel);
}

}  // namespace perfprobe
