// The bare minimum of a UDP request server, for the daemon's round trips to
// be measured against: it sends every datagram on the daemon's port
// straight back.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

#include "protocol.h"

int main() {
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
    sendto(sock, buf, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&peer), peerLen);
  }
}
