#include <stdio.h>

#include <vector>

#include "command.h"
#include "common.h"
#include "device_stats.h"
#include "replies.h"

namespace perfprobe {
namespace {

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
    printError(channel.noReplyMessage());
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

class Cpu : public DaemonCommand {
 public:
  Cpu()
      : DaemonCommand("cpu",
                      "prints every CPU's clock, maximum, cluster and load, by CPU number (" +
                          std::string(kGetStats) +
                          " twice, 250 ms apart for the load; the clock alone, " + kGetSimple +
                          ", from a daemon without it)") {}

 protected:
  int runWith(Channel& channel) override {
    // One try, as monitor probes: a daemon without GET_STATS never answers it.
    if (!channel.ask(statsRequest(), isDeviceStats, channel.options().timeoutMs, 0)) {
      return printSimpleCpus(channel);
    }
    const auto stats = statsAfterWindow(channel);
    if (!stats) return kNoReply;
    fputs(cores(*stats).empty() ? "the daemon finds no CPU\n" : cpuTable(*stats).c_str(), stdout);
    return kOk;
  }
};

}  // namespace

std::unique_ptr<Command> cpuCommand() { return std::make_unique<Cpu>(); }

}  // namespace perfprobe
