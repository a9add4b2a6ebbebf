// address.cc: names, connecting and listening over IPv4.
#include "net/address.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <utility>

namespace orvel::net {

sockaddr_in Ipv4(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

bool ParseDottedQuad(const char* text, uint32_t* addr) {
  if (text == nullptr) return false;
  uint32_t value = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    unsigned n = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      n = n * 10 + static_cast<unsigned>(*p++ - '0');
      if (++digits > 3 || n > 255) return false;
    }
    value = (value << 8) | n;
  }
  if (*p != '\0') return false;
  *addr = htonl(value);
  return true;
}

namespace {

// The canonical dotted quad, read directly since every address of a large
// message comes this way; false for anything else, leading zeros included
// (inet_aton reads those as octal).
bool CanonicalDottedQuad(const char* text, uint32_t* addr) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '0' && (p == text || p[-1] == '.') && p[1] >= '0' && p[1] <= '9') return false;
  }
  return ParseDottedQuad(text, addr);
}

}  // namespace

uint32_t AddressFromText(const char* text) {
  if (text == nullptr) return 0;
  uint32_t addr = 0;
  if (CanonicalDottedQuad(text, &addr)) return addr;
  in_addr in{};
  if (inet_aton(text, &in) == 0) return 0;
  return in.s_addr;
}

std::string AddressText(uint32_t addr) {
  in_addr in{};
  in.s_addr = addr;
  char buf[INET_ADDRSTRLEN] = "";
  if (inet_ntop(AF_INET, &in, buf, sizeof buf) == nullptr) return "0.0.0.0";
  return buf;
}

bool ParseHostPort(std::string_view text, HostPort* out) {
  const size_t colon = text.rfind(':');
  out->host = std::string(text.substr(0, colon));
  out->port = 0;
  out->has_port = colon != std::string_view::npos;
  if (!out->has_port) return true;
  std::string_view digits = text.substr(colon + 1);
  if (digits.empty()) return false;
  unsigned long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) return false;
  }
  out->port = static_cast<uint16_t>(value);
  return true;
}

bool ResolveIpv4(const char* host, uint32_t* addr, std::string* why) {
  if (host == nullptr || *host == '\0') {
    if (why != nullptr) *why = "no host name";
    return false;
  }
  if (ParseDottedQuad(host, addr)) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    if (why != nullptr) *why = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    if (found != nullptr) freeaddrinfo(found);
    return false;
  }
  *addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

UniqueFd ConnectStart(const sockaddr_in& to, int* error) {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.valid() &&
      (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ||
       errno == EINPROGRESS || errno == EINTR)) {
    return sock;
  }
  if (error != nullptr) *error = errno;
  return UniqueFd();
}

int ConnectResult(int fd) {
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) < 0) return errno;
  return so_error;
}

namespace {

// Sets the send time-out of fd, which also bounds a blocking connect().
bool SetSendTimeout(int fd, int ms) {
  timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

// The one connect path: 0 and the socket, or the errno value and the call
// that failed.  A blocking socket is connected by a blocking connect() bound
// by SO_SNDTIMEO: on loopback the handshake completes inside the call, which
// spares the poll and the getsockopt a non-blocking one needs, and the two
// fcntl calls that make it blocking again.
int ConnectOnce(const sockaddr_in& to, Deadline deadline, bool nonblocking, UniqueFd* out,
                const char** failed_call) {
  const int wait_ms = deadline.remaining_ms();
  *failed_call = "connect";
  if (wait_ms == 0) return ETIMEDOUT;
  UniqueFd sock(
      ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0));
  if (!sock.valid()) {
    *failed_call = "socket";
    return errno;
  }
  const bool bounded = !nonblocking && wait_ms > 0;
  if (bounded && !SetSendTimeout(sock.get(), wait_ms)) return errno;
  int err = 0;
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    err = errno;
    // A blocking connect() reports its time-out as EINPROGRESS.
    if (err == EINPROGRESS && !nonblocking) err = ETIMEDOUT;
    // EINTR: the connection goes on being made in the background.
    if (err == EINPROGRESS || err == EINTR) err = WaitConnected(sock.get(), deadline);
  }
  // Later blocking writes by the caller are not bound by the connect's wait.
  if (err == 0 && bounded && !SetSendTimeout(sock.get(), 0)) err = errno;
  if (err == 0) *out = std::move(sock);
  return err;
}

}  // namespace

UniqueFd ConnectTcp(const sockaddr_in& to, Deadline deadline, int* error, bool nonblocking,
                    const char** failed_call) {
  UniqueFd sock;
  const char* call = nullptr;
  int err = ConnectOnce(to, deadline, nonblocking, &sock, &call);
  if (failed_call != nullptr) *failed_call = call;
  if (err != 0 && error != nullptr) *error = err;
  return sock;
}

Status Connect(const sockaddr_in& to, Deadline deadline, UniqueFd* out, bool nonblocking) {
  out->reset();
  const char* call = nullptr;
  int err = ConnectOnce(to, deadline, nonblocking, out, &call);
  if (err == 0) return Status::OK();
  return Status::FromErrno(
      std::strcmp(call, "socket") == 0 ? std::string(call) : std::string(call) + " " + Ipv4Text(to),
      err);
}

std::string Ipv4Text(const sockaddr_in& a) {
  return AddressText(a.sin_addr.s_addr) + ":" + std::to_string(ntohs(a.sin_port));
}

UniqueFd ListenTcp(const sockaddr_in& at, int backlog, int* error, const char** failed_call) {
  const char* call = "socket";
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.valid()) {
    int one = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    call = "bind";
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) {
      call = "listen";
      if (::listen(sock.get(), backlog) == 0) return sock;
    }
  }
  if (error != nullptr) *error = errno;
  if (failed_call != nullptr) *failed_call = call;
  return UniqueFd();
}

UniqueFd BindUdp(const sockaddr_in& at, int* error) {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.valid() && ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) {
    return sock;
  }
  if (error != nullptr) *error = errno;
  return UniqueFd();
}

uint16_t LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
    return 0;
  return ntohs(sa.sin_port);
}

}  // namespace orvel::net
