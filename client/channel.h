#pragma once

#include <signal.h>

#include <functional>
#include <optional>
#include <string>

#include "protocol.h"
#include "scoped_resource.h"

namespace perfprobe {

// One UDP socket connected to the daemon. UDP loses datagrams, so every
// request has a timeout and is sent again up to `retries` times.
class Channel {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = kPort;
    int timeoutMs = 500;
    int retries = 3;
  };

  // Resolves and connects; on failure the reason is in error().
  explicit Channel(const Options& options);
  bool ok() const { return static_cast<bool>(fd_); }
  const std::string& error() const { return error_; }

  // Sends the request and returns the first reply that `accept` takes. A
  // reply it refuses (a late answer to an earlier request, or bytes that do
  // not parse) is reported on standard error and skipped. Nullopt when no
  // try got an accepted reply; noReplyMessage() then says why.
  using Accept = std::function<bool(const std::string&)>;
  std::optional<std::string> ask(const std::string& request, const Accept& accept);
  // The same with a budget of its own, for a request that an older daemon
  // never answers: noReplyMessage() still tells the options' budget.
  std::optional<std::string> ask(const std::string& request, const Accept& accept, int timeoutMs,
                                 int retries);

  // One line naming the host and port, what was tried and what to check.
  std::string noReplyMessage() const;

  const Options& options() const { return options_; }

  // While *cancel is set, ask gives up at once (a Ctrl-C in a monitor).
  void setCancel(const volatile sig_atomic_t* cancel) { cancel_ = cancel; }

 private:
  void drain();

  Options options_;
  ScopedFile fd_;
  std::string error_;
  bool refused_ = false;
  const volatile sig_atomic_t* cancel_ = nullptr;
};

}  // namespace perfprobe
