// One-shot completion signals between a job and the thread waiting for it.
//
// - WorkerLatch: waited on by a worker that keeps running other jobs while it
//   waits (the stolen half of a join); setting it wakes that worker if it
//   went to sleep.
// - LockLatch: waited on by a thread outside the pool, which blocks on a
//   mutex and condition variable after a short spin; reusable via reset so
//   each calling thread keeps one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace graphripple::detail {

class Worker;

class WorkerLatch {
 public:
  explicit WorkerLatch(Worker& owner) : owner_(&owner) {}
  WorkerLatch(const WorkerLatch&) = delete;
  WorkerLatch& operator=(const WorkerLatch&) = delete;

  // seq_cst: the owner's re-check before sleeping reads this after announcing
  // itself; the setter's store and its read of the owner's state pair with it.
  bool probe() const { return set_.load(std::memory_order_seq_cst); }
  Worker& owner() const { return *owner_; }
  /// Marks the latch set and wakes the owner if it sleeps. The latch may be
  /// destroyed by its owner as soon as the flag is stored, so nothing of it
  /// is touched afterwards.
  void set() noexcept;

 private:
  std::atomic<bool> set_{false};
  Worker* owner_;
};

class LockLatch {
 public:
  LockLatch() = default;
  LockLatch(const LockLatch&) = delete;
  LockLatch& operator=(const LockLatch&) = delete;

  void reset();
  void set() noexcept;
  /// Returns once set() has been called and has finished with the latch.
  void wait();
  /// As wait(), but gives up after about `timeout`: true when set (and set()
  /// has finished with the latch), false on timeout.
  bool wait_for(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  std::atomic<bool> set_{false};
};

}  // namespace graphripple::detail
