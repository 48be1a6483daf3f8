#include <stdio.h>

#include <vector>

#include "command.h"
#include "common.h"
#include "exporter.h"
#include "replies.h"

namespace perfprobe {
namespace {

class Exporter : public Command {
 public:
  Exporter()
      : Command("exporter",
                "watches many devices for Prometheus: polls each every interval, in parallel (" +
                    std::string(kGetStats) + ", and " + kGetFrameStats +
                    " with --package), and serves the figures at http://ADDR:PORT/metrics, each "
                    "series labelled with its device") {}

  int run(const Channel::Options& global) override {
    std::string why;
    if (!options_.package.empty() && !startRequest(options_.package, &why)) {
      printError(why);
      return kError;
    }
    ExporterOptions options = options_;
    for (const std::string& given : devices_) {
      auto target = parseTarget(given, global.port, &why);
      if (!target) {
        printError(why);
        return kError;
      }
      for (const Target& other : options.targets) {
        if (other.name == target->name) {
          fprintf(stderr, "perfprobe: --device %s: the name %s is taken by another device\n",
                  given.c_str(), target->name.c_str());
          return kError;
        }
      }
      options.targets.push_back(std::move(*target));
    }
    options.timeoutMs = global.timeoutMs;
    options.retries = global.retries;
    return runExporter(options, listen_);
  }

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_option("--listen", listen_, "where to serve /metrics")
        ->type_name("ADDR:PORT")
        ->capture_default_str();
    subcommand.add_option("--device", devices_,
                          "a device to watch, named for its label: NAME=HOST[:PORT] over the "
                          "network, NAME=adb:SERIAL over USB; once per device")
        ->type_name("NAME=WHERE")
        ->required();
    subcommand.add_option("--package", options_.package,
                          "starts a collection for PKG on every device (again when a daemon "
                          "restarts), exports its frame figures, and stops it on exit")
        ->type_name("PKG");
    subcommand.add_option("--interval", options_.intervalS,
                          "seconds between polls; the scrape interval, or shorter")
        ->type_name("S")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
  }

 private:
  ExporterOptions options_;
  std::string listen_ = "127.0.0.1:9464";
  std::vector<std::string> devices_;
};

}  // namespace

std::unique_ptr<Command> exporterCommand() { return std::make_unique<Exporter>(); }

}  // namespace perfprobe
