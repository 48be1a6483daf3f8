// perfprobe: the host-side client of perfprobed.
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <string>

#include "channel.h"
#include "monitor.h"
#include "replies.h"

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
bool isSuccess(const std::string& reply) { return reply == kSuccess; }

int printCpus(Channel& channel) {
  const auto reply = channel.ask(kGetSimple, [](const std::string& r) {
    return parseCpuReport(r).has_value();
  });
  if (!reply) {
    fprintf(stderr, "perfprobe: %s\n", channel.noReplyMessage().c_str());
    return kNoReply;
  }
  const std::vector<Khz> cpus = byCpuNumber(*parseCpuReport(*reply));
  if (cpus.empty()) {
    printf("no CPU listed yet: a start (%s) makes the daemon list them\n", kInitialization);
  }
  for (size_t i = 0; i < cpus.size(); ++i) {
    if (cpus[i]) {
      printf("cpu%zu %llu kHz\n", i, static_cast<unsigned long long>(*cpus[i]));
    } else {
      printf("cpu%zu NA\n", i);
    }
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "perfprobe: asks perfprobed, over UDP, for the CPU frequencies and the frame rate of "
      "an app's layers."};
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
  app.fallthrough();
  app.footer(
      "Exit status: 0 when the daemon answered, 2 when no reply came, 1 on a usage or other "
      "error.\nCommand help: perfprobe COMMAND --help");

  auto* ping = app.add_subcommand("ping", "checks that the daemon answers (" + std::string(kConnectDaemon) + ")");
  auto* cpu = app.add_subcommand(
      "cpu", "prints every CPU's current frequency in kHz, by CPU number (" + std::string(kGetSimple) + ")");
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
          ", from a daemon without them) and the CPU frequencies every interval, and stops the "
          "collection at the end or on Ctrl-C");
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
                      "writes time_s,fps,...,cpu0_khz,... to FILE, NA where a value is missing")
      ->type_name("FILE");
  monitor->add_flag("--json", monitorOptions.json,
                    "one JSON object per sample instead of the live line, then the summary");
  monitor->add_option("--plot", monitorOptions.plotPath,
                      "renders FPS, frame times with the jank marked and CPU frequencies over "
                      "time to FILE.png (gnuplot)")
      ->type_name("FILE.png");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kError;
  }

  Channel channel(options);
  if (!channel.ok()) {
    fprintf(stderr, "perfprobe: %s\n", channel.error().c_str());
    return kError;
  }
  if (*ping) return askAndPrint(channel, kConnectDaemon, isSuccess);
  if (*cpu) return printCpus(channel);
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
