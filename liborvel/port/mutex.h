// mutex.h: a mutex the thread-safety analysis knows, its scoped holder and
// a condition variable that waits on it.
//
// Mutex wraps std::mutex; MutexLock holds one for a scope (and may let go
// and take it again, as a std::unique_lock would); CondVar waits with a
// MutexLock held.
// All of them are thread-safe as their std counterparts are.
#ifndef ORVEL_LIBORVEL_PORT_MUTEX_H_
#define ORVEL_LIBORVEL_PORT_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "port/thread_annotations.h"

namespace orvel::port {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // For the analysis only: tells it that the caller holds this mutex.
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  friend class MutexLock;
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : lock_(mu->mu_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets go before the scope ends, and takes it again.
  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

// Waits are written as loops over the condition ("while (!ready_)
// cv.Wait(&lock);"), so the analysis sees the guarded reads under the lock.
class CondVar {
 public:
  // Lets *held go while waiting and holds it again on return; may wake
  // without a signal.
  void Wait(MutexLock* held) { cv_.wait(held->lock_); }
  // The same, bounded: false when the deadline passed.
  bool WaitUntil(MutexLock* held, std::chrono::steady_clock::time_point deadline) {
    return cv_.wait_until(held->lock_, deadline) == std::cv_status::no_timeout;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace orvel::port

#endif  // ORVEL_LIBORVEL_PORT_MUTEX_H_
