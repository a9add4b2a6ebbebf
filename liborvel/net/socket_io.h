// socket_io.h: descriptor ownership, deadlines and deadline-bounded socket
// I/O.  Internal to liborvel and its programs; never installed.
//
// Every call that can block takes a Deadline and gives up once it passes.
// EINTR is retried, EAGAIN waits for readiness, a read of 0 means the peer
// closed, and writes continue after partial transfers.  Writes use
// MSG_NOSIGNAL, so a vanished peer gives EPIPE instead of killing the process.
// The calls work on blocking and non-blocking sockets alike: they poll first
// and then transfer with MSG_DONTWAIT.
//
//   net::UniqueFd s = net::ConnectTcp(net::Ipv4(addr, port), deadline, &err);
//   net::IoResult r = net::WriteAll(s.get(), data, len, deadline);
//
// Thread safety: free functions, no shared state; a UniqueFd is a value.
#ifndef ORVEL_LIBORVEL_NET_SOCKET_IO_H_
#define ORVEL_LIBORVEL_NET_SOCKET_IO_H_

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <string>

#include "net/status.h"

namespace orvel::net {

// Owns one file descriptor; closes it on destruction.  -1 means "none"; 0 is
// a valid descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A point in time after which I/O gives up.  Default: never.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;
  static Deadline Never() { return Deadline(); }
  static Deadline After(double seconds);
  static Deadline AfterMs(long long ms) { return After(static_cast<double>(ms) / 1000.0); }
  static Deadline At(Clock::time_point at);
  bool infinite() const { return infinite_; }
  bool passed() const { return !infinite_ && Clock::now() >= at_; }
  // The moment itself; Clock::time_point::max() when infinite.
  Clock::time_point at() const { return infinite_ ? Clock::time_point::max() : at_; }
  // Milliseconds left for poll(): -1 when infinite, 0 when passed.
  int remaining_ms() const;

 private:
  bool infinite_ = true;
  Clock::time_point at_{};
};

enum class IoStatus { kOk, kClosed, kTimedOut, kError };

struct IoResult {
  IoStatus status;
  size_t bytes;  // transferred before the status arose
  int error;     // errno for kError (ETIMEDOUT for kTimedOut)

  // OK for kOk; otherwise "what: <errno text>" (errno kept, kTimedOut for
  // a time-out) or "what: closed by the peer" (kProtocol).
  Status ToStatus(const std::string& what) const;
};

// Waits until fd is readable, then reads once (at most len bytes).  kOk with
// bytes > 0, or kClosed / kTimedOut / kError with bytes 0.
IoResult ReadSome(int fd, void* buf, size_t len, Deadline deadline);
// Reads until len bytes arrived; on closing, time-out or error reports how
// many came first (kOk only when all did).
IoResult ReadExact(int fd, void* buf, size_t len, Deadline deadline);
// Writes all len bytes; on failure reports how many went out first.
IoResult WriteAll(int fd, const void* buf, size_t len, Deadline deadline);
// Writes first then second as one stream (a single send when they fit the
// socket buffer); bytes counts both, as WriteAll does.
IoResult WriteAll2(int fd, const void* first, size_t first_len, const void* second,
                   size_t second_len, Deadline deadline);
// Waits until fd reports one of events (poll bits), an error or a hang-up.
// Returns 0, ETIMEDOUT when the deadline passes first, or an errno value.
int WaitReady(int fd, short events, Deadline deadline);
// Waits for a non-blocking connect() in progress to finish.  Returns 0 or an
// errno value (ETIMEDOUT when the deadline passes).
int WaitConnected(int fd, Deadline deadline);
// Sets or clears O_NONBLOCK.  Returns false (errno set) on failure.
bool SetNonBlocking(int fd, bool on);

// Seconds from environment variable name (fractions allowed); fallback when
// unset, not a number, or not positive.
double EnvSeconds(const char* name, double fallback);
// Non-negative integer from environment variable name; fallback when unset
// or not a plain decimal number.
long long EnvInteger(const char* name, long long fallback);

}  // namespace orvel::net

#endif  // ORVEL_LIBORVEL_NET_SOCKET_IO_H_
