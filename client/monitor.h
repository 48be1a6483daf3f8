#pragma once

#include <optional>
#include <string>

#include "channel.h"

namespace perfprobe {

struct MonitorOptions {
  std::string pattern;
  double intervalS = 1.0;
  double durationS = 0;  // 0: until Ctrl-C
  std::string csvPath;
  std::string plotPath;
  // The recording (JSON lines) that `perfprobe report` reads.
  std::string recordPath;
  // Each line on standard input is a marker, labelled with the line, at the
  // moment it came.
  bool mark = false;
  bool json = false;
  // The CSV columns the live line shows, joined by ','; none: as the
  // sources chose.
  std::optional<std::string> columns;
};

// Starts a collection of `pattern`, samples the frames (the frame
// statistics, or the frame rate from a daemon without them) and the device
// (GET_STATS, or the CPU frequencies from a daemon without it) every
// interval, and always stops the collection on the way out. Returns the
// exit status: 0, 1 on a local failure, 2 when the daemon did not answer or
// --columns named a column that the sources do not have.
int runMonitor(Channel& channel, const MonitorOptions& options);

}  // namespace perfprobe
