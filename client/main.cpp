// perfprobe: the host-side client of perfprobed.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "adb.h"
#include "channel.h"
#include "deploy.h"
#ifdef PERFPROBE_EXPORTER
#include "exporter.h"
#endif
#include "device_stats.h"
#include "html_report.h"
#include "monitor.h"
#include "recording.h"
#include "relay.h"
#include "replies.h"
#include "scoped_resource.h"

namespace {

using namespace perfprobe;

enum Status { kOk = 0, kError = 1, kNoReply = 2 };

// Sends one request and prints the reply as it came; kNoReply when none came.
int askAndPrint(Channel& channel, const std::string& request, const Channel::Accept& accept) {
  const auto reply = channel.ask(request, accept);
  if (!reply) {
    fprintf(stderr, "perfprobe: %s\n", channel.noReplyMessage().c_str());
    return kNoReply;
  }
  fwrite(reply->data(), 1, reply->size(), stdout);
  fputc('\n', stdout);
  return kOk;
}

bool anyReply(const std::string&) { return true; }

// The loads of a GET_STATS reply are since the daemon's previous one, which
// may be long ago or never: a second reply this long after the first gives
// the loads of now.
constexpr std::chrono::milliseconds kLoadWindow(250);

// GET_STATS' reply to a distant peer is held to three times the request.
const std::string& statsRequest() {
  static const std::string request = paddedRequest(kGetStats);
  return request;
}

// Once a first GET_STATS reply has come, the second, kLoadWindow later;
// nullopt, after saying so, when it does not come.
std::optional<Reading> statsAfterWindow(Channel& channel) {
  std::this_thread::sleep_for(kLoadWindow);
  const auto reply = channel.ask(statsRequest(), isDeviceStats);
  if (!reply) {
    fprintf(stderr, "perfprobe: %s\n", channel.noReplyMessage().c_str());
    return std::nullopt;
  }
  return parseDeviceStats(*reply);
}

// The CPU frequencies of GET_SIMPLE, from a daemon without GET_STATS.
int printSimpleCpus(Channel& channel) {
  const auto isReport = [](const std::string& r) { return parseCpuReport(r).has_value(); };
  auto reply = channel.ask(kGetSimple, isReport);
  // The daemon lists its CPUs at a start; a bare INITIALIZATION, without a
  // package, lists them and starts no collection.
  if (reply && parseCpuReport(*reply)->empty() && channel.ask(kInitialization, isSuccess)) {
    reply = channel.ask(kGetSimple, isReport);
  }
  if (!reply) {
    fprintf(stderr, "perfprobe: %s\n", channel.noReplyMessage().c_str());
    return kNoReply;
  }
  const std::vector<Khz> cpus = byCpuNumber(*parseCpuReport(*reply));
  if (cpus.empty()) printf("the daemon lists no CPU\n");
  for (size_t i = 0; i < cpus.size(); ++i) {
    if (cpus[i]) {
      printf("cpu%zu %llu kHz\n", i, static_cast<unsigned long long>(*cpus[i]));
    } else {
      printf("cpu%zu NA\n", i);
    }
  }
  return kOk;
}

int printCpus(Channel& channel) {
  // One try, as monitor probes: a daemon without GET_STATS never answers it.
  if (!channel.ask(statsRequest(), isDeviceStats, channel.options().timeoutMs, 0)) {
    return printSimpleCpus(channel);
  }
  const auto stats = statsAfterWindow(channel);
  if (!stats) return kNoReply;
  fputs(cores(*stats).empty() ? "the daemon finds no CPU\n" : cpuTable(*stats).c_str(), stdout);
  return kOk;
}

int printStats(Channel& channel, bool json) {
  if (!channel.ask(statsRequest(), isDeviceStats)) {
    // A daemon older than GET_STATS answers the rest.
    if (channel.ask(kConnectDaemon, isSuccess, channel.options().timeoutMs, 0)) {
      fprintf(stderr,
              "perfprobe: the daemon answers %s but not %s: it is older than that request\n",
              kConnectDaemon, kGetStats);
    } else {
      fprintf(stderr, "perfprobe: %s\n", channel.noReplyMessage().c_str());
    }
    return kNoReply;
  }
  const auto stats = statsAfterWindow(channel);
  if (!stats) return kNoReply;
  fputs((json ? statsJson(*stats) : statsText(*stats)).c_str(), stdout);
  return kOk;
}

std::optional<std::string> readFile(const std::string& path, std::string* why) {
  ScopedStream f(fopen(path.c_str(), "re"));
  if (!f) {
    *why = strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  if (ferror(f.get())) {
    *why = strerror(errno);
    return std::nullopt;
  }
  return text;
}

// Writes the whole text beside `path`, then puts it in its place, so that a
// failed write leaves no half page where an older one was.
bool writeFile(const std::string& path, const std::string& text, std::string* why) {
  const std::string temporary = path + ".tmp";
  ScopedStream f(fopen(temporary.c_str(), "we"));
  if (!f) {
    *why = strerror(errno);
    return false;
  }
  const bool written = fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  const bool closed = fclose(f.release()) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    *why = strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// At most this many warnings of one recording are shown: a damaged file may
// give one for each of thousands of lines.
constexpr size_t kWarningsShown = 10;

int writeReport(const std::vector<std::string>& files, const std::string& output) {
  std::vector<Recording> recordings;
  for (const std::string& file : files) {
    std::string why;
    const auto text = readFile(file, &why);
    if (!text) {
      fprintf(stderr, "perfprobe: %s: %s\n", file.c_str(), why.c_str());
      return kError;
    }
    // Named by the file, or by the path where two files share a name.
    std::string name = baseName(file);
    for (const std::string& other : files) {
      if (&other != &file && baseName(other) == name) name = file;
    }
    std::vector<std::string> warnings;
    auto rec = parseRecording(*text, name, &warnings, &why);
    if (!rec) {
      fprintf(stderr, "perfprobe: %s: %s\n", file.c_str(), why.c_str());
      return kError;
    }
    for (size_t i = 0; i < warnings.size() && i < kWarningsShown; ++i) {
      fprintf(stderr, "perfprobe: warning: %s: %s\n", file.c_str(), warnings[i].c_str());
    }
    if (warnings.size() > kWarningsShown) {
      fprintf(stderr, "perfprobe: warning: %s: and %zu more\n", file.c_str(),
              warnings.size() - kWarningsShown);
    }
    recordings.push_back(std::move(*rec));
  }
  const time_t now = time(nullptr);
  tm parts;
  gmtime_r(&now, &parts);
  char generated[32];
  strftime(generated, sizeof generated, "%Y-%m-%d %H:%M:%S UTC", &parts);
  std::string why;
  if (!writeFile(output, reportHtml(recordings, generated), &why)) {
    fprintf(stderr, "perfprobe: %s: %s\n", output.c_str(), why.c_str());
    return kError;
  }
  printf("Report: %s\n", output.c_str());
  return kOk;
}

}  // namespace

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
  app.fallthrough();
  app.footer(
      "Exit status: 0 when the daemon answered, 2 when no reply came (or monitor's --columns "
      "named no column of its), 1 on a usage or other error.\nCommand help: perfprobe COMMAND "
      "--help");

  auto* ping = app.add_subcommand("ping", "checks that the daemon answers (" + std::string(kConnectDaemon) + ")");
  auto* cpu = app.add_subcommand(
      "cpu", "prints every CPU's clock, maximum, cluster and load, by CPU number (" +
                 std::string(kGetStats) +
                 " twice, 250 ms apart for the load; the clock alone, " + kGetSimple +
                 ", from a daemon without it)");
  bool statsJsonFlag = false;
  auto* stats = app.add_subcommand(
      "stats", "prints the device's figures: the CPUs, GPU, battery, memory, the app that a "
               "collection follows, the daemon's own cost and every thermal zone, hottest "
               "first (" + std::string(kGetStats) + " twice, 250 ms apart for the loads)");
  stats->add_flag("--json", statsJsonFlag,
                  "one JSON object of the reply's names: numbers, null for NA, strings for the "
                  "battery's status and the GPU's source");
  std::string pattern;
  auto* start = app.add_subcommand(
      "start",
      "starts a collection for the layers whose names match PKG (" + std::string(kInitialization) +
          ":PKG); a collection that runs already keeps its own pattern");
  start->add_option("PKG", pattern, "package name, a POSIX basic regular expression")
      ->type_name("")
      ->required();
  auto* fps = app.add_subcommand("fps", "prints the last published frame rate (" + std::string(kGetFps) + ")");
  auto* stop = app.add_subcommand("stop", "stops the collection (" + std::string(kStopCollect) + ")");
  std::string text;
  auto* send = app.add_subcommand(
      "send",
      "sends TEXT as it is and prints the reply as it came (a request whose reply is limited "
      "beyond loopback is padded with spaces to fit)");
  send->add_option("TEXT", text, "the request")->type_name("")->required();

  MonitorOptions monitorOptions;
  auto* monitor = app.add_subcommand(
      "monitor",
      "starts a collection for PKG, samples the frame statistics (" + std::string(kGetFrameStats) +
          "; the frame rate, " + std::string(kGetFps) +
          ", from a daemon without them) and the device's figures (" + kGetStats +
          "; the CPU frequencies, " + kGetSimple +
          ", from a daemon without it) every interval, and stops the collection at the end or "
          "on Ctrl-C");
  monitor->add_option("PKG", monitorOptions.pattern,
                      "package name, a POSIX basic regular expression")
      ->type_name("")
      ->required();
  monitor->add_option("--interval", monitorOptions.intervalS, "seconds between samples")
      ->type_name("S")
      ->check(CLI::Range(0.05, 3600.0))
      ->capture_default_str();
  monitor->add_option("--duration", monitorOptions.durationS, "seconds to run; 0: until Ctrl-C")
      ->type_name("S")
      ->check(CLI::Range(0.0, 1e7))
      ->capture_default_str();
  monitor->add_option("--csv", monitorOptions.csvPath,
                      "writes time_s,fps,...,cpu0_khz,... and every figure of " +
                          std::string(kGetStats) +
                          " to FILE, NA where a value is missing")
      ->type_name("FILE");
  monitor->add_option("--columns", monitorOptions.columns,
                      "the live line's fields, by their CSV column names: "
                      "fps,cpu_load_pct,temp_hottest_c")
      ->type_name("A,B,C");
  monitor->add_option("--record", monitorOptions.recordPath,
                      "records every sample of every series, the markers and the summary to "
                      "FILE (JSON lines), for perfprobe report")
      ->type_name("FILE");
  monitor->add_flag("--mark", monitorOptions.mark,
                    "takes each line on standard input as a marker at that moment, labelled "
                    "with the line (\"boss fight\"; an empty line is numbered), for the "
                    "recording and its report");
  monitor->add_flag("--json", monitorOptions.json,
                    "one JSON object per sample instead of the live line, then the summary");
  monitor->add_option("--plot", monitorOptions.plotPath,
                      "renders FPS, frame times with the jank marked, CPU frequencies, and "
                      "the load, GPU frequency, temperatures and battery power over time to "
                      "FILE.png (gnuplot)")
      ->type_name("FILE.png");

  std::vector<std::string> reportFiles;
  std::string reportOutput = "report.html";
  auto* report = app.add_subcommand(
      "report",
      "turns one or more recordings (monitor --record) into one HTML page that opens offline: "
      "a summary table and zoomable charts on one time axis, the recordings side by side");
  report->add_option("FILE", reportFiles, "a recording")->type_name("")->required();
  report->add_option("-o,--output", reportOutput, "the page to write")
      ->type_name("FILE.html")
      ->capture_default_str();

  DeployOptions deployOptions;
  auto* deployCommand = app.add_subcommand(
      "deploy",
      "puts perfprobed and the device's perfprobe on the phone through adb (" +
          std::string(kDeviceDir) + "), starts the daemon unless one answers already and waits "
          "until it answers " + kConnectDaemon);
  deployCommand->add_option("--serial", deployOptions.serial,
                            "the device, as `adb devices` lists it (default: ANDROID_SERIAL, or "
                            "the only one)")
      ->type_name("SERIAL");
  deployOptions.from = PERFPROBE_DEVICE_BUILD;
  deployCommand->add_option("--from", deployOptions.from,
                            "the folder of the AArch64 perfprobed and perfprobe")
      ->type_name("DIR")
      ->capture_default_str();

#ifdef PERFPROBE_EXPORTER
  ExporterOptions exporterOptions;
  std::string listen = "127.0.0.1:9464";
  std::vector<std::string> deviceArgs;
  auto* exporter = app.add_subcommand(
      "exporter",
      "watches many devices for Prometheus: polls each every interval, in parallel (" +
          std::string(kGetStats) + ", and " + kGetFrameStats +
          " with --package), and serves the figures at http://ADDR:PORT/metrics, each series "
          "labelled with its device");
  exporter->add_option("--listen", listen, "where to serve /metrics")
      ->type_name("ADDR:PORT")
      ->capture_default_str();
  exporter->add_option("--device", deviceArgs,
                       "a device to watch, named for its label: NAME=HOST[:PORT] over the "
                       "network, NAME=adb:SERIAL over USB; once per device")
      ->type_name("NAME=WHERE")
      ->required();
  exporter->add_option("--package", exporterOptions.package,
                       "starts a collection for PKG on every device (again when a daemon "
                       "restarts), exports its frame figures, and stops it on exit")
      ->type_name("PKG");
  exporter->add_option("--interval", exporterOptions.intervalS,
                       "seconds between polls; the scrape interval, or shorter")
      ->type_name("S")
      ->check(CLI::Range(0.1, 3600.0))
      ->capture_default_str();
#endif

  auto* relay = app.add_subcommand(
      "relay",
      "on the device: relays framed requests from standard input to the daemon on 127.0.0.1 "
      "and its replies to standard output (what --adb runs there)");

  // --adb takes a serial only before the command: after it, the next word
  // is the command's own (monitor --adb com.example.game), so there --adb
  // stands alone, as it does before the command's name.
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto commands = app.get_subcommands([](CLI::App*) { return true; });
  const auto isCommand = [&commands](const std::string& word) {
    return std::any_of(commands.begin(), commands.end(),
                       [&word](const CLI::App* c) { return c->get_name() == word; });
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

  // The commands that ask no daemon themselves, or not through the channel.
  if (*report) return writeReport(reportFiles, reportOutput);
  if (*relay) return runRelay(options.port, STDIN_FILENO, STDOUT_FILENO);
  if (*deployCommand) {
    deployOptions.port = options.port;
    deployOptions.timeoutMs = options.timeoutMs;
    deployOptions.retries = options.retries;
    if (deployOptions.serial.empty()) deployOptions.serial = adbSerial;
    return deploy(deployOptions);
  }
  if (*adb) options.adb = adbSerial;
#ifdef PERFPROBE_EXPORTER
  if (*exporter) {
    std::string why;
    if (!exporterOptions.package.empty() && !startRequest(exporterOptions.package, &why)) {
      fprintf(stderr, "perfprobe: %s\n", why.c_str());
      return kError;
    }
    for (const std::string& given : deviceArgs) {
      auto target = parseTarget(given, options.port, &why);
      if (!target) {
        fprintf(stderr, "perfprobe: %s\n", why.c_str());
        return kError;
      }
      for (const Target& other : exporterOptions.targets) {
        if (other.name == target->name) {
          fprintf(stderr, "perfprobe: --device %s: the name %s is taken by another device\n",
                  given.c_str(), target->name.c_str());
          return kError;
        }
      }
      exporterOptions.targets.push_back(std::move(*target));
    }
    exporterOptions.timeoutMs = options.timeoutMs;
    exporterOptions.retries = options.retries;
    return runExporter(exporterOptions, listen);
  }
#endif

  Channel channel(options);
  if (!channel.ok()) {
    fprintf(stderr, "perfprobe: %s\n", channel.error().c_str());
    return kError;
  }
  if (*ping) return askAndPrint(channel, kConnectDaemon, isSuccess);
  if (*cpu) return printCpus(channel);
  if (*stats) return printStats(channel, statsJsonFlag);
  if (*fps) {
    return askAndPrint(channel, kGetFps, [](const std::string& r) { return parseFps(r).has_value(); });
  }
  if (*stop) return askAndPrint(channel, kStopCollect, isSuccess);
  if (*send) {
    const int status = askAndPrint(channel, paddedRequest(text), anyReply);
    if (status == kNoReply && !holdsKeyword(text)) {
      fprintf(stderr, "perfprobe: the request holds no keyword, and the daemon answers "
                      "none without one\n");
    }
    return status;
  }
  if (*start) {
    std::string why;
    const auto request = startRequest(pattern, &why);
    if (!request) {
      fprintf(stderr, "perfprobe: %s\n", why.c_str());
      return kError;
    }
    return askAndPrint(channel, *request, isSuccess);
  }
  if (*monitor) return runMonitor(channel, monitorOptions);
  return kError;
}
