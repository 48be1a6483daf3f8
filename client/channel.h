#pragma once

#include <signal.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link.h"
#include "protocol.h"
#include "scoped_resource.h"

namespace perfprobe {

// A UDP socket connected to the daemon.
class UdpLink : public Link {
 public:
  // Resolves and connects; on failure ok() is false and error() says why.
  UdpLink(const std::string& host, int port);
  bool ok() const { return static_cast<bool>(fd_); }
  const std::string& error() const { return error_; }

  int fd() const override { return fd_.get(); }
  void send(const std::string& request) override;
  void receive(std::vector<std::string>* datagrams) override;
  std::string where() const override;
  std::string advice() const override;

 private:
  std::string host_;
  int port_;
  ScopedFile fd_;
  std::string error_;
};

// The daemon, over UDP or through adb. UDP loses datagrams, so every request
// has a timeout and is sent again up to `retries` times; through adb, the
// same budget holds.
class Channel {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = kPort;
    int timeoutMs = 500;
    int retries = 3;
    // Through adb to this device ("" when adb has only one) rather than
    // over the network.
    std::optional<std::string> adb;
  };

  // Resolves and connects, or finds the device and starts the relay; on
  // failure the reason is in error().
  explicit Channel(const Options& options);
  bool ok() const { return link_ != nullptr; }
  const std::string& error() const { return error_; }
  // The link ended (adb exited): no request can be answered any more.
  bool lost() const { return link_ != nullptr && link_->lost(); }
  // What a recording names as the device: "10.0.0.2", "adb:R58N".
  std::string deviceName() const;

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

  // One line naming the host and port (or the device), what was tried and
  // what to check.
  std::string noReplyMessage() const;

  const Options& options() const { return options_; }

  // While *cancel is set, ask gives up at once (a Ctrl-C in a monitor).
  void setCancel(const volatile sig_atomic_t* cancel) { cancel_ = cancel; }

 private:
  Options options_;
  std::string serial_;
  std::unique_ptr<Link> link_;
  std::string error_;
  const volatile sig_atomic_t* cancel_ = nullptr;
};

}  // namespace perfprobe
