#include "catalog.h"
#include "command.h"
#include "monitor.h"
#include "protocol.h"

namespace perfprobe {
namespace {

// The rows whose columns the help shows as examples.
const Metric& cpus() { return *rowsFrom(From::kCpuReport).front(); }
const Metric& hottest() {
  for (const Metric* row : rowsFrom(From::kStats)) {
    if (row->derive == Derive::kHottest) return *row;
  }
  return cpus();
}

class Monitor : public DaemonCommand {
 public:
  Monitor()
      : DaemonCommand("monitor",
                      "starts a collection for PKG, samples the frame statistics (" +
                          std::string(kGetFrameStats) + "; the frame rate, " +
                          std::string(kGetFps) +
                          ", from a daemon without them) and the device's figures (" +
                          kGetStats + "; the CPU frequencies, " + kGetSimple +
                          ", from a daemon without it) every interval, and stops the "
                          "collection at the end or on Ctrl-C") {}

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_option("PKG", options_.pattern, "package name, a POSIX basic regular expression")
        ->type_name("")
        ->required();
    subcommand.add_option("--interval", options_.intervalS, "seconds between samples")
        ->type_name("S")
        ->check(CLI::Range(0.05, 3600.0))
        ->capture_default_str();
    subcommand.add_option("--duration", options_.durationS, "seconds to run; 0: until Ctrl-C")
        ->type_name("S")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    const std::string fps = field::kFps.name;
    subcommand.add_option("--csv", options_.csvPath,
                          "writes time_s," + fps + ",...," + columnOf(cpus(), "0") +
                              ",... and every figure of " + kGetStats +
                              " to FILE, NA where a value is missing")
        ->type_name("FILE");
    subcommand.add_option("--columns", options_.columns,
                          "the live line's fields, by their CSV column names: " + fps + "," +
                              field::kCpuLoadPct.name + "," + columnOf(hottest(), ""))
        ->type_name("A,B,C");
    subcommand.add_option("--record", options_.recordPath,
                          "records every sample of every series, the markers and the summary "
                          "to FILE (JSON lines), for perfprobe report")
        ->type_name("FILE");
    subcommand.add_flag("--mark", options_.mark,
                        "takes each line on standard input as a marker at that moment, "
                        "labelled with the line (\"boss fight\"; an empty line is numbered), "
                        "for the recording and its report");
    subcommand.add_flag("--json", options_.json,
                        "one JSON object per sample instead of the live line, then the summary");
    subcommand.add_option("--plot", options_.plotPath,
                          "renders FPS, frame times with the jank marked, CPU frequencies, and "
                          "the load, GPU frequency, temperatures and battery power over time "
                          "to FILE.png (gnuplot)")
        ->type_name("FILE.png");
  }

  int runWith(Channel& channel) override { return runMonitor(channel, options_); }

 private:
  MonitorOptions options_;
};

}  // namespace

std::unique_ptr<Command> monitorCommand() { return std::make_unique<Monitor>(); }

}  // namespace perfprobe
