#include "relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "adb.h"
#include "scoped_resource.h"

namespace perfprobe {

namespace {

using Clock = std::chrono::steady_clock;

// A header line is a word and a number: longer is a damaged stream.
constexpr size_t kMaxHeader = 64;
// What is kept of a shell's or adb's complaint.
constexpr size_t kMaxKept = 2048;

bool carriesBytes(const std::string& word) { return word == "send" || word == "reply"; }

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 1000);
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void keep(std::string* kept, const char* data, size_t size) {
  if (kept->size() < kMaxKept) kept->append(data, std::min(size, kMaxKept - kept->size()));
}

}  // namespace

std::optional<Frame> FrameReader::next() {
  if (!error_.empty()) return std::nullopt;
  if (!skipUntil_.empty()) {
    // The hello starts a line; whatever came before it is the shell's.
    size_t at = std::string::npos;
    if (atLineStart_ && buffer_.rfind(skipUntil_, 0) == 0) {
      at = 0;
    } else if (const size_t nl = buffer_.find("\n" + skipUntil_); nl != std::string::npos) {
      at = nl + 1;
    }
    if (at == std::string::npos) {
      // Only the last line can still become the hello, and only while it is
      // shorter than the hello.
      const size_t nl = buffer_.rfind('\n');
      const size_t lineStart = nl == std::string::npos ? 0 : nl + 1;
      const bool lineCounts = nl != std::string::npos || atLineStart_;
      const size_t keepFrom = lineCounts && buffer_.size() - lineStart < skipUntil_.size()
                                  ? lineStart
                                  : buffer_.size();
      if (keepFrom > 0) atLineStart_ = buffer_[keepFrom - 1] == '\n';
      keep(&skipped_, buffer_.data(), keepFrom);
      buffer_.erase(0, keepFrom);
      return std::nullopt;
    }
    keep(&skipped_, buffer_.data(), at);
    buffer_.erase(0, at);
    skipUntil_.clear();
  }
  const size_t eol = buffer_.find('\n');
  if (eol == std::string::npos) {
    if (buffer_.size() > kMaxHeader)
      error_ = "a header line longer than " + std::to_string(kMaxHeader) + " bytes";
    return std::nullopt;
  }
  if (eol > kMaxHeader) {
    error_ = "a header line longer than " + std::to_string(kMaxHeader) + " bytes";
    return std::nullopt;
  }
  Frame frame;
  const std::string header = buffer_.substr(0, eol);
  const size_t space = header.find(' ');
  frame.word = header.substr(0, space);
  if (frame.word.empty()) {
    error_ = "an empty header line";
    return std::nullopt;
  }
  if (space != std::string::npos) {
    const std::string digits = header.substr(space + 1);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      error_ = "a header line whose number is \"" + digits + "\"";
      return std::nullopt;
    }
    frame.number = std::stoull(digits);
  } else if (carriesBytes(frame.word)) {
    error_ = "a \"" + frame.word + "\" without a length";
    return std::nullopt;
  }
  size_t size = eol + 1;
  if (carriesBytes(frame.word)) {
    if (frame.number > kMaxDatagram) {
      error_ = "a datagram of " + std::to_string(frame.number) + " bytes";
      return std::nullopt;
    }
    if (buffer_.size() < size + frame.number) return std::nullopt;
    frame.bytes = buffer_.substr(size, frame.number);
    size += frame.number;
  }
  buffer_.erase(0, size);
  return frame;
}

std::string frame(const std::string& word, const std::string& bytes) {
  return word + " " + std::to_string(bytes.size()) + "\n" + bytes;
}

int runRelay(int port, int in, int out) {
  // A shell without the shell protocol (Android before 7) gives its command
  // a terminal: raw, it neither echoes the requests nor turns "\n" into
  // "\r\n".
  termios mode;
  if (tcgetattr(in, &mode) == 0) {
    cfmakeraw(&mode);
    tcsetattr(in, TCSANOW, &mode);
  }
  signal(SIGPIPE, SIG_IGN);
  ScopedFile sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in daemon{};
  daemon.sin_family = AF_INET;
  daemon.sin_port = htons(static_cast<uint16_t>(port));
  daemon.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Connected, so that only the daemon's datagrams come, and a closed port
  // is reported.
  if (!sock || connect(sock.get(), reinterpret_cast<sockaddr*>(&daemon), sizeof daemon) != 0) {
    fprintf(stderr, "perfprobe relay: cannot open a UDP socket: %s\n", strerror(errno));
    return 1;
  }
  if (!writeAll(out, std::string(kRelayHello) + " " + std::to_string(kRelayVersion) + "\n")) {
    return 1;
  }
  FrameReader reader;
  std::vector<char> buf(kMaxDatagram);
  for (;;) {
    pollfd fds[2] = {{in, POLLIN, 0}, {sock.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0) {
      const ssize_t n = recv(sock.get(), buf.data(), buf.size(), MSG_DONTWAIT);
      if (n >= 0) {
        if (!writeAll(out, frame("reply", std::string(buf.data(), static_cast<size_t>(n))))) {
          return 1;
        }
      } else if (errno == ECONNREFUSED && !writeAll(out, "refused\n")) {
        return 1;
      }
    }
    if (fds[0].revents != 0) {
      const ssize_t n = read(in, buf.data(), buf.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return 0;
      reader.feed(buf.data(), static_cast<size_t>(n));
      while (auto f = reader.next()) {
        if (f->word != "send") continue;
        // A closed port shows as ECONNREFUSED on a later call: reported
        // when the receive sees it.
        ::send(sock.get(), f->bytes.data(), f->bytes.size(), 0);
      }
      if (!reader.error().empty()) {
        fprintf(stderr, "perfprobe relay: %s on standard input\n", reader.error().c_str());
        return 1;
      }
    }
  }
}

RelayLink::RelayLink(const std::string& serial, int port) : serial_(serial) {
  // A write to an adb that has ended must fail, not end this process.
  signal(SIGPIPE, SIG_IGN);
  adb_ = std::make_unique<Child>(adbCommand(
      serial, {"shell", "exec", kDeviceClient, "relay", "--port", std::to_string(port)}));
  if (!adb_->ok()) {
    end(adb_->notFound() ? adbMissingMessage() : "cannot run adb: " + adb_->error());
    return;
  }
  fcntl(adb_->out(), F_SETFL, fcntl(adb_->out(), F_GETFL) | O_NONBLOCK);
  fcntl(adb_->err(), F_SETFL, fcntl(adb_->err(), F_GETFL) | O_NONBLOCK);
}

RelayLink::~RelayLink() {
  if (adb_ && adb_->ok()) adb_->finish(1000);
}

int RelayLink::fd() const { return adb_ && adb_->ok() ? adb_->out() : -1; }

void RelayLink::end(const std::string& why) {
  lost_ = true;
  lostReason_ = why;
}

void RelayLink::readErr() {
  if (!adb_ || !adb_->ok()) return;
  char buf[1024];
  ssize_t n;
  while ((n = read(adb_->err(), buf, sizeof buf)) > 0) keep(&adbErr_, buf, static_cast<size_t>(n));
}

bool RelayLink::waitReady(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<std::string> early;
  while (!ready_ && !lost_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      end("the relay on device " + serial_ + " did not start within " +
          std::to_string(timeoutMs / 1000) + " s; check `adb devices` and try again");
      return false;
    }
    pollfd pfd{fd(), POLLIN, 0};
    poll(&pfd, 1, static_cast<int>(left));
    receive(&early);
  }
  return ready_;
}

void RelayLink::send(const std::string& request) {
  if (lost_) return;
  if (!writeAll(adb_->in(), frame("send", request))) receive(nullptr);
}

void RelayLink::receive(std::vector<std::string>* datagrams) {
  if (lost_) return;
  readErr();
  char buf[16384];
  bool ended = false;
  for (;;) {
    const ssize_t n = read(adb_->out(), buf, sizeof buf);
    if (n > 0) {
      reader_.feed(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    ended = n == 0 || errno != EAGAIN;
    break;
  }
  while (auto f = reader_.next()) {
    if (f->word == kRelayHello) {
      ready_ = true;
    } else if (f->word == "reply" && datagrams != nullptr) {
      datagrams->push_back(std::move(f->bytes));
    } else if (f->word == "refused") {
      refused_ = true;
    }
  }
  if (!reader_.error().empty()) {
    end("the relay on device " + serial_ + " sent " + reader_.error());
    return;
  }
  if (!ended) return;
  // adb closed its output: it has ended, or is about to.
  const int status = adb_->finish(200);
  readErr();
  std::string said = oneLine(adbErr_ + " " + reader_.skipped());
  if (!said.empty()) said = ": " + said;
  if (!ready_) {
    end("the relay did not start on device " + serial_ + " (adb: " + describeExit(status) + ")" +
        said + "; run `perfprobe deploy --serial " + serial_ + "` to put perfprobe on the device");
  } else {
    end("adb ended (" + describeExit(status) + ")" + said + ": the connection to device " +
        serial_ + " is lost; check the cable and `adb devices`");
  }
}

std::string RelayLink::where() const { return "device " + serial_ + " (adb)"; }

std::string RelayLink::advice() const {
  if (refused_) {
    return "nothing listens on the device's UDP port: run `perfprobe deploy --serial " + serial_ +
           "` to start perfprobed";
  }
  return "check that perfprobed runs on the device (`perfprobe deploy --serial " + serial_ + "`)";
}

}  // namespace perfprobe
