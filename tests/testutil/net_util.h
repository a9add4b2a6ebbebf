// net_util.h: loopback helpers for tests: free ports, raw clients, a
// scripted fake peer and capture of standard error.
//
// Everything here talks to 127.0.0.1 only, and every wait is bounded.
#ifndef ORVEL_TESTS_TESTUTIL_NET_UTIL_H_
#define ORVEL_TESTS_TESTUTIL_NET_UTIL_H_

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket_io.h"

namespace orvel::testutil {

// Owns a descriptor; closes it when destroyed.
using TestFd = net::UniqueFd;

// 127.0.0.1:port.
sockaddr_in Loopback(uint16_t port);

// A TCP port that was free a moment ago (bound to the wildcard address and
// released again).
uint16_t FreePort();

// Connects to 127.0.0.1:port, retrying for up to timeout_ms while nothing
// listens yet.  Invalid on failure.
TestFd ConnectLoopback(uint16_t port, int timeout_ms = 5000);

// Writes all of data (MSG_NOSIGNAL).  False on error.
bool SendAll(int fd, const std::string& data);
// Reads until the peer closes, an error, or timeout_ms passes.  *closed
// tells whether end of stream was seen.
std::string ReadUntilClosed(int fd, int timeout_ms = 10000, bool* closed = nullptr);
// Reads until at least want bytes arrived, the peer closes, or timeout_ms.
std::string ReadAtLeast(int fd, size_t want, int timeout_ms = 10000);

// One raw exchange: connect, send request, half-close when asked, read the
// whole response.  An empty string when the connection failed.
std::string Exchange(uint16_t port, const std::string& request, bool half_close = false,
                     int timeout_ms = 10000);

// Blocks until something listens on 127.0.0.1:port, for at most timeout_ms.
bool WaitListening(uint16_t port, int timeout_ms = 5000);

// The same without connecting, from the kernel's socket table: for tests
// where a probe connection, served and closed later, would disturb them.
bool WaitListeningWithoutConnecting(uint16_t port, int timeout_ms = 5000);

// Redirects this process's standard error into a file while alive.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // Everything written so far.
  std::string Text() const;
  // Waits (at most timeout_ms) until the text contains needle.
  bool WaitFor(const std::string& needle, int timeout_ms = 5000) const;

 private:
  int saved_fd_ = -1;
  std::string path_;
};

// A scripted peer on 127.0.0.1: accepts connections one after another and
// runs the script on each.  The script gets the connected descriptor and
// whatever it does is up to the test (read the request, write segments,
// close or linger).  Stops accepting when destroyed.
class FakePeer {
 public:
  using Script = std::function<void(int fd)>;
  explicit FakePeer(Script script);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;
  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  void Run();
  Script script_;
  TestFd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Reads one request as our HTTP client writes it: the head up to the empty
// line, then Content-Length bytes.  Returns all bytes read.
std::string ReadHttpRequest(int fd, int timeout_ms = 10000);

}  // namespace orvel::testutil

#endif  // ORVEL_TESTS_TESTUTIL_NET_UTIL_H_
