#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

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
  // command is "list" or "latency".
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

// A latency output as a device prints it: the refresh period line, then one
// timing line per second given; a line whose second is 0 is "0\t0\t0".
std::string latencyOutput(const std::vector<unsigned long long>& seconds);
// A latency output of `fps` frames per second: fps + 1 lines in second 100
// after one in second 99, then a line in second 101.
std::string latencyAtRate(int fps);

}  // namespace dumpsys_double
