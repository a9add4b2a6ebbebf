// bench_net.h: loopback sockets and datagram round trips for the benchmark
// programs, on the net module's descriptor type.
#ifndef ORVEL_BENCH_BENCH_NET_H_
#define ORVEL_BENCH_BENCH_NET_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>

#include "net/address.h"
#include "net/socket_io.h"

namespace orvel::bench {

using net::UniqueFd;

inline sockaddr_in Loopback(int port) {
  return net::Ipv4(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port));
}

// A socket of type (SOCK_DGRAM, SOCK_STREAM) bound to 127.0.0.1 on a port
// the kernel picks; *port gets it (-1 when binding failed).
inline UniqueFd BoundLoopback(int type, int* port) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in sa = Loopback(0);
  *port = -1;
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fd;
  *port = net::LocalPort(fd.get());
  return fd;
}

// A TCP port that was free a moment ago.
inline int FreeTcpPort() {
  int port = -1;
  UniqueFd fd = BoundLoopback(SOCK_STREAM, &port);
  return port;
}

// Sends bytes to 127.0.0.1:port from fd and returns the next datagram fd
// receives ("" when none came within wait_ms).
inline std::string UdpRoundTrip(int fd, int port, const std::string& bytes, int wait_ms) {
  const sockaddr_in to = Loopback(port);
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, wait_ms) <= 0) return std::string();
  char buf[65536];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace orvel::bench

#endif  // ORVEL_BENCH_BENCH_NET_H_
