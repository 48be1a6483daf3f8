// The bare minimum of a UDP request server, for the daemon's round trips to
// be measured against: it sends every datagram on the daemon's port
// straight back.
//
//   udp_echo [KEYWORD FILE...]
//
// With a KEYWORD, a datagram that holds it is first answered by the bare
// work of that request: an open, one read and a close of each FILE, so that
// the floor is measured in the same state of the caches as the daemon's
// request, between the same other requests.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol.h"

int main(int argc, char** argv) {
  const std::string keyword = argc > 1 ? argv[1] : "";
  const std::vector<std::string> files(argv + (argc > 1 ? 2 : argc), argv + argc);
  static char fileBuf[16384];
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kPort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (sock < 0 || bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    perror("udp_echo");
    return 1;
  }
  char buf[kMaxRequestSize];
  for (;;) {
    sockaddr_in peer;
    socklen_t peerLen = sizeof peer;
    const ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &peerLen);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("udp_echo: recvfrom");
      return 1;
    }
    if (!keyword.empty() && std::string(buf, static_cast<size_t>(n)).find(keyword) != std::string::npos) {
      for (const std::string& file : files) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, fileBuf, sizeof fileBuf) < 0) {
          perror(file.c_str());
          return 1;
        }
        close(fd);
      }
    }
    sendto(sock, buf, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&peer), peerLen);
  }
}
