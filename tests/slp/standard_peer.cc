// standard_peer.cc: byte-level SLPv2 client after the RFC's layouts.
#include "standard_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "testutil/net_util.h"

namespace slptest {
namespace {

using orvel::testutil::Loopback;
using orvel::testutil::TestFd;

TestFd Socket(int type) { return TestFd(::socket(AF_INET, type | SOCK_CLOEXEC, 0)); }

uint32_t Get(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

void Put(std::string* b, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Bounded reader over one reply body.
struct Cursor {
  const std::string& b;
  size_t pos;
  bool ok = true;
  uint32_t Num(int bytes) {
    if (!ok || pos + bytes > b.size()) return ok = false, 0;
    uint32_t v = Get(b, pos, bytes);
    pos += bytes;
    return v;
  }
  std::string Str() {
    size_t n = Num(2);
    if (!ok || pos + n > b.size()) return ok = false, std::string();
    std::string s = b.substr(pos, n);
    pos += n;
    return s;
  }
  void SkipAuths() {
    uint32_t k = Num(1);
    for (uint32_t i = 0; ok && i < k; ++i) {
      uint32_t len = ok && pos + 4 <= b.size() ? Get(b, pos + 2, 2) : 0;
      if (len < 10 || pos + len > b.size()) ok = false;
      pos += len;
    }
  }
  bool AtEnd() const { return pos >= b.size(); }
};

bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

std::string StandardPeer::Str(const std::string& s) {
  std::string out;
  Put(&out, static_cast<uint32_t>(s.size()), 2);
  return out + s;
}

std::string StandardPeer::Message(int function, uint16_t xid, uint16_t flags,
                                  const std::string& body) {
  std::string m;
  Put(&m, 2, 1);
  Put(&m, static_cast<uint32_t>(function), 1);
  Put(&m, static_cast<uint32_t>(16 + body.size()), 3);
  Put(&m, flags, 2);
  Put(&m, 0, 3);
  Put(&m, xid, 2);
  m += Str("en");
  return m + body;
}

PeerReply StandardPeer::Parse(const std::string& bytes) {
  PeerReply r;
  if (bytes.size() < 16 || bytes[0] != 2) return r;
  r.function = static_cast<uint8_t>(bytes[1]);
  r.length = Get(bytes, 2, 3);
  r.flags = static_cast<uint16_t>(Get(bytes, 5, 2));
  r.xid = static_cast<uint16_t>(Get(bytes, 10, 2));
  Cursor c{bytes, 14 + Get(bytes, 12, 2)};
  r.error = static_cast<uint16_t>(c.Num(2));
  if (r.error != 0 && c.AtEnd()) return r.ok = c.ok, r;
  switch (r.function) {
    case 2: {  // SrvRply
      uint32_t count = c.Num(2);
      for (uint32_t i = 0; c.ok && i < count; ++i) {
        c.Num(1);  // reserved
        c.Num(2);  // lifetime
        r.urls.push_back(c.Str());
        c.SkipAuths();
      }
      break;
    }
    case 5:
      break;  // SrvAck
    case 7:   // AttrRply
      r.list = c.Str();
      c.SkipAuths();
      break;
    case 8:  // DAAdvert
      c.Num(4);
      r.agent_url = c.Str();
      r.list = c.Str();
      c.Str();
      c.Str();
      c.SkipAuths();
      break;
    case 10:
      r.list = c.Str();
      break;  // SrvTypeRply
    default:
      return r;
  }
  r.ok = c.ok;
  return r;
}

PeerReply StandardPeer::OverTcp(const std::string& request) {
  PeerReply none;
  TestFd s = Socket(SOCK_STREAM);
  sockaddr_in to = Loopback(static_cast<uint16_t>(port_));
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return none;
  if (::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return none;
  }
  // Length delimits the reply on a stream.
  std::string in;
  size_t want = 5;
  char buf[65536];
  while (in.size() < want) {
    if (!WaitReadable(s.get(), 5000)) return none;
    ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
    if (n <= 0) return none;
    in.append(buf, static_cast<size_t>(n));
    if (want == 5 && in.size() >= 5) want = Get(in, 2, 3);
  }
  PeerReply r = Parse(in.substr(0, want));
  r.via_tcp = true;
  return r;
}

PeerReply StandardPeer::Exchange(int function, const std::string& body, uint16_t flags,
                                 bool tcp_only) {
  const std::string request = Message(function, ++xid_, flags, body);
  if (tcp_only) return OverTcp(request);
  TestFd s = Socket(SOCK_DGRAM);
  sockaddr_in to = Loopback(static_cast<uint16_t>(port_));
  for (int attempt = 0; attempt < 3; ++attempt) {
    ::sendto(s.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    while (WaitReadable(s.get(), 2000)) {
      char buf[65536];
      ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
      if (n < 16) break;
      std::string got(buf, static_cast<size_t>(n));
      if (Get(got, 10, 2) != xid_) continue;
      bool cut = false;
      switch (reading_) {
        case Reading::kLengthBeyondDatagram:
          cut = Get(got, 2, 3) > got.size();
          break;
        case Reading::kLengthPastMtu:
          cut = Get(got, 2, 3) > 1400;
          break;
        case Reading::kFlag:
          cut = (Get(got, 5, 2) & 0x8000) != 0;
          break;
      }
      if (cut) {
        PeerReply r = OverTcp(request);
        r.datagram_bytes = got.size();
        return r;
      }
      PeerReply r = Parse(got);
      r.datagram_bytes = got.size();
      return r;
    }
  }
  return PeerReply();
}

PeerReply StandardPeer::DiscoverAgent(int timeout_ms, double* seconds) {
  auto start = std::chrono::steady_clock::now();
  PeerReply r;
  TestFd s = Socket(SOCK_STREAM);
  sockaddr_in to = Loopback(static_cast<uint16_t>(port_));
  std::string request =
      Message(1, ++xid_, 0, Str("") + Str("service:directory-agent") + Str("") + Str("") + Str(""));
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    std::string in;
    char buf[4096];
    auto deadline = start + std::chrono::milliseconds(timeout_ms);
    bool closed = false;
    while (!closed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || !WaitReadable(s.get(), static_cast<int>(left))) break;
      ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
      if (n <= 0) closed = true;
      if (n > 0) in.append(buf, static_cast<size_t>(n));
    }
    // Like the standard client, the answer counts only once the agent closed.
    if (closed) r = Parse(in);
    r.via_tcp = true;
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

PeerReply StandardPeer::FindServices(const std::string& type, const std::string& scopes,
                                     const std::string& predicate) {
  return Exchange(1, Str("") + Str(type) + Str(scopes) + Str(predicate) + Str(""), 0, false);
}

PeerReply StandardPeer::FindAttributes(const std::string& url_or_type, const std::string& scopes,
                                       const std::string& tags) {
  return Exchange(6, Str("") + Str(url_or_type) + Str(scopes) + Str(tags) + Str(""), 0, false);
}

PeerReply StandardPeer::FindTypes(const std::string& scopes) {
  std::string body = Str("");
  Put(&body, 0xFFFF, 2);  // all naming authorities: no string bytes follow
  return Exchange(9, body + Str(scopes), 0, false);
}

PeerReply StandardPeer::Register(const std::string& url, const std::string& type,
                                 const std::string& attrs, uint16_t lifetime, bool over_tcp) {
  std::string entry;
  Put(&entry, 0, 1);
  Put(&entry, lifetime, 2);
  entry += Str(url);
  Put(&entry, 0, 1);
  std::string body = entry + Str(type) + Str("default") + Str(attrs);
  Put(&body, 0, 1);
  return Exchange(3, body, 0x4000, over_tcp);
}

PeerReply StandardPeer::Deregister(const std::string& url, bool over_tcp) {
  std::string entry;
  Put(&entry, 0, 1);
  Put(&entry, 0, 2);
  entry += Str(url);
  Put(&entry, 0, 1);
  return Exchange(4, Str("default") + entry + Str(""), 0, over_tcp);
}

}  // namespace slptest
