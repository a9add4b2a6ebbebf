// net_util.cc: loopback helpers for tests.
#include "testutil/net_util.h"

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

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())
          .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

}  // namespace

TestFd::~TestFd() {
  if (fd_ >= 0) ::close(fd_);
}

TestFd& TestFd::operator=(TestFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

uint16_t FreePort() {
  TestFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) return 0;
  socklen_t len = sizeof a;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

TestFd ConnectLoopback(uint16_t port, int timeout_ms) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    TestFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      return s;
    }
    if (errno != ECONNREFUSED || MsLeft(end) == 0) return TestFd();
    usleep(20 * 1000);
  }
}

bool WaitListening(uint16_t port, int timeout_ms) {
  return ConnectLoopback(port, timeout_ms).valid();
}

bool WaitListeningWithoutConnecting(uint16_t port, int timeout_ms) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
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
      if (state == "0A" && local.size() > 5 &&
          local.compare(local.size() - 5, 5, want) == 0) {
        return true;
      }
    }
    if (MsLeft(end) == 0) return false;
    usleep(10 * 1000);
  }
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// Reads until stop(data) holds, end of stream, error or the deadline.
std::string ReadWhile(int fd, int timeout_ms, bool* closed,
                      const std::function<bool(const std::string&)>& done) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string out;
  if (closed != nullptr) *closed = false;
  char buf[4096];
  while (!done(out)) {
    pollfd p{fd, POLLIN, 0};
    int rc = poll(&p, 1, MsLeft(end));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (closed != nullptr) *closed = (n == 0 || errno == ECONNRESET);
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

std::string ReadUntilClosed(int fd, int timeout_ms, bool* closed) {
  return ReadWhile(fd, timeout_ms, closed,
                   [](const std::string&) { return false; });
}

std::string ReadAtLeast(int fd, size_t want, int timeout_ms) {
  return ReadWhile(fd, timeout_ms, nullptr,
                   [want](const std::string& s) { return s.size() >= want; });
}

std::string Exchange(uint16_t port, const std::string& request,
                     bool half_close, int timeout_ms) {
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
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Text().find(needle) != std::string::npos) return true;
    if (MsLeft(end) == 0) return false;
    usleep(10 * 1000);
  }
}

FakePeer::FakePeer(Script script) : script_(std::move(script)) {
  listener_ = TestFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener_.get(), 16);
  socklen_t len = sizeof a;
  getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

FakePeer::~FakePeer() {
  stop_ = true;
  thread_.join();
}

void FakePeer::Run() {
  while (!stop_) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    TestFd conn(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) continue;
    ++connections_;
    script_(conn.get());
  }
}

}  // namespace orvel::testutil
