#include "channel.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "adb.h"
#include "relay.h"

namespace perfprobe {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxReply = 65536;
// How long adb may take to start the relay on the device.
constexpr int kStartBudgetMs = 15000;

// A reply as it can be shown on one line: printable ASCII kept, the rest
// escaped, and long replies cut.
std::string printable(const std::string& bytes) {
  constexpr size_t kShown = 80;
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  if (bytes.size() > kShown) text += "...";
  return text;
}

}  // namespace

UdpLink::UdpLink(const std::string& host, int port) : host_(host), port_(port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    error_ = "cannot resolve " + host + ": " + gai_strerror(rc);
    return;
  }
  // The daemon listens on IPv4 only, so a name with both kinds of address
  // is reached through its IPv4 one.
  std::vector<const addrinfo*> candidates;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) candidates.push_back(a);
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) candidates.push_back(a);
  }
  for (const addrinfo* a : candidates) {
    ScopedFile fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    // Connected, so that the kernel passes on only datagrams from the
    // daemon's address and reports a refused port.
    if (fd && connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) {
      fd_ = std::move(fd);
      break;
    }
    error_ = "cannot reach " + host + " port " + service + ": " + strerror(errno);
  }
  freeaddrinfo(found);
  if (fd_) error_.clear();
}

void UdpLink::send(const std::string& request) {
  if (::send(fd_.get(), request.data(), request.size(), MSG_DONTWAIT) < 0 &&
      errno == ECONNREFUSED) {
    refused_ = true;
  }
}

void UdpLink::receive(std::vector<std::string>* datagrams) {
  // One buffer for the thread, not one for each call: the exporter receives
  // from every device every second.
  static thread_local std::vector<char> buf(kMaxReply);
  for (;;) {
    const ssize_t n = recv(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n >= 0) {
      if (datagrams != nullptr) datagrams->emplace_back(buf.data(), static_cast<size_t>(n));
      continue;
    }
    // Nothing listens there yet: the daemon may be starting, so a try still
    // runs its course.
    if (errno == ECONNREFUSED) {
      refused_ = true;
      continue;
    }
    if (errno != EINTR) return;
  }
}

std::string UdpLink::where() const {
  return host_ + " port " + std::to_string(port_) + " (UDP)";
}

std::string UdpLink::advice() const {
  if (refused_) return "nothing listens there (port unreachable); check that perfprobed runs";
  return "check that perfprobed runs on the device, that " + host_ +
         " is the device's address and that UDP port " + std::to_string(port_) +
         " is reachable from here (over USB: --adb)";
}

Channel::Channel(const Options& options) : options_(options) {
  if (options.adb) {
    const auto serial = findDevice(*options.adb, &error_);
    if (!serial) return;
    serial_ = *serial;
    link_ = std::make_unique<RelayLink>(serial_, options.port);
    if (link_->lost()) {
      error_ = link_->lostReason();
      link_.reset();
    }
    return;
  }
  auto udp = std::make_unique<UdpLink>(options.host, options.port);
  if (!udp->ok()) {
    error_ = udp->error();
    return;
  }
  link_ = std::move(udp);
}

std::string Channel::deviceName() const {
  return options_.adb ? "adb:" + serial_ : options_.host;
}

std::optional<std::string> Channel::ask(const std::string& request, const Accept& accept) {
  return ask(request, accept, options_.timeoutMs, options_.retries);
}

std::optional<std::string> Channel::ask(const std::string& request, const Accept& accept,
                                        int timeoutMs, int retries) {
  // adb starts the relay first: a second or more when its server must start
  // too, which is no try's time.
  if (!link_->waitReady(std::max(kStartBudgetMs, timeoutMs * (retries + 1)))) return std::nullopt;
  std::vector<std::string> got;
  for (int attempt = 0; attempt <= retries; ++attempt) {
    if (cancel_ != nullptr && *cancel_) return std::nullopt;
    // A late answer to an earlier try is stale by now.
    link_->receive(nullptr);
    if (link_->lost()) return std::nullopt;
    link_->send(request);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (cancel_ != nullptr && *cancel_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd pfd{link_->fd(), POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      got.clear();
      link_->receive(&got);
      for (const std::string& reply : got) {
        if (accept(reply)) return reply;
        // A padded request is named without its padding.
        const std::string name = request.substr(0, request.find_last_not_of(' ') + 1);
        fprintf(stderr, "perfprobe: skipping a reply to %s that does not fit it: \"%s\"\n",
                name.c_str(), printable(reply).c_str());
      }
      if (link_->lost()) return std::nullopt;
    }
  }
  return std::nullopt;
}

std::string Channel::noReplyMessage() const {
  if (link_->lost()) return link_->lostReason();
  return "no reply from " + link_->where() + " after " + std::to_string(options_.retries + 1) +
         " tries of " + std::to_string(options_.timeoutMs) + " ms: " + link_->advice();
}

}  // namespace perfprobe
