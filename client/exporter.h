#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"
#include "metrics.h"

// Many phones at once, for Prometheus: one thread polls every device in
// parallel each interval, and the page of metrics it leaves is what a scrape
// gets, at once, whatever a device does.
namespace perfprobe {

// A device as --device gives it: NAME=HOST[:PORT] or NAME=adb:SERIAL.
struct Target {
  std::string name;
  std::string host;  // empty through adb
  int port = 0;
  std::optional<std::string> adbSerial;

  bool operator==(const Target& other) const {
    return name == other.name && host == other.host && port == other.port &&
           adbSerial == other.adbSerial;
  }
};
// Nullopt, with why, for an argument that is not one. [v6]:port is read too.
std::optional<Target> parseTarget(const std::string& given, int defaultPort, std::string* why);

// ADDR:PORT for --listen; "" for the address means every one.
bool parseListen(const std::string& given, std::string* host, int* port, std::string* why);

struct ExporterOptions {
  std::vector<Target> targets;
  std::string package;  // empty: no collection, no frame figures
  double intervalS = 1;
  int timeoutMs = 500;
  int retries = 3;
};

class Poller {
 public:
  explicit Poller(const ExporterOptions& options);
  ~Poller();

  // One poll of every device: it returns once each has answered or had its
  // tries, within the interval.
  void poll();
  // The page of the last poll.
  std::shared_ptr<const std::string> page() const;
  // Stops every device's collection (with --package), each with its tries.
  // Returns how many confirmed.
  size_t stopCollections();

  size_t size() const;

 private:
  struct Device;
  using OnReply =
      std::function<void(Device&, std::string& reply, std::chrono::steady_clock::time_point at)>;
  // Sends every wanted request of every device, again when its try ran out,
  // and hands each reply to onReply, until each is answered or has had its
  // tries, or the limit.
  void exchange(std::chrono::steady_clock::time_point limit,
                std::chrono::steady_clock::duration timeout, const OnReply& onReply);
  void publish();

  ExporterOptions options_;
  std::vector<std::unique_ptr<Device>> devices_;
  mutable std::mutex mutex_;
  std::shared_ptr<const std::string> page_;
};

// Serves /metrics on ADDR:PORT and polls until SIGINT or SIGTERM; then stops
// the collections. The exit status.
int runExporter(const ExporterOptions& options, const std::string& listen);

}  // namespace perfprobe
