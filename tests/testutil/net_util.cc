// net_util.cc: loopback helpers for tests.
#include "testutil/net_util.h"

#include "net/address.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace orvel::testutil {

sockaddr_in Loopback(uint16_t port) { return net::Ipv4(htonl(INADDR_LOOPBACK), port); }

uint16_t FreePort() {
  int err = 0;
  TestFd s = net::ListenTcp(net::Ipv4(htonl(INADDR_ANY), 0), 1, &err);
  return s.valid() ? net::LocalPort(s.get()) : 0;
}

TestFd ConnectLoopback(uint16_t port, int timeout_ms) {
  const net::Deadline deadline = net::Deadline::AfterMs(timeout_ms);
  for (;;) {
    int err = 0;
    TestFd s = net::ConnectTcp(Loopback(port), deadline, &err);
    if (s.valid()) return s;
    // Refused: nothing listens yet; try again until the deadline.
    if (err != ECONNREFUSED || deadline.passed()) return TestFd();
    usleep(20 * 1000);
  }
}

bool WaitListening(uint16_t port, int timeout_ms) {
  return ConnectLoopback(port, timeout_ms).valid();
}

bool WaitListeningWithoutConnecting(uint16_t port, int timeout_ms) {
  const net::Deadline deadline = net::Deadline::AfterMs(timeout_ms);
  char want[16];
  std::snprintf(want, sizeof want, ":%04X", port);
  for (;;) {
    // Lines read "sl local_address rem_address st ...", addresses as
    // hex "ADDR:PORT", state 0A for a listening socket.
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0) {
        return true;
      }
    }
    if (deadline.passed()) return false;
    usleep(10 * 1000);
  }
}

bool SendAll(int fd, const std::string& data) {
  constexpr double kSendSeconds = 60;  // a peer that reads nothing for a minute
  return net::WriteAll(fd, data.data(), data.size(), net::Deadline::After(kSendSeconds)).status ==
         net::IoStatus::kOk;
}

namespace {

// Reads until stop(data) holds, end of stream, error or the deadline.
std::string ReadWhile(int fd, int timeout_ms, bool* closed,
                      const std::function<bool(const std::string&)>& done) {
  const net::Deadline deadline = net::Deadline::AfterMs(timeout_ms);
  std::string out;
  if (closed != nullptr) *closed = false;
  char buf[4096];
  while (!done(out)) {
    net::IoResult r = net::ReadSome(fd, buf, sizeof buf, deadline);
    if (r.status != net::IoStatus::kOk) {
      if (closed != nullptr) {
        *closed = r.status == net::IoStatus::kClosed ||
                  (r.status == net::IoStatus::kError && r.error == ECONNRESET);
      }
      break;
    }
    out.append(buf, r.bytes);
  }
  return out;
}

}  // namespace

std::string ReadUntilClosed(int fd, int timeout_ms, bool* closed) {
  return ReadWhile(fd, timeout_ms, closed, [](const std::string&) { return false; });
}

std::string ReadAtLeast(int fd, size_t want, int timeout_ms) {
  return ReadWhile(fd, timeout_ms, nullptr,
                   [want](const std::string& s) { return s.size() >= want; });
}

std::string Exchange(uint16_t port, const std::string& request, bool half_close, int timeout_ms) {
  TestFd s = ConnectLoopback(port);
  if (!s.valid()) return std::string();
  SendAll(s.get(), request);
  if (half_close) shutdown(s.get(), SHUT_WR);
  return ReadUntilClosed(s.get(), timeout_ms);
}

std::string ReadHttpRequest(int fd, int timeout_ms) {
  return ReadWhile(fd, timeout_ms, nullptr, [](const std::string& s) {
    size_t end = s.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t at = s.find("Content-Length:");
    long len = at == std::string::npos ? 0 : std::atol(s.c_str() + at + 15);
    return s.size() >= end + 4 + static_cast<size_t>(len > 0 ? len : 0);
  });
}

StderrCapture::StderrCapture() {
  char tmpl[] = "/tmp/orvel_stderr_XXXXXX";
  int fd = mkstemp(tmpl);
  path_ = tmpl;
  std::fflush(stderr);
  saved_fd_ = dup(2);
  dup2(fd, 2);
  close(fd);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_fd_, 2);
  close(saved_fd_);
  unlink(path_.c_str());
}

std::string StderrCapture::Text() const {
  std::fflush(stderr);
  std::ifstream in(path_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool StderrCapture::WaitFor(const std::string& needle, int timeout_ms) const {
  const net::Deadline deadline = net::Deadline::AfterMs(timeout_ms);
  for (;;) {
    if (Text().find(needle) != std::string::npos) return true;
    if (deadline.passed()) return false;
    usleep(10 * 1000);
  }
}

FakePeer::FakePeer(Script script) : script_(std::move(script)) {
  int err = 0;
  listener_ = net::ListenTcp(Loopback(0), 16, &err);
  port_ = net::LocalPort(listener_.get());
  thread_ = std::thread([this] { Run(); });
}

FakePeer::~FakePeer() {
  stop_ = true;
  thread_.join();
}

void FakePeer::Run() {
  while (!stop_) {
    if (net::WaitReady(listener_.get(), POLLIN, net::Deadline::AfterMs(50)) != 0) continue;
    TestFd conn(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) continue;
    ++connections_;
    script_(conn.get());
  }
}

}  // namespace orvel::testutil
