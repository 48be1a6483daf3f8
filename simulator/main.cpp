#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "cpu_model.h"

namespace {

const char kAbout[] =
    "A simulated Android device, so that perfprobed, its client and the demo run on a Linux host.";

const char kFooter[] = R"(
Called through a link named "dumpsys" (first on PATH) it answers
  dumpsys SurfaceFlinger --list
  dumpsys SurfaceFlinger --latency NAME
from the folder named by PERFPROBE_SIM_DIR (unset: the defaults below, with
the app running since boot), which holds
  device.conf  optional; key=value lines, whole-line # comments:
    package=com.example.game  the app
    activity=.MainActivity    its activity; a leading . stands for the package
    refresh_hz=60             the panel's refresh rate; it shows frames on its
                              vsyncs, every 1e9/refresh_hz ns from time 0
    fps=60                    the app's frame rate, or a schedule such as
                              0:60,5:45,9:58 (from second S after the start, F fps);
                              0 is an app that stops drawing (its layer keeps its
                              last frames). A frame is shown at the first vsync at
                              or after it comes, unless an earlier one took that
                              vsync: then it is dropped. Until its vsync its
                              present time reads 9223372036854775807
    jitter_ms=0               each frame comes up to this much late (at most a
                              third of its spacing); late past a vsync, it is
                              shown a vsync later
    stall_every_s=0           every S seconds after the start, the app stalls...
    stall_ms=0                ...for this long, drawing no frame
    seed=1                    for the jitter and the prefix
    android=13                the listing's shape: 7 (SurfaceView - pkg/Activity),
                              10 (Android 8 to 11: names end in #0), 12
                              (SurfaceView[pkg/Activity](BLAST)#0), 13 (sequence
                              ids, new ones when the app starts again), 15 (as 13,
                              each line RequestedLayerState{NAME ATTRIBUTES};
                              --latency knows only NAME)
    prefix=none               unresponsive or without_lock: a latency output
                              starts with SurfaceFlinger's line for a dump it
                              could not lock...
    prefix_percent=100        ...on this share of dumps, picked by seed and time
    timeout_suffix=0          1: every output ends with dumpsys' line
                              "*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT
                              (10000ms) EXPIRED ***" after a blank line
  app          while the app runs: its start, CLOCK_MONOTONIC ns ("app start")
An unknown key or a bad value is an error, for dumpsys too.)";

const char kAppFooter[] = R"(
start writes the start time, CLOCK_MONOTONIC ns, to $PERFPROBE_SIM_DIR/app
(through a rename); the app's layers are then listed and draw frames
from that time on. stop removes the file.)";

const char kTreeFooter[] = R"(
Makes cpu0..cpuN-1/ (online, cpufreq -> ../cpufreq/policyP), cpufreq/policyP/
(scaling_cur_freq, scaling_available_frequencies, scaling_governor, related_cpus,
affected_cpus, cpuinfo_min/max_freq, scaling_min/max_freq), cpuidle/, power/,
online, possible, present and kernel_max. Eight CPUs: 0-3 little, 4-6 big,
7 prime. Running it again over the same ROOT rewrites the tree.)";

const char kWalkFooter[] = R"(
Every interval each policy's load drifts at random and its frequency moves a
step or two toward what that load asks for, now and then jumping to the top;
only values of its scaling_available_frequencies are written, each through a
rename so that no reader sees a partial file.)";

std::string baseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

int runCli(int argc, char** argv) {
  CLI::App cli{kAbout, "perfprobe-sim"};
  cli.require_subcommand(1);

  CLI::App* app =
      cli.add_subcommand("app", "Start or stop the simulated app (needs PERFPROBE_SIM_DIR)");
  app->require_subcommand(1);
  app->footer(kAppFooter);
  CLI::App* appStart =
      app->add_subcommand("start", "Record the app as started now, or S seconds ago");
  double ago = 0;
  appStart->add_option("--ago", ago, "Seconds since the app started")->check(CLI::Range(0.0, 1e9));
  CLI::App* appStop =
      app->add_subcommand("stop", "Record the app as stopped: its layers disappear");

  CLI::App* tree = cli.add_subcommand(
      "cpu-tree",
      "Write a phone's CPU folder (cpuN/, cpufreq/policyP/, decoys) into ROOT, each cluster at its "
      "lowest frequency");
  std::string treeRoot;
  tree->add_option("ROOT", treeRoot,
                   "An existing folder, e.g. a tmpfs over /sys/devices/system/cpu")
      ->required()
      ->check(CLI::ExistingDirectory);
  int cpus = 8;
  tree->add_option("--cpus", cpus,
                   "Number of CPUs: up to 4 share one cluster, else little, big and one prime")
      ->check(CLI::Range(1, sim::kMaxCpus));
  tree->footer(kTreeFooter);

  CLI::App* walk = cli.add_subcommand(
      "cpu-walk",
      "Move each policy's scaling_cur_freq in ROOT like a governor under changing load, until "
      "SIGTERM/SIGINT or the duration");
  std::string walkRoot;
  walk->add_option("ROOT", walkRoot, "A folder made by cpu-tree")
      ->required()
      ->check(CLI::ExistingDirectory);
  int intervalMs = 200;
  walk->add_option("--interval-ms", intervalMs, "Time between steps")
      ->check(CLI::Range(1, 3600000));
  double duration = 0;
  walk->add_option("--duration", duration, "Seconds to run; 0 runs until stopped")
      ->check(CLI::Range(0.0, 1e9));
  uint64_t seed = 1;
  walk->add_option("--seed", seed, "Seed of the walk");
  walk->footer(kWalkFooter);
  // Last: subcommands take their parent's footer when they are added.
  cli.footer(kFooter);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string message = e.what();
    std::replace(message.begin(), message.end(), '\n', ' ');
    fprintf(stderr, "perfprobe-sim: %s (see --help)\n", message.c_str());
    return 1;
  }

  if (*appStart) return runAppStart(ago);
  if (*appStop) return runAppStop();
  if (*tree) return runCpuTree(treeRoot, cpus);
  return runCpuWalk(walkRoot, intervalMs, duration, seed);
}

}  // namespace

int main(int argc, char** argv) {
  // Installed as a link named dumpsys, it is dumpsys.
  if (argc > 0 && baseName(argv[0]) == "dumpsys") {
    return runDumpsys(std::vector<std::string>(argv + 1, argv + argc));
  }
  return runCli(argc, argv);
}
