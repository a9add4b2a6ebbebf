// acceptor.cc: the accept loop every server shares.
#include "net/acceptor.h"

#include <errno.h>
#include <sys/socket.h>

#include <utility>

namespace orvel::net {

Acceptor::Acceptor(EventLoop* loop, int listener, AcceptFn on_accept, ErrorFn on_error)
    : Acceptor(loop, listener, std::move(on_accept), std::move(on_error), Options()) {}

Acceptor::Acceptor(EventLoop* loop, int listener, AcceptFn on_accept, ErrorFn on_error,
                   const Options& options)
    : loop_(loop),
      listener_(listener),
      on_accept_(std::move(on_accept)),
      on_error_(std::move(on_error)),
      options_(options) {}

Acceptor::~Acceptor() { Stop(); }

bool Acceptor::PassingError(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool Acceptor::ShortageError(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool Acceptor::SetWatching(bool on) {
  if (on == watching_) return true;
  if (on) {
    watching_ = loop_->Watch(listener_, options_.watch_events, this);
    return watching_;
  }
  loop_->Unwatch(listener_, this);
  watching_ = false;
  return true;
}

bool Acceptor::Start() {
  if (stopped_) {
    errno = EBADF;
    return false;
  }
  paused_ = false;
  // Accepting goes on until nothing is pending, which a blocking listener
  // would wait for.
  if (!SetNonBlocking(listener_, true)) return false;
  return backing_off_ || SetWatching(true);
}

void Acceptor::Pause() {
  paused_ = true;
  SetWatching(false);
}

bool Acceptor::Resume() {
  paused_ = false;
  if (stopped_ || backing_off_) return !stopped_;
  return SetWatching(true);
}

void Acceptor::Stop() {
  stopped_ = true;
  SetWatching(false);
  if (backing_off_) loop_->Disarm(this);
  backing_off_ = false;
}

void Acceptor::OnTimer() {
  backing_off_ = false;
  if (!stopped_ && !paused_) SetWatching(true);
}

void Acceptor::OnEvents(uint32_t) {
  for (int n = 0; options_.max_per_event == 0 || n < options_.max_per_event; ++n) {
    // The callback may have paused or stopped the acceptor.
    if (!watching_) return;
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    UniqueFd fd(::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                          SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (fd.valid()) {
      on_accept_(std::move(fd), peer);
      continue;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return;
    const bool shortage = ShortageError(err);
    const bool fatal = !shortage && !PassingError(err);
    if (shortage) {
      // Watching on would wake the loop at once again: the connection
      // waits in the backlog until something is closed.
      SetWatching(false);
      backing_off_ = true;
      loop_->Arm(this, EventLoop::Clock::now() + options_.shortage_backoff);
    } else if (fatal) {
      Stop();
    }
    if (on_error_) on_error_(err, fatal);
    if (shortage || fatal) return;
  }
}

}  // namespace orvel::net
