// address.h: IPv4 addresses and their texts, "HOST[:PORT]", name
// resolution, connecting with a deadline and listening sockets.  Internal to
// liborvel and its programs; never installed.
//
// Every socket made here is close-on-exec.  Failures come back as an invalid
// UniqueFd (or false) with the errno value in *error; nothing is printed, so
// each caller keeps its own diagnostics.
//
//   uint32_t addr;
//   if (!net::ResolveIpv4("localhost", &addr, &why)) ...;
//   int err = 0;
//   net::UniqueFd s = net::ConnectTcp(net::Ipv4(addr, 80), net::Deadline::After(5), &err);
//   net::UniqueFd l = net::ListenTcp(net::Ipv4(INADDR_ANY, 0), SOMAXCONN, &err);
//   uint16_t port = net::LocalPort(l.get());
//
// Thread safety: free functions; the resolver is getaddrinfo (thread-safe).
#ifndef ORVEL_LIBORVEL_NET_ADDRESS_H_
#define ORVEL_LIBORVEL_NET_ADDRESS_H_

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "net/socket_io.h"
#include "net/status.h"

namespace orvel::net {

// addr in network byte order, port in host byte order.
sockaddr_in Ipv4(uint32_t addr, uint16_t port);

// A dotted quad (four decimal parts, each 0..255) as an address in network
// byte order.  False for any other text.
bool ParseDottedQuad(const char* text, uint32_t* addr);

// The address text as the message library reads it (inet_ADDR): any form
// inet_aton takes ("10.0.0.1", "10.1", "0x0a.0.0.1", "012.0.0.1" in octal),
// in network byte order; 0 for null or other text.
uint32_t AddressFromText(const char* text);
// The dotted quad of addr (network byte order).
std::string AddressText(uint32_t addr);

// "HOST:PORT" or "HOST", split at the last colon.
struct HostPort {
  std::string host;  // the text before the last colon (all of it without one)
  uint16_t port = 0;
  bool has_port = false;  // a colon was there (and, on success, a port)
};
// The one reader of "HOST[:PORT]" texts.  PORT, where a colon stands, is
// decimal digits only with a value of at most 65535.  False when it is not;
// out->host is set even then, so a caller can judge the host first.  The
// host is not checked (it may be empty, a name or a dotted quad): callers
// apply their own rule, as they do for a port of 0 or a missing port.
bool ParseHostPort(std::string_view text, HostPort* out);

// The IPv4 address of host in network byte order: a dotted quad as it
// stands, otherwise the first IPv4 address the resolver gives.  False when
// host is null or empty or has no IPv4 address; *why (if not null) then
// says why, as the resolver put it.
bool ResolveIpv4(const char* host, uint32_t* addr, std::string* why = nullptr);

// A non-blocking TCP socket whose connection to `to` is under way (or
// already made): wait until it is writable, then ask ConnectResult.  For
// event loops that make many connections at once.  Invalid on failure, with
// the errno value in *error.
UniqueFd ConnectStart(const sockaddr_in& to, int* error);
// The outcome of a connection started by ConnectStart once the socket is
// writable: 0, or the errno value why it failed.
int ConnectResult(int fd);

// A TCP connection to `to`, made within deadline.  The socket is left
// non-blocking when nonblocking is true, blocking otherwise.  Invalid on
// failure, with the errno value in *error (ETIMEDOUT when the deadline
// passed, ECONNREFUSED when nothing listens); *failed_call (if not null)
// then names the call that failed, "socket" or "connect".
UniqueFd ConnectTcp(const sockaddr_in& to, Deadline deadline, int* error, bool nonblocking = false,
                    const char** failed_call = nullptr);
// The same with the failure as a Status naming the call and the peer,
// errno kept: "connect 127.0.0.1:7103: Connection refused" (kTimedOut when
// the deadline passed), "socket: Too many open files".  *out is the
// connection on success.
Status Connect(const sockaddr_in& to, Deadline deadline, UniqueFd* out, bool nonblocking = false);
// "A.B.C.D:PORT".
std::string Ipv4Text(const sockaddr_in& a);

// A TCP socket bound to `at` (SO_REUSEADDR set) and listening with backlog.
// Port 0 lets the kernel choose (see LocalPort).  *failed_call (if not
// null) names the call that failed: "socket", "bind" or "listen".
UniqueFd ListenTcp(const sockaddr_in& at, int backlog, int* error,
                   const char** failed_call = nullptr);

// A UDP socket bound to `at`.
UniqueFd BindUdp(const sockaddr_in& at, int* error);

// The local port of a bound socket in host byte order; 0 on failure.
uint16_t LocalPort(int fd);

}  // namespace orvel::net

#endif  // ORVEL_LIBORVEL_NET_ADDRESS_H_
