// worker_pool.cc: per-worker hand-off, so waking a worker wakes exactly one
// thread, and the most recently idle worker (warm cache, warm stack) goes
// first while the longest idle ones time out.
//
// Workers run on stacks of our own.  glibc keeps up to 40 MB of ended
// threads' stacks for reuse, each with a few resident pages and a live
// block in the malloc heap that pins the pages around it; after a burst
// that stayed about 2 MB and varied with how many threads the burst had at
// once.  An ended worker is joined, and its stack unmapped, by the next
// worker to end (or by the destructor), so at most one stack lingers.
#include "http/worker_pool.h"

#include <limits.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace orvel::http {

struct WorkerPool::Worker {
  Worker(WorkerPool* p, Task t, void* a) : pool(p), task(t), arg(a) {}
  WorkerPool* pool;
  Task task;  // null while idle
  void* arg;
  // task, arg, retire and the listing in idle_ change under pool->mu_.
  bool retire = false;
  bool last_of_burst = false;  // the final idle worker to time out
  port::CondVar wake;
  std::list<Worker*>::iterator in_idle;  // valid while listed in idle_
  WorkerPool::Ended self;                // thread and stack mapping
  // The thread's reference, and Run()'s while it wakes the worker after
  // unlocking: the worker may run the task and end before that wake-up.
  std::atomic<int> refs{1};
  void Unref() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

namespace {

#if defined(__SANITIZE_THREAD__)
#define ORVEL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVEL_TSAN 1
#endif
#endif

// A thread's static TLS sits at the top of its stack.  It is a few kB,
// except under ThreadSanitizer, whose per-thread state (about 1 MB) lives
// there and which refuses stacks too small for it; mapped, never touched
// unless used, so it costs address space only.
#ifdef ORVEL_TSAN
constexpr size_t kTlsReserve = size_t{4} << 20;
#else
constexpr size_t kTlsReserve = 0;
#endif

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// Joins each ended thread and unmaps its stack.
void Reap(const std::vector<WorkerPool::Ended>& ended) {
  for (const WorkerPool::Ended& e : ended) {
    pthread_join(e.thread, nullptr);
    munmap(e.map, e.map_len);
  }
}

}  // namespace

WorkerPool::WorkerPool(size_t stack_bytes, std::chrono::milliseconds idle_keep, size_t max_idle)
    : stack_bytes_((std::max<size_t>(stack_bytes, PTHREAD_STACK_MIN) + PageSize() - 1) &
                   ~(PageSize() - 1)),
      idle_keep_(idle_keep),
      max_idle_(max_idle) {}

WorkerPool::~WorkerPool() {
  {
    port::MutexLock lock(&mu_);
    stopping_ = true;
    for (Worker* w : idle_) {
      w->retire = true;
      w->wake.Signal();
    }
    idle_.clear();
    while (live_ != 0) all_ended_.Wait(&lock);
  }
  ReapEnded();
}

int WorkerPool::Run(Task task, void* arg, CreateFn create) {
  {
    port::MutexLock lock(&mu_);
    if (!idle_.empty()) {
      Worker* w = idle_.back();
      idle_.pop_back();
      w->task = task;
      w->arg = arg;
      w->refs.fetch_add(1, std::memory_order_relaxed);
      lock.Unlock();
      // Woken after the unlock, the worker does not block on mu_ at once.
      w->wake.Signal();
      w->Unref();
      return 0;
    }
    ++live_;
  }
  // The lowest page is a guard, as glibc would give: an overflow faults
  // instead of writing over the neighbouring mapping.
  const size_t guard = PageSize();
  const size_t map_len = guard + stack_bytes();
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK;
  // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes fd -1
  void* map = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, flags, -1, 0);
  int rc = EAGAIN;  // what pthread_create says when memory is short
  if (map == MAP_FAILED) map = nullptr;
  // mprotect fails when the process is out of mappings; no stack without
  // its guard.
  if (map != nullptr && mprotect(map, guard, PROT_NONE) == 0) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    rc = pthread_attr_setstack(&attr, static_cast<char*>(map) + guard, stack_bytes());
    if (rc == 0) {
      // Handed to the thread, which deletes it when it ends.
      Worker* w = new Worker(this, task, arg);
      w->self.map = map;
      w->self.map_len = map_len;
      pthread_t thread{};
      rc = (create != nullptr ? create : pthread_create)(&thread, &attr, Main, w);
      if (rc != 0) delete w;
    }
    pthread_attr_destroy(&attr);
    if (rc == 0) return 0;
  }
  if (map != nullptr) munmap(map, map_len);
  port::MutexLock lock(&mu_);
  if (--live_ == 0) all_ended_.SignalAll();
  return rc;
}

void WorkerPool::RetireIdle() {
  port::MutexLock lock(&mu_);
  for (Worker* w : idle_) {
    w->retire = true;
    w->wake.Signal();
  }
  idle_.clear();
}

size_t WorkerPool::threads() const {
  port::MutexLock lock(&mu_);
  return live_;
}

void WorkerPool::ReapEnded() {
  std::vector<Ended> ended;
  {
    port::MutexLock lock(&mu_);
    ended.swap(ended_);
  }
  Reap(ended);
}

size_t WorkerPool::stack_bytes() const { return stack_bytes_ + kTlsReserve; }

size_t WorkerPool::idle() const {
  port::MutexLock lock(&mu_);
  return idle_.size();
}

bool WorkerPool::WaitForTask(Worker* w, port::MutexLock* lock) {
  w->task = nullptr;
  if (stopping_ || idle_.size() >= max_idle_) return false;
  w->in_idle = idle_.insert(idle_.end(), w);
  const auto give_up = std::chrono::steady_clock::now() + idle_keep_;
  while (w->task == nullptr && !w->retire) {
    if (!w->wake.WaitUntil(lock, give_up)) break;
  }
  if (w->task != nullptr) return true;  // Run() has unlisted it
  if (!w->retire) {
    idle_.erase(w->in_idle);  // timed out, still listed
    w->last_of_burst = idle_.empty();
  }
  return false;
}

void* WorkerPool::Main(void* worker) {
  Worker* w = static_cast<Worker*>(worker);
  WorkerPool* pool = w->pool;
  for (;;) {
    w->task(w->arg);
    port::MutexLock lock(&pool->mu_);
    if (!pool->WaitForTask(w, &lock)) {
      const bool trim = w->last_of_burst;
      // This thread is reaped by whoever ends next; it reaps the one before.
      w->self.thread = pthread_self();
      std::vector<Ended> ended;
      ended.swap(pool->ended_);
      pool->ended_.push_back(w->self);
      w->Unref();
      // The destructor may free the pool as soon as the lock is released.
      if (--pool->live_ == 0) pool->all_ended_.SignalAll();
      lock.Unlock();
      Reap(ended);
      // A burst spreads freed memory over per-thread malloc arenas that
      // glibc keeps; once the pool has drained, give it back.
      if (trim) malloc_trim(0);
      return nullptr;
    }
  }
}

}  // namespace orvel::http
