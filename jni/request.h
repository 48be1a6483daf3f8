#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "stats/stats.h"

// The package field of a kInitialization request: its second ":"-separated
// field, split as strtok splits (runs of ":" count as one, empty fields do not
// exist), verbatim; none when the text has fewer than two fields.
std::optional<std::string> packageField(const std::string& text);

// The daemon's side of the protocol: an action for each row of kRequests,
// and what the actions keep between requests beside the module state of
// the CPU sampler and the collector. The daemon has one for its life.
class RequestHandler {
 public:
  // Performs the action of one received datagram of len bytes from peer (an
  // IPv4 address in host byte order). Returns false when the request gets
  // no reply; otherwise *reply holds the reply's bytes.
  bool handleRequest(const char* buf, size_t len, uint32_t peer, std::string* reply);

  // The actions: each takes the request text and returns the reply.
  std::string initializationReply(const std::string& recvStr);
  std::string successReply(const std::string& recvStr);
  std::string cpuFreqReply(const std::string& recvStr);
  std::string fpsReply(const std::string& recvStr);
  std::string stopCollectReply(const std::string& recvStr);
  std::string frameStatsReply(const std::string& recvStr);
  std::string statsReply(const std::string& recvStr);

 private:
  DeviceStats deviceStats_;
};
