// The event loop: readiness, timers in order, posted tasks, and watchers
// freed while their events are pending.
#include "net/event_loop.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace orvel::net {
namespace {

std::unique_ptr<EventLoop> NewLoop() {
  int err = 0;
  std::unique_ptr<EventLoop> loop = EventLoop::Create(&err);
  EXPECT_NE(loop, nullptr) << err;
  return loop;
}

struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
  UniqueFd a, b;
};

struct Reader : EventLoop::Watcher {
  void OnEvents(uint32_t events) override {
    seen |= events;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    if (n == 0) closed = true;
  }
  int fd = -1;
  uint32_t seen = 0;
  std::string got;
  bool closed = false;
};

TEST(EventLoop, ReadinessIsReportedUntilUnwatched) {
  auto loop = NewLoop();
  Pair p;
  Reader r;
  r.fd = p.a.get();
  ASSERT_TRUE(loop->Watch(p.a.get(), EPOLLIN, &r));
  EXPECT_EQ(loop->watched(), 1u);
  EXPECT_EQ(loop->RunOnce(0), 0);  // nothing yet
  ASSERT_EQ(write(p.b.get(), "abc", 3), 3);
  EXPECT_EQ(loop->RunOnce(1000), 1);
  EXPECT_EQ(r.got, "abc");
  EXPECT_TRUE(r.seen & EPOLLIN);

  // Writability on demand.
  ASSERT_TRUE(loop->Change(p.a.get(), EPOLLOUT, &r));
  r.seen = 0;
  EXPECT_EQ(loop->RunOnce(1000), 1);
  EXPECT_TRUE(r.seen & EPOLLOUT);
  ASSERT_TRUE(loop->Change(p.a.get(), EPOLLIN, &r));

  p.b.reset();
  EXPECT_EQ(loop->RunOnce(1000), 1);
  EXPECT_TRUE(r.closed);
  loop->Unwatch(p.a.get(), &r);
  EXPECT_EQ(loop->watched(), 0u);
  EXPECT_EQ(loop->RunOnce(0), 0);
  // A descriptor epoll cannot take.
  EXPECT_FALSE(loop->Watch(-1, EPOLLIN, &r));
}

struct Victim final : EventLoop::Watcher {
  void OnEvents(uint32_t) override { ++(*runs); }
  int* runs = nullptr;
};

struct Reaper : EventLoop::Watcher {
  void OnEvents(uint32_t) override {
    ++(*runs);
    for (size_t i = 0; i < victims->size(); ++i) {
      if ((*victims)[i] == nullptr) continue;
      loop->Unwatch(fds[i], (*victims)[i]);
      delete (*victims)[i];
      (*victims)[i] = nullptr;
    }
  }
  EventLoop* loop = nullptr;
  std::vector<Victim*>* victims = nullptr;
  std::vector<int> fds;
  int* runs = nullptr;
};

TEST(EventLoop, WatcherFreedByAnotherInTheSameRoundGetsNoEvent) {
  auto loop = NewLoop();
  std::vector<Pair> pairs(4);
  int runs = 0;
  std::vector<Victim*> victims;
  Reaper reaper;
  reaper.loop = loop.get();
  reaper.victims = &victims;
  reaper.runs = &runs;
  for (size_t i = 1; i < pairs.size(); ++i) {
    victims.push_back(new Victim);
    victims.back()->runs = &runs;
    reaper.fds.push_back(pairs[i].a.get());
    ASSERT_TRUE(loop->Watch(pairs[i].a.get(), EPOLLIN, victims.back()));
  }
  ASSERT_TRUE(loop->Watch(pairs[0].a.get(), EPOLLIN, &reaper));
  // All four ready at once: whichever order epoll reports them in, the
  // reaper runs once and no victim runs after it (ASan would catch a freed
  // one being called).
  for (Pair& p : pairs) ASSERT_EQ(write(p.b.get(), "x", 1), 1);
  loop->RunOnce(1000);
  EXPECT_GE(runs, 1);
  EXPECT_LE(runs, 4);
  for (Victim* v : victims) EXPECT_EQ(v, nullptr);
  EXPECT_EQ(loop->watched(), 1u);
  loop->Unwatch(pairs[0].a.get(), &reaper);
}

struct Recorder : EventLoop::Timer {
  void OnTimer() override { order->push_back(id); }
  int id = 0;
  std::vector<int>* order = nullptr;
};

TEST(EventLoop, TimersRunInTimeOrderAndDisarmedOnesNever) {
  auto loop = NewLoop();
  std::vector<int> order;
  Recorder t[5];
  const auto now = EventLoop::Clock::now();
  // Armed out of order, one moved, one disarmed.
  const int offsets_ms[5] = {30, 10, 20, 5, 15};
  for (int i = 0; i < 5; ++i) {
    t[i].id = i;
    t[i].order = &order;
    loop->Arm(&t[i], now + std::chrono::milliseconds(offsets_ms[i]));
  }
  loop->Arm(&t[3], now + std::chrono::milliseconds(40));  // moved last
  loop->Disarm(&t[4]);
  EXPECT_FALSE(t[4].armed());
  EXPECT_TRUE(t[0].armed());
  while (order.size() < 4) loop->RunOnce(-1);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 0, 3}));
  for (const Recorder& r : t) EXPECT_FALSE(r.armed());
  EXPECT_EQ(loop->RunOnce(0), 0);
}

struct SelfDeleting final : EventLoop::Timer {
  void OnTimer() override {
    ++*fired;
    delete this;
  }
  int* fired = nullptr;
};

TEST(EventLoop, TimerMayFreeItselfAndTheLoopDropsArmedOnes) {
  int fired = 0;
  {
    auto loop = NewLoop();
    auto* t = new SelfDeleting;
    t->fired = &fired;
    loop->Arm(t, EventLoop::Clock::now());
    EXPECT_EQ(loop->RunOnce(1000), 1);
    EXPECT_EQ(fired, 1);
    Recorder never;
    std::vector<int> order;
    never.order = &order;
    loop->Arm(&never, EventLoop::Clock::now() + std::chrono::hours(1));
    loop.reset();  // disarms it
    EXPECT_FALSE(never.armed());
    EXPECT_TRUE(order.empty());
  }
}

TEST(EventLoop, PostedTasksRunInOrderOnTheLoopThreadAndStopEndsRun) {
  auto loop = NewLoop();
  std::vector<int> seen;
  std::thread::id loop_thread;
  std::thread t([&] {
    loop_thread = std::this_thread::get_id();
    loop->Run();
  });
  constexpr int kPosters = 4;
  constexpr int kEach = 500;
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        loop->Post([&, p, i] {
          if (std::this_thread::get_id() == loop_thread) seen.push_back(p * kEach + i);
          ran.fetch_add(1);
        });
      }
    });
  }
  for (auto& th : posters) th.join();
  std::atomic<bool> last{false};
  loop->Post([&] { last = true; });
  loop->Stop();
  t.join();
  // Stop() may overtake tasks posted before it; run what is left here.
  while (loop->RunOnce(0) > 0) {
  }
  EXPECT_TRUE(last);
  EXPECT_EQ(ran.load(), kPosters * kEach);
  // Each poster's tasks kept their order.
  std::vector<int> next(kPosters, 0);
  for (int v : seen) {
    int p = v / kEach;
    EXPECT_EQ(v % kEach, next[p]) << "poster " << p;
    next[p] = v % kEach + 1;
  }
}

}  // namespace
}  // namespace orvel::net
