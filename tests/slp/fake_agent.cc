// fake_agent.cc: scripted SLP directory agent for tests (loopback only).
#include "fake_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "testutil/net_util.h"

namespace slptest {

using orvel::slp::Decode;
using orvel::slp::Message;
using orvel::slp::WireStatus;

namespace {

using orvel::testutil::Loopback;

bool ReadExactly(int fd, std::string* out, size_t n) {
  while (out->size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    char buf[4096];
    ssize_t r = read(fd, buf, std::min(sizeof(buf), n - out->size()));
    if (r <= 0) return false;
    out->append(buf, static_cast<size_t>(r));
  }
  return true;
}

}  // namespace

FakeAgent::FakeAgent(Handler handler) : handler_(std::move(handler)) {
  // UDP and TCP must share the port number; retry a few ephemeral ports.
  for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
    int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof(a);
    if (bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(u, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(u);
      continue;
    }
    int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(t, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(t, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(t, 8) != 0) {
      close(u);
      close(t);
      continue;
    }
    udp_ = u;
    tcp_ = t;
    port_ = ntohs(a.sin_port);
  }
  if (port_ == 0 || pipe(wake_) != 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

FakeAgent::~FakeAgent() {
  if (thread_.joinable()) {
    char c = 'q';
    (void)!write(wake_[1], &c, 1);
    thread_.join();
  }
  for (int fd : {udp_, tcp_, wake_[0], wake_[1]})
    if (fd >= 0) close(fd);
}

std::string FakeAgent::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<unsigned> FakeAgent::udp_xids() const {
  std::lock_guard<std::mutex> lock(mu_);
  return xids_;
}

void FakeAgent::Run() {
  std::vector<uint8_t> buf(65536);
  for (;;) {
    pollfd p[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 3, -1) < 0) continue;
    if (p[2].revents) return;
    if (p[0].revents & POLLIN) {
      sockaddr_in from{};
      socklen_t fl = sizeof(from);
      ssize_t n =
          recvfrom(udp_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
      Message req;
      if (n > 0 && Decode(buf.data(), static_cast<size_t>(n), &req) == WireStatus::kOk) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          xids_.push_back(req.header.xid);
        }
        ++udp_requests_;
        for (const std::string& d : handler_(req, false))
          sendto(udp_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
      }
    }
    if (p[1].revents & POLLIN) {
      int c = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        ServeTcp(c);
        close(c);
      }
    }
  }
}

void FakeAgent::ServeTcp(int fd) {
  std::string in;
  if (!ReadExactly(fd, &in, 5)) return;
  uint32_t len = orvel::slp::PeekLength(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  if (len < 16 || len > 65536 || !ReadExactly(fd, &in, len)) return;
  Message req;
  if (Decode(in, &req) != WireStatus::kOk) return;
  ++tcp_requests_;
  std::string out;
  for (const std::string& d : handler_(req, true)) out += d;
  size_t sent = 0;
  while (sent < out.size()) {
    ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string ReplyTo(const Message& request, orvel::slp::Body body, uint16_t flags) {
  Message m;
  m.header.xid = request.header.xid;
  m.header.lang = request.header.lang;
  m.header.flags = flags;
  m.body = std::move(body);
  return orvel::slp::Encode(m);
}

unsigned short DeadUdpPort() {
  int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof(a);
  bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  getsockname(u, reinterpret_cast<sockaddr*>(&a), &len);
  close(u);
  return ntohs(a.sin_port);
}

}  // namespace slptest
