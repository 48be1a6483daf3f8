#pragma once

#include <stdint.h>

#include <memory>
#include <string>

class PackagePattern;

// The device statistics of GET_STATS: a snapshot of the device read at each
// request, one "name value" line per field of fields.h, "NA" for what
// cannot be read. The loads and CPU shares are since the previous sample,
// which it keeps with the folder listings and buffers that spare later
// samples their cost. The daemon keeps one for its life; a test or a
// benchmark makes a fresh one.
class DeviceStats {
 public:
  // Every path is read below root ("" on a device).
  explicit DeviceStats(const std::string& root = "");
  ~DeviceStats();
  DeviceStats(const DeviceStats&) = delete;
  DeviceStats& operator=(const DeviceStats&) = delete;

  // The reply. app is the running collection's package pattern, or null
  // while idle, and collection tells one collection from the next, so that
  // the shares of one are never taken against the processes of another.
  // nowNs is the time of the sample on the monotonic clock.
  std::string read(const PackagePattern* app, uint64_t collection, uint64_t nowNs);

 private:
  class Sampler;
  const std::unique_ptr<Sampler> sampler_;
};
