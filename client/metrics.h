#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "replies.h"

// The exporter's metrics in Prometheus' text exposition format: every series
// with its device label, in base units. Pure, so that tests render any reply.
namespace perfprobe {

struct FamilyInfo {
  std::string name;
  const char* type;  // gauge, counter, histogram
  std::string help;
};

// The exporter's own families, first on the page.
enum OwnFamily : size_t { kUp, kRequestDuration, kRequests, kRequestFailures, kOwnFamilies };

// Every family of the page, in its order: the exporter's own, then each
// exported row of the catalog's, in the catalog's order.
const std::vector<FamilyInfo>& families();

// One device's sample lines, each ending in "\n", by family.
using Samples = std::vector<std::string>;

// The request-latency histogram's upper bounds, in seconds (+Inf follows).
constexpr std::array<double, 11> kLatencyBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                    0.1,   0.25,   0.5,   1,    2.5};

// What the exporter counts of one device's requests.
struct RequestCounts {
  uint64_t requests = 0;
  uint64_t failures = 0;
  std::array<uint64_t, kLatencyBuckets.size() + 1> buckets{};  // not cumulative; last: +Inf
  double latencySum = 0;
  uint64_t latencyCount = 0;

  void observe(double seconds);
};

// `device="NAME"` with the value escaped as the format asks.
std::string deviceLabel(const std::string& device);

// perfprobe_up and the request figures, which a device has even when down.
void renderRequests(const std::string& label, bool up, const RequestCounts& counts, Samples* out);
// The figures of a GET_STATS reply; a value that is NA has no sample.
void renderStats(const std::string& label, const Reading& stats, Samples* out);
// The figures of a GET_FRAMESTATS reply.
void renderFrames(const std::string& label, const Reading& frames, Samples* out);

// The whole page: each family's HELP and TYPE, then its samples from every
// device in turn; families without a sample are left out.
std::string exposition(const std::vector<const Samples*>& devices);

}  // namespace perfprobe
