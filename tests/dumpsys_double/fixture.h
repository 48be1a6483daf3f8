#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "dumpsys_double/latency.h"

// What a test sets up for the dumpsys double: its fixture folder and the
// latency outputs it replays.
namespace dumpsys_double {

// The dumpsys test double's fixture folder, made afresh for each test and
// named to the daemon through its environment.
class Fixture {
 public:
  Fixture();
  ~Fixture();

  void setListing(const std::string& bytes);
  void setLatency(const std::string& layerName, const std::string& output);
  // The time statistics' dump.
  void setTimeStats(const std::string& dump);
  // command is "list", "latency" or "timestats".
  void setMode(const std::string& command, const std::string& mode);
  void setDelayMs(const std::string& command, int ms);

  // Every call so far, each as its arguments.
  std::vector<std::vector<std::string>> calls() const;
  void clearCalls();
  // The pids of every hung double and its child.
  std::vector<pid_t> hungPids() const;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

}  // namespace dumpsys_double
