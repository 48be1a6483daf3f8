#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>
#include <vector>

#include "app_process.h"
#include "commands.h"
#include "cpu_model.h"

namespace {

const char kAbout[] =
    "A simulated Android device, so that perfprobed, its client and the demo run on a Linux host.";

const char kFooter[] = R"(
Called through a link named "dumpsys" (first on PATH) it answers
  dumpsys SurfaceFlinger --list
  dumpsys SurfaceFlinger --latency NAME
  dumpsys SurfaceFlinger --timestats [-enable] [-disable] [-clear] [-dump]
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
                              --latency knows only NAME), 14qpr2 (names as 13,
                              but --list prints nothing and --latency the
                              period alone: the frames are in --timestats)
    latency_rows=             127 rows, empty slots 0 0 0 first; N (1 to 127):
                              the newest N frames at most, no empty slot
    prefix=none               unresponsive or without_lock: a latency output
                              starts with SurfaceFlinger's line for a dump it
                              could not lock...
    prefix_percent=100        ...on this share of dumps, picked by seed and time
    timeout_suffix=0          1: every output ends with dumpsys' line
                              "*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT
                              (10000ms) EXPIRED ***" after a blank line
  The phone of device-tree and device-walk:
    gpu=kgsl                  the GPU's files: kgsl (Adreno, /sys/class/kgsl),
                              exynos (/sys/kernel/gpu), devfreq (a Mali under
                              /sys/class/devfreq beside a memory bus) or none
    thermal_unit=milli        zone temperatures in m°C, deci (tenths) or degrees
    throttle_c=               off; once the hottest CPU zone reaches this many
                              °C (above 35, one decimal) the CPUs' and the GPU's
                              clocks are capped at 70 % of their top and the
                              app draws fewer frames, dumpsys included; the
                              caps hold until the zone is 3 °C below it
    throttle_fps_pct=75       the app's frame rate while throttled, % of fps
    thermal_tau_s=25          the zones' time constant: from 35 °C at rest
                              the hottest heads for 35 + 20 * fps/60 °C (fps up
                              to 120; throttled, 0.6 times the rise)
    battery_pct=80            the battery's capacity when the app starts; it
                              drains from there at 180 mA + 900 mA * fps/60
    battery_current_unit=ua   current_now in µA, or ma
    battery_current_sign=charging_positive
                              or discharging_positive: current_now's sign
    charging=0                1: a charger puts in 2500 mA (Charging, then
                              Full); hold: plugged in, Not charging
    offline_cpus=             CPUs offline, such as 7 or 2,5: "0" in cpuN/online,
                              no cpuN/cpufreq link, no cpuN line in /proc/stat
    app_threads=4             threads of the app's process (app start --process)
  app          while the app runs: its start, CLOCK_MONOTONIC ns ("app start")
  app_pid      while the app's process runs: its pid ("app start --process")
  timestats_enabled  from the first -enable until -disable: its time, ns
  timestats_reset    the last -clear or "timestats reset": its time, ns
An unknown key or a bad value is an error, for dumpsys too.

--timestats answers on every android= value; its flags act in this order:
-disable, -enable (a second one changes nothing), -clear, -dump. -dump prints
nothing until the first -enable; then SurfaceFlinger's time statistics: the
global part, counted since the enable, then a block per layer that showed
frames and render rate (refresh rate / vsyncs since its last frame), counted
since the later of the enable and the last reset, most frames first. A frame
of the app later than its pace (1e9/fps, in whole vsyncs) is janky, counted
as appUnattributedJankyFrames; the first of a schedule's stretch never is.
"perfprobe-sim timestats reset" and -clear reset the layers' counters, as
the statistics service's pull does; the global part counts on.)";

const char kAppFooter[] = R"(
start writes the start time, CLOCK_MONOTONIC ns, to $PERFPROBE_SIM_DIR/app
(through a rename); the app's layers are then listed and draw frames
from that time on. stop removes the file. --vsync-ns P --after-vsync-ns O
move the start to O ns after a vsync of a P ns panel (vsyncs fall on
multiples of P), which sets where in the vsync period its frames come.

With --process, start also runs the app as a process whose first argument is
the package (its main thread named after the package's last 15 bytes), with
app_threads threads, 30 MB touched, and 2 ms of CPU per frame it draws on
its RenderThread. It is detached (init reaps it) and its pid goes to
$PERFPROBE_SIM_DIR/app_pid once all its threads run. It ends by itself when
the app file goes or holds another start, after a day at most, or on
SIGTERM: stop sends that (SIGKILL after 5 s) and waits for its end, and a
new start ends the last start's process first.)";

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

const char kDeviceTreeFooter[] = R"(
Under ROOT: sys/devices/system/cpu (as cpu-tree, with each policy's
scaling_max_freq, the cap while throttled), sys/class/thermal (42
thermal_zoneK/{type,temp,mode,policy}, "battery" twice, and
cooling_deviceK/{type,cur_state,max_state}), the GPU of device.conf's gpu=
(kgsl: sys/class/kgsl/kgsl-3d0/{gpuclk,max_gpuclk,gpu_busy_percentage,gpubusy,
devfreq/cur_freq,devfreq/max_freq}; exynos: sys/kernel/gpu/{gpu_clock,
gpu_max_clock,gpu_busy}; devfreq: sys/class/devfreq/1f000000.mali/{cur_freq,
max_freq} and 17000010.devfreq_mif), sys/class/power_supply/battery/{capacity,
status,voltage_now,current_now,temp} and usb/, proc/stat and proc/meminfo.
Missing folders are made. Files under sys/ are replaced through a rename;
proc/stat and proc/meminfo are written over in place, so that they may be
files bind-mounted over /proc/stat and /proc/meminfo (ROOT=/ in a private
mount namespace, with tmpfs over /sys/devices/system/cpu, /sys/class and
/sys/kernel). proc/stat's counters go on from those it holds when it lists
this device's online CPUs, else from the uptime at a light load.
The values are those of the device at this moment (see device-walk).)";

const char kDeviceWalkFooter[] = R"(
Every interval it writes the device at that moment, as a function of
device.conf, the app's start and the time alone (dumpsys agrees with it):
the hottest CPU zone heats from 35 °C toward 35 + 20 * fps/60 °C while the
app draws and cools back at rest, with the time constant thermal_tau_s (25 s:
with throttle_c=45 at 60 fps it crosses 45 °C 17 s after the start, then the
caps cut the fps to 45 and the zone settles near 44 °C); the CPUs' loads follow
the app's frame rate, and their clocks the loads as schedutil would (1.25
times the busiest CPU's), with bursts to the top; the GPU's clock is the
lowest that keeps it under 85 % busy, asleep while nothing is drawn; the
battery drains (or charges) by its current, its voltage sagging by 0.12 ohm;
proc/stat's counters grow by each CPU's busy and idle ticks (USER_HZ 100)
since the last step; MemAvailable drops by the app's 0.6 to 1.2 GB.
Files under sys/ that changed are replaced through a rename, proc/ files
are written in place. gpu= and offline_cpus= keep the values the walk started
with; the rest of device.conf is read again at every step.)";

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
  bool process = false;
  appStart->add_flag("--process", process,
                     "Also run the app as a process named after its package (see below)");
  int64_t vsyncNs = 0, afterVsyncNs = 0;
  appStart->add_option("--vsync-ns", vsyncNs,
                       "Move the start to --after-vsync-ns past the latest vsync of a panel of "
                       "this period at or before it")
      ->check(CLI::Range(int64_t{1}, int64_t{1000000000}));
  appStart->add_option("--after-vsync-ns", afterVsyncNs, "See --vsync-ns; may be negative")
      ->check(CLI::Range(int64_t{-1000000000}, int64_t{1000000000}));
  CLI::App* appStop =
      app->add_subcommand("stop", "Record the app as stopped: its layers disappear");

  CLI::App* timeStats = cli.add_subcommand(
      "timestats", "The compositor's time statistics (needs PERFPROBE_SIM_DIR)");
  timeStats->require_subcommand(1);
  CLI::App* timeStatsReset = timeStats->add_subcommand(
      "reset", "Clear every layer's counters now, as the statistics service's pull does");

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

  CLI::App* deviceTree = cli.add_subcommand(
      "device-tree",
      "Write a whole phone into ROOT: CPUs, thermal zones, GPU, battery, proc/stat, proc/meminfo");
  std::string deviceRoot;
  deviceTree->add_option("ROOT", deviceRoot, "An existing folder, or / in a private namespace")
      ->required()
      ->check(CLI::ExistingDirectory);
  int deviceCpus = 8;
  deviceTree->add_option("--cpus", deviceCpus, "Number of CPUs, as for cpu-tree")
      ->check(CLI::Range(1, sim::kMaxCpus));
  deviceTree->footer(kDeviceTreeFooter);

  CLI::App* deviceWalk = cli.add_subcommand(
      "device-walk",
      "Keep the phone in ROOT moving with the app's load, heat and throttling, until "
      "SIGTERM/SIGINT or the duration");
  std::string deviceWalkRoot;
  deviceWalk->add_option("ROOT", deviceWalkRoot, "A folder made by device-tree")
      ->required()
      ->check(CLI::ExistingDirectory);
  int deviceIntervalMs = 200;
  deviceWalk->add_option("--interval-ms", deviceIntervalMs, "Time between steps")
      ->check(CLI::Range(1, 3600000));
  double deviceDuration = 0;
  deviceWalk->add_option("--duration", deviceDuration, "Seconds to run; 0 runs until stopped")
      ->check(CLI::Range(0.0, 1e9));
  std::optional<uint64_t> deviceSeed;
  deviceWalk->add_option("--seed", deviceSeed,
                         "Seed of the CPU loads' noise and bursts (default: device.conf's seed)");
  deviceWalk->footer(kDeviceWalkFooter);
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

  if (*appStart) return runAppStart(ago, process, vsyncNs, afterVsyncNs);
  if (*appStop) return runAppStop();
  if (*timeStatsReset) return runTimeStatsReset();
  if (*tree) return runCpuTree(treeRoot, cpus);
  if (*deviceTree) return runDeviceTree(deviceRoot, deviceCpus);
  if (*deviceWalk)
    return runDeviceWalk(deviceWalkRoot, deviceIntervalMs, deviceDuration, deviceSeed);
  return runCpuWalk(walkRoot, intervalMs, duration, seed);
}

}  // namespace

int main(int argc, char** argv) {
  // Started as the app's process, whatever its package is called.
  if (argc > 1 && strcmp(argv[1], kAppProcessMarker) == 0) return runAppProcess(argc, argv);
  // Installed as a link named dumpsys, it is dumpsys.
  if (argc > 0 && baseName(argv[0]) == "dumpsys") {
    return runDumpsys(std::vector<std::string>(argv + 1, argv + argc));
  }
  return runCli(argc, argv);
}
