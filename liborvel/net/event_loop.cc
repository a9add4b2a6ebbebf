// event_loop.cc: epoll_wait rounds, an ordered timer list and an eventfd for
// tasks posted from other threads.
#include "net/event_loop.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace orvel::net {

namespace {
constexpr int kEventsPerRound = 256;
}  // namespace

// Drains the eventfd; the posted tasks themselves run after the round's
// other events.
class EventLoop::Waker final : public EventLoop::Watcher {
 public:
  explicit Waker(EventLoop* loop) : loop_(loop) {}
  void OnEvents(uint32_t) override {
    uint64_t count = 0;
    while (::read(loop_->wake_fd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
  }

 private:
  EventLoop* loop_;
};

std::unique_ptr<EventLoop> EventLoop::Create(int* error) {
  std::unique_ptr<EventLoop> loop(new EventLoop());
  loop->epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (loop->epoll_.valid()) loop->wake_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!loop->epoll_.valid() || !loop->wake_fd_.valid()) {
    if (error != nullptr) *error = errno;
    return nullptr;
  }
  loop->waker_ = std::make_unique<Waker>(loop.get());
  if (!loop->Watch(loop->wake_fd_.get(), EPOLLIN, loop->waker_.get())) {
    if (error != nullptr) *error = errno;
    return nullptr;
  }
  loop->watched_ = 0;  // the wake-up descriptor is not the caller's
  loop->events_.resize(kEventsPerRound);
  return loop;
}

EventLoop::~EventLoop() {
  while (first_ != nullptr) Disarm(first_);
}

bool EventLoop::Watch(int fd, uint32_t events, Watcher* w) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = w;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  ++watched_;
  return true;
}

bool EventLoop::Change(int fd, uint32_t events, Watcher* w) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = w;
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::Unwatch(int fd, Watcher* w) {
  epoll_event unused{};
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, &unused) == 0 && watched_ > 0) --watched_;
  // The watcher may be freed next: forget its events not yet dispatched.
  for (int i = next_event_; i < pending_; ++i) {
    if (events_[i].data.ptr == w) events_[i].data.ptr = nullptr;
  }
}

void EventLoop::Arm(Timer* t, Clock::time_point at) {
  if (t->armed_) Disarm(t);
  t->at_ = at;
  t->armed_ = true;
  // From the back: deadlines mostly come in the order they were set.
  Timer* after = last_;
  while (after != nullptr && after->at_ > at) after = after->prev_;
  t->prev_ = after;
  t->next_ = after != nullptr ? after->next_ : first_;
  if (t->next_ != nullptr) {
    t->next_->prev_ = t;
  } else {
    last_ = t;
  }
  if (after != nullptr) {
    after->next_ = t;
  } else {
    first_ = t;
  }
}

void EventLoop::Disarm(Timer* t) {
  if (!t->armed_) return;
  if (t->prev_ != nullptr) {
    t->prev_->next_ = t->next_;
  } else {
    first_ = t->next_;
  }
  if (t->next_ != nullptr) {
    t->next_->prev_ = t->prev_;
  } else {
    last_ = t->prev_;
  }
  t->prev_ = t->next_ = nullptr;
  t->armed_ = false;
}

void EventLoop::Post(std::function<void()> fn) {
  {
    port::MutexLock lock(&posted_mu_);
    posted_.push_back(std::move(fn));
  }
  // One write per batch of posts: the loop clears the flag before it runs
  // the batch.
  if (!wake_pending_.exchange(true, std::memory_order_acq_rel)) {
    uint64_t one = 1;
    while (::write(wake_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

void EventLoop::Stop() {
  stop_.store(true, std::memory_order_release);
  uint64_t one = 1;
  while (::write(wake_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void EventLoop::Run() {
  while (!stop_.load(std::memory_order_acquire)) RunOnce(-1);
  stop_.store(false, std::memory_order_release);
}

int EventLoop::TimeoutForNextTimer(int timeout_ms) const {
  if (first_ == nullptr) return timeout_ms;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(first_->at_ - Clock::now()).count();
  // Rounded up, so a round never wakes just before its timer and spins.
  long long wait = left < 0 ? 0 : left + 1;
  if (timeout_ms >= 0 && wait > timeout_ms) wait = timeout_ms;
  return wait > 1000000000 ? 1000000000 : static_cast<int>(wait);
}

int EventLoop::RunDueTimers() {
  int ran = 0;
  const Clock::time_point now = Clock::now();
  while (first_ != nullptr && first_->at_ <= now) {
    Timer* t = first_;
    Disarm(t);
    t->OnTimer();  // may free t, or arm timers of its own
    ++ran;
  }
  return ran;
}

int EventLoop::RunPosted() {
  std::vector<std::function<void()>> batch;
  {
    port::MutexLock lock(&posted_mu_);
    wake_pending_.store(false, std::memory_order_release);
    batch.swap(posted_);
  }
  for (auto& fn : batch) fn();
  return static_cast<int>(batch.size());
}

int EventLoop::RunOnce(int timeout_ms) {
  int ran = 0;
  {
    port::MutexLock lock(&posted_mu_);
    if (!posted_.empty()) timeout_ms = 0;
  }
  int n = ::epoll_wait(epoll_.get(), events_.data(), static_cast<int>(events_.size()),
                       TimeoutForNextTimer(timeout_ms));
  if (n > 0) {
    pending_ = n;
    for (next_event_ = 0; next_event_ < pending_;) {
      const epoll_event ev = events_[next_event_++];
      auto* w = static_cast<Watcher*>(ev.data.ptr);
      if (w == nullptr) continue;  // unwatched earlier in this round
      w->OnEvents(ev.events);
      if (w != waker_.get()) ++ran;
    }
    pending_ = next_event_ = 0;
  }
  ran += RunDueTimers();
  ran += RunPosted();
  return ran;
}

}  // namespace orvel::net
