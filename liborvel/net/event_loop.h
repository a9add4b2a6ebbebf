// event_loop.h: a small epoll event loop, one per thread, in the manner of
// Redis's ae: readiness callbacks on descriptors, one-shot timers, and tasks
// posted from other threads.
//
// Use:
//   int err = 0;
//   std::unique_ptr<net::EventLoop> loop = net::EventLoop::Create(&err);
//   struct Conn : net::EventLoop::Watcher, net::EventLoop::Timer {
//     void OnEvents(uint32_t events) override { ... read, maybe delete this ... }
//     void OnTimer() override { ... the peer was too slow ... }
//   };
//   loop->Watch(fd, EPOLLIN, conn);          // level-triggered unless EPOLLET
//   loop->Arm(conn, net::Deadline::After(30).at());
//   std::thread t([&] { loop->Run(); });     // until Stop()
//   loop->Post([] { ... runs on the loop's thread ... });
//   loop->Stop(); t.join();
//
// A Watcher or Timer is the caller's object: the loop keeps a pointer only
// while it is watched or armed, so Unwatch/Disarm it (closing its descriptor
// also ends the watch) before freeing it.  A callback may free its own
// object, or Unwatch other ones: events still pending in the same round for
// an unwatched Watcher are dropped.  A Timer costs nothing but its three
// fields: timers sit in one list ordered by time, and a timer armed later
// than all others (the usual case: one time-out per connection) is added in
// constant time.
//
// Thread safety: Post() and Stop() may be called from any thread; every
// other member only on the thread running the loop (before Run() starts, any
// one thread may set it up).
#ifndef ORVEL_LIBORVEL_NET_EVENT_LOOP_H_
#define ORVEL_LIBORVEL_NET_EVENT_LOOP_H_

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "net/socket_io.h"
#include "port/mutex.h"

namespace orvel::net {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  class Watcher {
   public:
    // events: the epoll bits that are set (EPOLLIN, EPOLLOUT, EPOLLERR,
    // EPOLLHUP, EPOLLRDHUP).
    virtual void OnEvents(uint32_t events) = 0;

   protected:
    ~Watcher() = default;
  };

  class Timer {
   public:
    virtual void OnTimer() = 0;
    bool armed() const { return armed_; }

   protected:
    ~Timer() = default;

   private:
    friend class EventLoop;
    Timer* prev_ = nullptr;
    Timer* next_ = nullptr;
    Clock::time_point at_{};
    bool armed_ = false;
  };

  // Null, with the errno value in *error, when epoll or the wake-up
  // descriptor cannot be made.
  static std::unique_ptr<EventLoop> Create(int* error);
  // Must not run on its loop's thread, nor while Run() is in progress.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts, changes and ends watching fd.  False (errno set) when epoll
  // refuses.  events may add EPOLLEXCLUSIVE (Watch only) or EPOLLET.
  bool Watch(int fd, uint32_t events, Watcher* w);
  bool Change(int fd, uint32_t events, Watcher* w);
  void Unwatch(int fd, Watcher* w);

  // Runs t->OnTimer() once at or after `at`; an armed timer is moved.
  void Arm(Timer* t, Clock::time_point at);
  void Disarm(Timer* t);

  // Runs fn on the loop's thread, in the order posted.  Tasks still queued
  // when the loop is destroyed are dropped unrun.
  void Post(std::function<void()> fn);
  // Makes Run() return after the current round.
  void Stop();

  // Rounds until Stop().
  void Run();
  // One round: waits at most timeout_ms (-1: until something happens) for
  // readiness, the first timer or a posted task, then runs the callbacks.
  // Returns the number of callbacks run.
  int RunOnce(int timeout_ms);

  size_t watched() const { return watched_; }

 private:
  class Waker;
  EventLoop() = default;
  int TimeoutForNextTimer(int timeout_ms) const;
  int RunDueTimers();
  int RunPosted();

  UniqueFd epoll_;
  UniqueFd wake_fd_;  // eventfd: Post() and Stop() write it
  std::unique_ptr<Waker> waker_;
  std::vector<epoll_event> events_;
  int pending_ = 0;     // events_ of the round in progress
  int next_event_ = 0;  // the next of them to dispatch
  size_t watched_ = 0;
  Timer* first_ = nullptr;
  Timer* last_ = nullptr;
  port::Mutex posted_mu_;
  std::vector<std::function<void()>> posted_ GUARDED_BY(posted_mu_);
  std::atomic<bool> stop_{false};
  std::atomic<bool> wake_pending_{false};
};

}  // namespace orvel::net

#endif  // ORVEL_LIBORVEL_NET_EVENT_LOOP_H_
