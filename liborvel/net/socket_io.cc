// socket_io.cc: deadline-bounded reads and writes over stream sockets.
#include "net/socket_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

namespace orvel::net {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Deadline Deadline::After(double seconds) {
  // Beyond about 31 years the clock's nanosecond count could overflow.
  constexpr double kMaxSeconds = 1e9;
  if (!(seconds < kMaxSeconds)) seconds = kMaxSeconds;
  if (seconds < 0) seconds = 0;
  Deadline d;
  d.infinite_ = false;
  d.at_ = Clock::now() +
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  return d;
}

Deadline Deadline::At(Clock::time_point at) {
  Deadline d;
  d.infinite_ = false;
  d.at_ = at;
  return d;
}

int Deadline::remaining_ms() const {
  if (infinite_) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - Clock::now()).count();
  if (left <= 0) return 0;
  // Round up so a wait never ends just before the deadline and spins.
  return left > 1000000000 ? 1000000000 : static_cast<int>(left) + 1;
}

int WaitReady(int fd, short events, Deadline deadline) {
  for (;;) {
    int wait_ms = deadline.remaining_ms();
    if (wait_ms == 0) return ETIMEDOUT;
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, wait_ms);
    if (rc > 0) return 0;  // ready, or an error/hang-up the next call reports
    if (rc == 0) {
      if (deadline.remaining_ms() == 0) return ETIMEDOUT;
      continue;
    }
    if (errno != EINTR) return errno;
  }
}

Status IoResult::ToStatus(const std::string& what) const {
  switch (status) {
    case IoStatus::kOk:
      return Status::OK();
    case IoStatus::kClosed:
      return Status::Protocol(what + ": closed by the peer");
    case IoStatus::kTimedOut:
      return Status::FromErrno(what, ETIMEDOUT);
    case IoStatus::kError:
      break;
  }
  return Status::FromErrno(what, error != 0 ? error : EIO);
}

IoResult ReadSome(int fd, void* buf, size_t len, Deadline deadline) {
  for (;;) {
    int err = WaitReady(fd, POLLIN, deadline);
    if (err == ETIMEDOUT) return {IoStatus::kTimedOut, 0, ETIMEDOUT};
    if (err != 0) return {IoStatus::kError, 0, err};
    ssize_t n = ::recv(fd, buf, len, MSG_DONTWAIT);
    if (n > 0) return {IoStatus::kOk, static_cast<size_t>(n), 0};
    if (n == 0) return {IoStatus::kClosed, 0, 0};
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return {IoStatus::kError, 0, errno};
  }
}

IoResult ReadExact(int fd, void* buf, size_t len, Deadline deadline) {
  size_t done = 0;
  while (done < len) {
    IoResult r = ReadSome(fd, static_cast<char*>(buf) + done, len - done, deadline);
    if (r.status != IoStatus::kOk) return {r.status, done, r.error};
    done += r.bytes;
  }
  return {IoStatus::kOk, done, 0};
}

IoResult WriteAll2(int fd, const void* first, size_t first_len, const void* second,
                   size_t second_len, Deadline deadline) {
  const size_t len = first_len + second_len;
  size_t done = 0;
  while (done < len) {
    iovec iov[2];
    int count = 0;
    if (done < first_len) {
      iov[count++] = {const_cast<char*>(static_cast<const char*>(first)) + done, first_len - done};
    }
    const size_t second_done = done > first_len ? done - first_len : 0;
    if (second_len > second_done) {
      iov[count++] = {const_cast<char*>(static_cast<const char*>(second)) + second_done,
                      second_len - second_done};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int err = WaitReady(fd, POLLOUT, deadline);
      if (err == ETIMEDOUT) return {IoStatus::kTimedOut, done, ETIMEDOUT};
      if (err != 0) return {IoStatus::kError, done, err};
      continue;
    }
    return {IoStatus::kError, done, n < 0 ? errno : EPIPE};
  }
  return {IoStatus::kOk, done, 0};
}

IoResult WriteAll(int fd, const void* buf, size_t len, Deadline deadline) {
  return WriteAll2(fd, buf, len, nullptr, 0, deadline);
}

int WaitConnected(int fd, Deadline deadline) {
  int err = WaitReady(fd, POLLOUT, deadline);
  if (err != 0) return err;
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) < 0) return errno;
  return so_error;
}

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

double EnvSeconds(const char* name, double fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (*end != '\0' || !std::isfinite(v) || v <= 0) return fallback;
  return v;
}

long long EnvInteger(const char* name, long long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') return fallback;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (*end != '\0' || errno == ERANGE) return fallback;
  return v;
}

}  // namespace orvel::net
