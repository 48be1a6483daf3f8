#include "channel.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <vector>

namespace perfprobe {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxReply = 65536;

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

Channel::Channel(const Options& options) : options_(options) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  const int rc = getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error_ = "cannot resolve " + options.host + ": " + gai_strerror(rc);
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
    error_ = "cannot reach " + options.host + " port " + port + ": " + strerror(errno);
  }
  freeaddrinfo(found);
  if (fd_) error_.clear();
}

void Channel::drain() {
  char byte;
  for (;;) {
    const ssize_t n = recv(fd_.get(), &byte, sizeof byte, MSG_DONTWAIT);
    if (n >= 0) continue;
    if (errno == ECONNREFUSED) {
      refused_ = true;
      continue;
    }
    if (errno != EINTR) return;
  }
}

std::optional<std::string> Channel::ask(const std::string& request, const Accept& accept) {
  return ask(request, accept, options_.timeoutMs, options_.retries);
}

std::optional<std::string> Channel::ask(const std::string& request, const Accept& accept,
                                        int timeoutMs, int retries) {
  std::string reply(kMaxReply, '\0');
  for (int attempt = 0; attempt <= retries; ++attempt) {
    if (cancel_ != nullptr && *cancel_) return std::nullopt;
    // A late answer to an earlier try is stale by now.
    drain();
    if (send(fd_.get(), request.data(), request.size(), 0) < 0 && errno == ECONNREFUSED) {
      refused_ = true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (cancel_ != nullptr && *cancel_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd pfd{fd_.get(), POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      const ssize_t n = recv(fd_.get(), reply.data(), reply.size(), MSG_DONTWAIT);
      if (n < 0) {
        // Nothing listens there yet: the daemon may be starting, so the try
        // still runs its course.
        if (errno == ECONNREFUSED) refused_ = true;
        continue;
      }
      const std::string got(reply.data(), static_cast<size_t>(n));
      if (accept(got)) return got;
      // A padded request is named without its padding.
      const std::string name = request.substr(0, request.find_last_not_of(' ') + 1);
      fprintf(stderr, "perfprobe: skipping a reply to %s that does not fit it: \"%s\"\n",
              name.c_str(), printable(got).c_str());
    }
  }
  return std::nullopt;
}

std::string Channel::noReplyMessage() const {
  const std::string where = options_.host + " port " + std::to_string(options_.port);
  std::string message = "no reply from " + where + " (UDP) after " +
                        std::to_string(options_.retries + 1) + " tries of " +
                        std::to_string(options_.timeoutMs) + " ms";
  if (refused_) {
    message += ": nothing listens there (port unreachable); check that perfprobed runs";
  } else {
    message += ": check that perfprobed runs on the device, that " + options_.host +
               " is the device's address and that UDP port " + std::to_string(options_.port) +
               " is reachable from here";
  }
  return message;
}

}  // namespace perfprobe
