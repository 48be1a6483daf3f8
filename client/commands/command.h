#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <utility>

#include "channel.h"

namespace perfprobe {

// perfprobe's exit statuses, as its help tells them.
enum Status { kOk = 0, kError = 1, kNoReply = 2 };

// One command of perfprobe: its name and line of help, the options it adds
// to its own subcommand, and what it does once the command line is parsed.
class Command {
 public:
  Command(std::string name, std::string help) : name_(std::move(name)), help_(std::move(help)) {}
  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  const std::string& name() const { return name_; }
  // Adds the subcommand, its help and its options to the app.
  void add(CLI::App& app);
  // Whether the parsed command line names this command.
  bool chosen() const { return subcommand_ != nullptr && subcommand_->parsed(); }
  // `global` holds --host, --port, --timeout and --retries, and adb when
  // --adb was given. Returns the exit status.
  virtual int run(const Channel::Options& global) = 0;

 protected:
  // Binds the command's options to its members.
  virtual void addOptions(CLI::App&) {}

 private:
  std::string name_;
  std::string help_;
  CLI::App* subcommand_ = nullptr;
};

// A command that asks the daemon: it runs once the channel to the daemon is
// open, and one that cannot be opened ends it with the reason.
class DaemonCommand : public Command {
 public:
  using Command::Command;
  int run(const Channel::Options& global) final;

 protected:
  virtual int runWith(Channel& channel) = 0;
};

// What makes each command, as commands/list.h names them.
#define PERFPROBE_COMMAND(make) std::unique_ptr<Command> make();
#include "commands/list.h"
#undef PERFPROBE_COMMAND

}  // namespace perfprobe
