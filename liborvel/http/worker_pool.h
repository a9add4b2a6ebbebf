// worker_pool.h: the threads that serve the HTTP server's connections.
// Internal; never installed.
//
// A task is handed to an idle worker if there is one, otherwise to a new
// thread, so tasks always run at once and concurrently, with no cap on how
// many run together.  A worker that finishes waits up to idle_keep for the
// next task, then ends; at most max_idle workers wait at a time (the rest
// end as they finish), so a burst leaves no crowd of threads behind.
//
// Thread safety: every member may be called from any thread.
#ifndef ORVEL_LIBORVEL_HTTP_WORKER_POOL_H_
#define ORVEL_LIBORVEL_HTTP_WORKER_POOL_H_

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <vector>

#include "port/mutex.h"

namespace orvel::http {

class WorkerPool {
 public:
  using Task = void* (*)(void*);
  using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

  // stack_bytes: stack size of every worker (raised to PTHREAD_STACK_MIN and
  // rounded up to whole pages).
  WorkerPool(size_t stack_bytes, std::chrono::milliseconds idle_keep, size_t max_idle);
  // Blocks until every worker has finished its task and ended.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs task(arg) on an idle worker, or on a new thread made with create
  // (null: pthread_create).  Returns 0, or create's error when a thread was
  // needed and could not be made; then task was not run and arg is still
  // the caller's.  Never blocks on other tasks.
  int Run(Task task, void* arg, CreateFn create = nullptr);
  // Ends every idle worker now; the next Run needs a new thread.
  void RetireIdle();
  // Joins the workers that have ended and frees their stacks; each ending
  // worker does this for the one before it, so this is for exit.
  void ReapEnded();

  size_t threads() const;  // workers alive, busy or idle
  size_t idle() const;     // workers waiting for a task
  // Bytes of each worker's stack mapping, without its guard page: the size
  // asked for, plus room for thread-local storage in sanitizer builds.
  size_t stack_bytes() const;

  // A worker that has ended or is ending, not yet joined.
  struct Ended {
    pthread_t thread{};
    void* map = nullptr;  // its stack, guard page included
    size_t map_len = 0;
  };

 private:
  struct Worker;
  static void* Main(void* worker);
  // Returns false when the worker is to end.
  bool WaitForTask(Worker* w, port::MutexLock* lock) REQUIRES(mu_);

  const size_t stack_bytes_;
  const std::chrono::milliseconds idle_keep_;
  const size_t max_idle_;
  mutable port::Mutex mu_;
  port::CondVar all_ended_;                  // signalled when live_ drops to 0
  std::list<Worker*> idle_ GUARDED_BY(mu_);  // most recent last
  std::vector<Ended> ended_ GUARDED_BY(mu_);
  size_t live_ GUARDED_BY(mu_) = 0;
  bool stopping_ GUARDED_BY(mu_) = false;
};

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_WORKER_POOL_H_
