#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "protocol.h"
#include "request.h"
#include "trace.h"

[[noreturn]] static void echo_ser(int sock) {
  char recvbuf[kMaxRequestSize];
  sockaddr_in peeraddr;
  std::string reply;
  RequestHandler handler;
  for (;;) {
    socklen_t peerlen = sizeof peeraddr;
    const ssize_t n = recvfrom(sock, recvbuf, sizeof recvbuf, 0,
                               reinterpret_cast<sockaddr*>(&peeraddr), &peerlen);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("recvfrom error");
      exit(1);
    }
    // An empty datagram is a request without a keyword: no reply, and the
    // server goes on. Only n bytes are ever looked at, so the buffer need not
    // be cleared between receives.
    if (handler.handleRequest(recvbuf, static_cast<size_t>(n), ntohl(peeraddr.sin_addr.s_addr),
                              &reply)) {
      sendto(sock, reply.data(), reply.size(), 0,
             reinterpret_cast<const sockaddr*>(&peeraddr), peerlen);
    }
  }
}

int main() {
  // Should the fork fail, the server simply runs in the foreground.
  [[maybe_unused]] const int detached = daemon(0, 0);
  traceOnlyWhereSeen();

  // Close-on-exec so that no command the daemon runs inherits the socket.
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    perror("socket error");
    exit(1);
  }

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kPort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  trace("listening port %d\n", kPort);

  if (bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
    perror("bind error");
    exit(1);
  }
  echo_ser(sock);
}
