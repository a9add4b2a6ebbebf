// acceptor.h: accepting connections on an event loop, with one policy for
// every server of the project.
//
//   net::Acceptor acceptor(loop, listener.get(), [&](net::UniqueFd fd, const sockaddr_in& peer) {
//     ... take the connection (non-blocking, close-on-exec) ...
//   });
//   if (!acceptor.Start()) ...;
//
// The policy: each readiness event accepts what is pending (at most
// max_per_event).  A failure that concerns one pending connection (aborted,
// refused by a filter, a passing network error) is skipped.  Running out of
// descriptors or memory stops watching the listener and tries again after
// shortage_backoff on a loop timer: the loop goes on serving its peers,
// whose closing frees what was missing, and the full backlog does not spin
// the loop.  Any other failure gives the listener up for good (fatal).
//
// Thread safety: as the loop's Watchers: every member on the loop's thread
// (or before the loop runs).  Does not own the listener.
#ifndef ORVEL_LIBORVEL_NET_ACCEPTOR_H_
#define ORVEL_LIBORVEL_NET_ACCEPTOR_H_

#include <netinet/in.h>
#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>

#include "net/event_loop.h"
#include "net/socket_io.h"

namespace orvel::net {

class Acceptor final : public EventLoop::Watcher, public EventLoop::Timer {
 public:
  // Takes each accepted connection.  May call Pause() or Stop().
  using AcceptFn = std::function<void(UniqueFd fd, const sockaddr_in& peer)>;
  // Told of each failed accept() but "nothing pending", with the errno
  // value; fatal when the listener was given up.  May be empty.
  using ErrorFn = std::function<void(int error, bool fatal)>;

  struct Options {
    // EPOLLIN, with EPOLLEXCLUSIVE where several loops share one listener.
    uint32_t watch_events = EPOLLIN;
    // Connections accepted per readiness event; 0: until none is pending.
    int max_per_event = 0;
    // Pause after running out of descriptors or memory.
    std::chrono::milliseconds shortage_backoff{100};
  };

  Acceptor(EventLoop* loop, int listener, AcceptFn on_accept, ErrorFn on_error = nullptr);
  Acceptor(EventLoop* loop, int listener, AcceptFn on_accept, ErrorFn on_error,
           const Options& options);
  ~Acceptor();  // Stop()
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Makes the listener non-blocking and starts watching it.  False (errno
  // set) when either fails, or after Stop() or a fatal failure.
  bool Start();
  // Stops watching until Resume() (a server at its connection cap).
  void Pause();
  // Watches again, unless a shortage back-off is running (it resumes at
  // its end) or the acceptor was stopped.  False (errno set) when the loop
  // refuses the listener.
  bool Resume();
  // Stops for good; the listener is left to its owner.
  void Stop();

  // Whether the listener is watched now.
  bool watching() const { return watching_; }
  // Whether a shortage back-off is running.
  bool backing_off() const { return backing_off_; }

  void OnEvents(uint32_t events) override;
  void OnTimer() override;

  // Whether an accept() failure (errno value) concerns only one pending
  // connection, and whether it is a shortage of descriptors or memory.
  static bool PassingError(int error);
  static bool ShortageError(int error);

 private:
  bool SetWatching(bool on);

  EventLoop* const loop_;
  const int listener_;
  const AcceptFn on_accept_;
  const ErrorFn on_error_;
  const Options options_;
  bool watching_ = false;
  bool paused_ = false;
  bool backing_off_ = false;
  bool stopped_ = false;
};

}  // namespace orvel::net

#endif  // ORVEL_LIBORVEL_NET_ACCEPTOR_H_
