#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <optional>
#include <string>

#include "child.h"
#include "link.h"

// Requests over USB. `adb shell` carries a byte stream, and adb forwards TCP
// only, so the client on the phone relays: it sends each request it reads on
// its standard input to the daemon on 127.0.0.1 as a datagram, and writes
// each datagram of the daemon to its standard output. Both streams are
// framed as a header line and, for a datagram, its bytes:
//
//   relay → host   "perfprobe-relay 1\n"   once, first: the relay runs
//   host → relay   "send N\n" N bytes       a request
//   relay → host   "reply N\n" N bytes      a datagram of the daemon
//   relay → host   "refused\n"              the daemon's port is closed
//
// N is decimal, at most kMaxDatagram. The relay ends at the end of its input.
namespace perfprobe {

constexpr size_t kMaxDatagram = 65536;
constexpr int kRelayVersion = 1;
constexpr char kRelayHello[] = "perfprobe-relay";

// One frame: its word, its number (a length, or the hello's version) and,
// for "send" and "reply", the bytes.
struct Frame {
  std::string word;
  uint64_t number = 0;
  std::string bytes;
};

// Cuts a stream into frames, whatever pieces it comes in. Pure.
class FrameReader {
 public:
  // Before the first frame, bytes up to a line that starts with `skipUntil`
  // are kept aside rather than read (the text that a shell prints before
  // the relay starts); empty: none.
  explicit FrameReader(std::string skipUntil = "") : skipUntil_(std::move(skipUntil)) {}

  void feed(const char* data, size_t size) { buffer_.append(data, size); }
  // The next whole frame; nullopt until one has come, or on a damaged
  // stream (error() then says how).
  std::optional<Frame> next();
  const std::string& error() const { return error_; }
  // What came before the hello line: a shell's complaint, say.
  std::string skipped() const { return skipUntil_.empty() ? skipped_ : skipped_ + buffer_; }

 private:
  std::string buffer_;
  std::string skipUntil_;
  std::string skipped_;
  std::string error_;
  bool atLineStart_ = true;
};

std::string frame(const std::string& word, const std::string& bytes);

// The phone's side: relays between `in`/`out` and the daemon on
// 127.0.0.1:port until `in` ends. Returns the exit status.
int runRelay(int port, int in, int out);

// The host's side: `adb -s SERIAL shell exec perfprobe relay --port P`.
class RelayLink : public Link {
 public:
  RelayLink(const std::string& serial, int port);
  // Ends the relay's input and gives adb a moment to leave on its own.
  ~RelayLink() override;

  int fd() const override;
  bool waitReady(int timeoutMs) override;
  bool ready() const override { return ready_ && !lost_; }
  void send(const std::string& request) override;
  void receive(std::vector<std::string>* datagrams) override;
  std::string where() const override;
  std::string advice() const override;

 private:
  void end(const std::string& why);
  void readErr();

  std::string serial_;
  std::unique_ptr<Child> adb_;
  FrameReader reader_{std::string(kRelayHello) + " "};
  bool ready_ = false;
  std::string adbErr_;
};

}  // namespace perfprobe
