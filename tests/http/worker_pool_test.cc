// The connection threads' pool: concurrency without a cap, reuse, idle
// expiry, creation failure and the stack size handed out.
#include "http/worker_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "http/http_impl.h"
#include "testutil/process_util.h"

namespace orvel::http {
namespace {

using std::chrono::milliseconds;

// Tasks that block until released, recording which thread ran them.
class Gate {
 public:
  static void* Task(void* self) {
    static_cast<Gate*>(self)->Enter();
    return nullptr;
  }
  void Enter() {
    std::unique_lock<std::mutex> lock(mu_);
    threads_.insert(pthread_self());
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    ++finished_;
    changed_.notify_all();
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    changed_.notify_all();
  }
  bool WaitEntered(int n) {
    return WaitFor([&] { return entered_ >= n; });
  }
  bool WaitFinished(int n) {
    return WaitFor([&] { return finished_ >= n; });
  }
  size_t distinct_threads() {
    std::lock_guard<std::mutex> lock(mu_);
    return threads_.size();
  }

 private:
  template <typename P>
  bool WaitFor(P done) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(10), done);
  }
  std::mutex mu_;
  std::condition_variable changed_;
  bool open_ = false;
  int entered_ = 0;
  int finished_ = 0;
  std::set<pthread_t> threads_;
};

bool Eventually(const std::function<bool()>& cond) {
  for (int i = 0; i < 1000; ++i) {
    if (cond()) return true;
    usleep(10 * 1000);
  }
  return cond();
}

TEST(WorkerPool, BlockedTasksDoNotHoldBackOthers) {
  WorkerPool pool(64 * 1024, milliseconds(5000), 512);
  Gate gate;
  constexpr int kTasks = 300;  // more than may wait idle: no cap on running
  for (int i = 0; i < kTasks; ++i) ASSERT_EQ(pool.Run(Gate::Task, &gate), 0);
  EXPECT_TRUE(gate.WaitEntered(kTasks));
  EXPECT_EQ(pool.threads(), static_cast<size_t>(kTasks));
  gate.Open();
  EXPECT_TRUE(gate.WaitFinished(kTasks));
}

TEST(WorkerPool, FinishedWorkersAreReused) {
  WorkerPool pool(64 * 1024, milliseconds(5000), 16);
  Gate gate;
  gate.Open();
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(pool.Run(Gate::Task, &gate), 0);
    ASSERT_TRUE(gate.WaitFinished(i + 1));
    ASSERT_TRUE(Eventually([&] { return pool.idle() == 1; }));
  }
  EXPECT_EQ(gate.distinct_threads(), 1u);
  EXPECT_EQ(pool.threads(), 1u);
}

TEST(WorkerPool, IdleWorkersEndAfterTheirKeepTime) {
  WorkerPool pool(64 * 1024, milliseconds(50), 16);
  Gate gate;
  gate.Open();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(pool.Run(Gate::Task, &gate), 0);
  ASSERT_TRUE(gate.WaitFinished(4));
  EXPECT_TRUE(Eventually([&] { return pool.threads() == 0; }));
  EXPECT_EQ(pool.idle(), 0u);
}

TEST(WorkerPool, NoMoreThanMaxIdleWait) {
  WorkerPool pool(64 * 1024, milliseconds(5000), 3);
  Gate gate;
  for (int i = 0; i < 10; ++i) ASSERT_EQ(pool.Run(Gate::Task, &gate), 0);
  ASSERT_TRUE(gate.WaitEntered(10));
  gate.Open();
  ASSERT_TRUE(gate.WaitFinished(10));
  EXPECT_TRUE(Eventually([&] { return pool.threads() == 3; }));
  EXPECT_EQ(pool.idle(), 3u);
}

int FailingCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

TEST(WorkerPool, CreationFailureIsReportedAndTaskNotRun) {
  WorkerPool pool(64 * 1024, milliseconds(5000), 16);
  Gate gate;
  gate.Open();
  EXPECT_EQ(pool.Run(Gate::Task, &gate, FailingCreate), EAGAIN);
  EXPECT_EQ(pool.threads(), 0u);
  // An idle worker takes the task without creating a thread.
  ASSERT_EQ(pool.Run(Gate::Task, &gate), 0);
  ASSERT_TRUE(gate.WaitFinished(1));
  ASSERT_TRUE(Eventually([&] { return pool.idle() == 1; }));
  EXPECT_EQ(pool.Run(Gate::Task, &gate, FailingCreate), 0);
  EXPECT_TRUE(gate.WaitFinished(2));
}

TEST(WorkerPool, RetireIdleMakesTheNextRunCreate) {
  WorkerPool pool(64 * 1024, milliseconds(5000), 16);
  Gate gate;
  gate.Open();
  ASSERT_EQ(pool.Run(Gate::Task, &gate), 0);
  ASSERT_TRUE(gate.WaitFinished(1));
  ASSERT_TRUE(Eventually([&] { return pool.idle() == 1; }));
  pool.RetireIdle();
  EXPECT_EQ(pool.idle(), 0u);
  EXPECT_EQ(pool.Run(Gate::Task, &gate, FailingCreate), EAGAIN);
  EXPECT_TRUE(Eventually([&] { return pool.threads() == 0; }));
}

std::atomic<size_t> g_stack_bytes{0};
void* RecordStack(void*) {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  g_stack_bytes = size;
  return nullptr;
}

TEST(WorkerPool, WorkersGetTheStackSizeAsked) {
  size_t mapped = 0;
  {
    WorkerPool pool(256 * 1024, milliseconds(5000), 16);
    mapped = pool.stack_bytes();
    ASSERT_EQ(pool.Run(RecordStack, nullptr), 0);
    ASSERT_TRUE(Eventually([] { return g_stack_bytes.load() != 0; }));
  }  // the destructor waits for the worker to end
  EXPECT_GE(g_stack_bytes.load(), 256u * 1024);
  EXPECT_LE(g_stack_bytes.load(), mapped);
  EXPECT_LT(mapped, 8u * 1024 * 1024);
}

// How many of the addresses lie in a mapping of this process.
int CountMapped(const std::vector<uintptr_t>& addrs) {
  FILE* f = fopen("/proc/self/maps", "r");
  if (f == nullptr) return -1;
  int n = 0;
  unsigned long lo = 0, hi = 0;
  char line[512];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (sscanf(line, "%lx-%lx", &lo, &hi) != 2) continue;
    for (uintptr_t a : addrs) n += (a >= lo && a < hi) ? 1 : 0;
  }
  fclose(f);
  return n;
}

// Gate tasks that also note an address on the stack they run on.
struct StackNote {
  Gate gate;
  std::mutex mu;
  std::vector<uintptr_t> addrs;
  static void* Task(void* self) {
    auto* note = static_cast<StackNote*>(self);
    volatile char here = 0;
    {
      std::lock_guard<std::mutex> lock(note->mu);
      note->addrs.push_back(reinterpret_cast<uintptr_t>(&here));
    }
    return Gate::Task(&note->gate);
  }
};

TEST(WorkerPool, EndedWorkersGiveBackTheirStacks) {
  StackNote note;
  constexpr int kTasks = 40;
  {
    WorkerPool pool(256 * 1024, milliseconds(50), 64);
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(pool.Run(StackNote::Task, &note), 0);
    ASSERT_TRUE(note.gate.WaitEntered(kTasks));
    ASSERT_EQ(CountMapped(note.addrs), kTasks);
    note.gate.Open();
    ASSERT_TRUE(note.gate.WaitFinished(kTasks));
    ASSERT_TRUE(Eventually([&] { return pool.threads() == 0; }));
    // The last worker to end waits for the next one (or the destructor) to
    // reap it.
    EXPECT_TRUE(Eventually([&] { return CountMapped(note.addrs) <= 1; }))
        << CountMapped(note.addrs) << " stacks left";
  }
  EXPECT_EQ(CountMapped(note.addrs), 0);
}

std::atomic<unsigned> g_deep_sum{0};
void* UseMostOfTheStack(void*) {
  volatile unsigned char buf[256 * 1024];
  for (size_t i = 0; i < sizeof buf; i += 512) buf[i] = static_cast<unsigned char>(i >> 9);
  unsigned sum = 0;
  for (size_t i = 0; i < sizeof buf; i += 512) sum += buf[i];
  g_deep_sum = sum;
  return nullptr;
}

TEST(WorkerPool, TheWholeStackAskedForIsUsable) {
  {
    WorkerPool pool(328 * 1024, milliseconds(5000), 4);
    ASSERT_EQ(pool.Run(UseMostOfTheStack, nullptr), 0);
  }
  unsigned want = 0;
  for (size_t i = 0; i < 256 * 1024; i += 512) want += static_cast<unsigned char>(i >> 9);
  EXPECT_EQ(g_deep_sum.load(), want);
}

// With at most one idle worker, most workers end right after their task
// while two threads keep handing out more: every task still runs once, and
// the pool drains.  (Under the sanitizers this also exercises the wake-up
// after the lock is released, though it cannot force the narrow window.)
TEST(WorkerPool, WorkersEndingRightAfterAHandOffAreSafe) {
  std::atomic<int> ran{0};
  auto count = [](void* n) -> void* {
    static_cast<std::atomic<int>*>(n)->fetch_add(1);
    return nullptr;
  };
  constexpr int kPerSubmitter = 3000;
  {
    WorkerPool pool(64 * 1024, milliseconds(5000), 1);
    auto submit = [&] {
      for (int i = 0; i < kPerSubmitter; ++i) {
        while (pool.Run(count, &ran) != 0) usleep(1000);  // out of threads: retry
      }
    };
    std::thread a(submit), b(submit);
    a.join();
    b.join();
    EXPECT_TRUE(Eventually([&] { return ran.load() == 2 * kPerSubmitter; }));
    EXPECT_TRUE(Eventually([&] { return pool.threads() <= 1; }));
  }
  EXPECT_EQ(ran.load(), 2 * kPerSubmitter);
}

// The server's pattern: each task hands the next one on before finishing,
// so a chain moves from worker to worker and needs few threads.
std::atomic<int> g_creations{0};
int CountingCreate(pthread_t* t, const pthread_attr_t* attr, void* (*body)(void*), void* arg) {
  g_creations.fetch_add(1);
  return pthread_create(t, attr, body, arg);
}
struct Chain {
  WorkerPool* pool;
  std::atomic<int> hops{0};
  int length;
};
void* Hop(void* arg) {
  auto* chain = static_cast<Chain*>(arg);
  if (chain->hops.fetch_add(1) + 1 < chain->length) {
    EXPECT_EQ(chain->pool->Run(Hop, chain, CountingCreate), 0);
  }
  return nullptr;
}

TEST(WorkerPool, TasksHandingOnTheirSuccessorReuseWorkers) {
  WorkerPool pool(64 * 1024, milliseconds(5000), 16);
  Chain chain{&pool, {}, 2000};
  g_creations = 0;
  ASSERT_EQ(pool.Run(Hop, &chain, CountingCreate), 0);
  EXPECT_TRUE(Eventually([&] { return chain.hops.load() == chain.length; }));
  EXPECT_TRUE(Eventually([&] { return pool.idle() == pool.threads(); }));
  // Each hop still runs as its successor starts, so at least two threads;
  // without reuse there would be one per hop.
  EXPECT_GE(g_creations.load(), 2);
  EXPECT_LT(g_creations.load(), 100);
}

TEST(WorkerPool, DestructorWaitsForBusyWorkers) {
  std::atomic<bool> done{false};
  {
    WorkerPool pool(64 * 1024, milliseconds(5000), 16);
    ASSERT_EQ(pool.Run(
                  [](void* flag) -> void* {
                    usleep(200 * 1000);
                    static_cast<std::atomic<bool>*>(flag)->store(true);
                    return nullptr;
                  },
                  &done),
              0);
  }
  EXPECT_TRUE(done.load());
}

// The server's pool keeps idle threads for ORVEL_HTTP_IDLE_THREAD_KEEP
// seconds: the default when unset or unusable, and never longer than a day,
// so a huge value cannot overflow the milliseconds it becomes.
TEST(IdleThreadKeep, TakenFromTheEnvironmentWithinBounds) {
  struct {
    const char* value;
    long long ms;
  } cases[] = {{nullptr, 10000},    {"0.25", 250},       {"3", 3000},
               {"0", 10000},        {"-1", 10000},       {"abc", 10000},
               {"86400", 86400000}, {"1e300", 86400000}, {"inf", 10000}};
  for (const auto& c : cases) {
    testutil::ScopedEnv env("ORVEL_HTTP_IDLE_THREAD_KEEP", c.value);
    EXPECT_EQ(IdleThreadKeep().count(), c.ms) << (c.value ? c.value : "unset");
  }
}

}  // namespace
}  // namespace orvel::http
