// perfprobe: the host-side client of perfprobed.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "channel.h"
#include "commands/command.h"

using namespace perfprobe;

int main(int argc, char** argv) {
  CLI::App app{
      "perfprobe: asks perfprobed, over UDP or through adb, for the CPUs, the GPU, the battery, the "
      "temperatures and the frame rate of an app's layers."};
  app.require_subcommand(1);
  Channel::Options options;
  app.add_option("--host", options.host, "the device's address or name")
      ->type_name("HOST")
      ->capture_default_str();
  app.add_option("--port", options.port, "the daemon's UDP port")
      ->type_name("PORT")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--timeout", options.timeoutMs, "milliseconds to wait for each reply")
      ->type_name("MS")
      ->check(CLI::Range(1, 600000))
      ->capture_default_str();
  app.add_option("--retries", options.retries, "tries after the first one, for each request")
      ->type_name("N")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
  std::string adbSerial;
  auto* adb = app.add_option(
                     "--adb", adbSerial,
                     "reaches the daemon over USB through adb rather than the network (the "
                     "device SERIAL, or the only one; perfprobe deploy puts the daemon there)")
                  ->type_name("[SERIAL]")
                  ->expected(0, 1);
  // Each command takes these two from the app as it is added: it passes the
  // global options through, and its help ends with the footer.
  app.fallthrough();
  app.footer(
      "Exit status: 0 when the daemon answered, 2 when no reply came (or monitor's --columns "
      "named no column of its), 1 on a usage or other error.\nCommand help: perfprobe COMMAND "
      "--help");

  std::vector<std::unique_ptr<Command>> commands;
#define PERFPROBE_COMMAND(make) commands.push_back(make());
#include "commands/list.h"
#undef PERFPROBE_COMMAND
  for (const auto& command : commands) command->add(app);

  // --adb takes a serial only before the command: after it, the next word
  // is the command's own (monitor --adb com.example.game), so there --adb
  // stands alone, as it does before the command's name.
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto isCommand = [&commands](const std::string& word) {
    return std::any_of(commands.begin(), commands.end(),
                       [&word](const auto& c) { return c->name() == word; });
  };
  // Words after "--" are the command's, whatever they are.
  const auto end = std::find(args.begin(), args.end(), "--");
  const auto command = std::find_if(args.begin(), end, isCommand);
  if (command != end && std::find(command, end, "--adb") != end) {
    const auto kept = std::remove(command, end, std::string("--adb"));
    args.erase(kept, end);
    args.insert(std::find_if(args.begin(), args.end(), isCommand), "--adb");
  }
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kError;
  }

  if (*adb) options.adb = adbSerial;
  for (const auto& chosen : commands) {
    if (chosen->chosen()) return chosen->run(options);
  }
  return kError;
}
