#pragma once

#include <string>
#include <vector>

namespace perfprobe {

// How requests reach the daemon and its datagrams come back: a UDP socket,
// or the relay on the phone at the far end of adb. Owned by one user (a
// Channel, or the exporter's poller); never blocks but in waitReady.
class Link {
 public:
  virtual ~Link() = default;

  // Readable when something came (or the link ended).
  virtual int fd() const = 0;
  // Waits at most timeoutMs until requests can go; false when the link ended
  // or did not come up in time.
  virtual bool waitReady(int timeoutMs) { return !lost_ && timeoutMs >= 0; }
  virtual bool ready() const { return !lost_; }
  // Sends one request as one datagram; a link that ended drops it.
  virtual void send(const std::string& request) = 0;
  // Appends every datagram of the daemon that has come, without waiting.
  virtual void receive(std::vector<std::string>* datagrams) = 0;

  // "10.0.0.2 port 8080 (UDP)", "device R58N (adb)".
  virtual std::string where() const = 0;
  // What to check when nothing answered, after "no reply from WHERE ...: ".
  virtual std::string advice() const = 0;

  // The daemon's port said that nothing listens there.
  bool refused() const { return refused_; }
  // The link itself ended (adb exited): nothing more can come.
  bool lost() const { return lost_; }
  const std::string& lostReason() const { return lostReason_; }

 protected:
  bool refused_ = false;
  bool lost_ = false;
  std::string lostReason_;
};

}  // namespace perfprobe
