#pragma once

#include <stddef.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"
#include "replies.h"
#include "series.h"

// Where a monitor's series come from: each source asks the daemon for its
// own reply once per sample and gives a value for each of its series.
namespace perfprobe {

// How a source asks the daemon: Channel::ask in the monitor, replies written
// out in the tests.
using Ask = std::function<std::optional<std::string>(const std::string& request,
                                                     const Channel::Accept& accept)>;

class Source {
 public:
  virtual ~Source() = default;
  // Once the collection has started: the kinds this source fills and their
  // series, without values. It may ask first (the CPUs are those of the
  // first report). Nullopt when the daemon did not answer.
  virtual std::optional<std::vector<Kind>> start(const Ask& ask) = 0;
  // One sample: a value for each series, in the order of start's kinds.
  // Nullopt when the daemon did not answer.
  virtual std::optional<std::vector<Value>> sample(const Ask& ask) = 0;
};

// The monitor's sources, in the order of the outputs: the frames, then the
// CPUs and the rest of the device. `probe` asks once, at the start, whether
// the daemon gives frame statistics (GET_FRAMESTATS) and the device's
// figures (GET_STATS): with a short wait and no retry, since an older daemon
// never answers. Then the frames are those statistics; without a reply, or
// without a probe, they are the rate of GET_FPS. And the device is GET_STATS'
// (deviceStatsKinds); without a reply, or without a probe, it is the CPU
// frequencies of GET_SIMPLE alone.
std::vector<std::unique_ptr<Source>> monitorSources(Ask probe = nullptr);

// The kinds of the sources, each a row of the catalog: the frame rate of
// GET_FPS; one series per CPU of GET_SIMPLE, by CPU number; the frame
// statistics of GET_FRAMESTATS, one series for each number of the reply;
// the figures of GET_STATS, whose CPUs, clusters and thermal zones are
// those of the first reply. Catalog rows that make no series (a text, the
// CPUs' maxima that the clusters' stand for) have no kind.
Kind fpsKind();
Kind cpuKind(size_t count);
std::vector<Kind> frameStatsKinds();
std::vector<Kind> deviceStatsKinds(const Reading& first);

// Every source of a monitor, asked in turn; their series form one row.
class Sources {
 public:
  explicit Sources(std::vector<std::unique_ptr<Source>> sources);
  // Every source's kinds, in order; nullopt when one had no reply.
  std::optional<std::vector<Kind>> start(const Ask& ask);
  // A value for each series of start's kinds, missing where a source had no
  // reply; `answered` says whether any source had one.
  std::vector<Value> sample(const Ask& ask, bool* answered);

 private:
  std::vector<std::unique_ptr<Source>> sources_;
  std::vector<size_t> counts_;  // each source's series, from start
};

}  // namespace perfprobe
