// The work-stealing pool: its workers, their queues and the process-wide pool.
//
// - A fixed set of workers, each with its own WorkQueue; threads outside the
//   pool hand work in through one InjectorQueue and block on a LockLatch.
// - Idle workers look in their own queue, then steal from the others, then
//   take from the injector; after a short spin they sleep (see sleep.h).
// - global_pool() creates the process-wide pool on first use, exactly once;
//   if a worker cannot be started every use fails with the same
//   InternalFault. The process-wide pool is never destroyed; WorkerPool
//   objects of other sizes (tests, benchmarks) stop and join their workers
//   in their destructor, which must not run while loops are in flight.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "pool/injector_queue.h"
#include "pool/job.h"
#include "pool/os_thread.h"
#include "pool/sleep.h"
#include "pool/work_queue.h"
#include "pool/worker_pool.h"

namespace graphripple {

class WorkerPool;

namespace detail {

class WorkerLatch;

/// Non-owning reference to a callable `void(Worker&)`.
class WorkerOp {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, WorkerOp>>>
  WorkerOp(F& f) : object_(&f), call_([](void* o, Worker& w) { (*static_cast<F*>(o))(w); }) {}
  void operator()(Worker& w) const { call_(object_, w); }

 private:
  void* object_;
  void (*call_)(void*, Worker&);
};

class Worker {
 public:
  Worker(WorkerPool& pool, std::size_t index);
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  WorkerPool& pool() const { return *pool_; }
  std::size_t index() const { return index_; }

  /// Queues a job other workers may steal, waking a sleeper for it.
  void push(Job* job) noexcept;
  /// After running a join's first half: takes `job` back if nobody stole it
  /// (returns true; the caller runs it), else runs other work until `latch`
  /// is set (returns false).
  bool take_back_or_wait(Job* job, const WorkerLatch& latch);
  /// Runs jobs (and sleeps when there are none) until `latch` is set, or
  /// until the pool shuts down when `latch` is null.
  void run_until(const WorkerLatch* latch);

 private:
  Job* find_work();
  void run_job(Job* job) noexcept { job->run(job, *this); }

  WorkerPool* pool_;
  std::size_t index_;
  std::uint64_t victim_seed_;
  WorkQueue queue_;
};

/// The worker running on this thread, or null outside any pool.
Worker* current_worker() noexcept;

}  // namespace detail

class WorkerPool {
 public:
  /// Starts `num_threads` workers (at least 1). Throws InternalFault with
  /// "The global thread pool has not been initialized.: <cause>" when a
  /// worker cannot be started; the workers already started are stopped.
  explicit WorkerPool(std::size_t num_threads, detail::ThreadStartFn start_thread = &detail::OsThread::start);
  ~WorkerPool();
  // Workers hold pointers to their pool.
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t num_threads() const { return workers_.size(); }

  /// As graphripple::parallel_for_ranges, on this pool.
  void parallel_for_ranges(std::size_t n, RangeBody body);
  /// As graphripple::parallel_for_ranges_weighted, on this pool.
  void parallel_for_ranges_weighted(std::size_t n, const std::uint64_t* cost_prefix, RangeBody body);

  /// Runs op on one of this pool's workers and returns when it is done,
  /// re-throwing what op threw. On one of this pool's workers it runs op in
  /// place; elsewhere it queues op through the injector and blocks.
  void run_on_worker(detail::WorkerOp op);

  // Internal plumbing for workers and latches.
  detail::Sleep& sleep() { return sleep_; }
  detail::InjectorQueue& injector() { return injector_; }
  detail::Worker& worker(std::size_t i) { return *workers_[i]; }
  bool terminating() const { return terminating_.load(std::memory_order_seq_cst); }

 private:
  static void worker_main(void* worker) noexcept;

  detail::Sleep sleep_;
  detail::InjectorQueue injector_;
  std::vector<std::unique_ptr<detail::Worker>> workers_;
  std::atomic<bool> terminating_{false};
  // Last: destroyed (joined) first, while everything the workers use exists.
  std::vector<detail::OsThread> threads_;
};

namespace detail {

/// Creates a pool on first use, exactly once under races, and remembers a
/// failure so later uses fail alike without retrying.
class PoolHolder {
 public:
  using Factory = std::unique_ptr<WorkerPool> (*)();
  explicit PoolHolder(Factory factory) : factory_(factory) {}
  PoolHolder(const PoolHolder&) = delete;
  PoolHolder& operator=(const PoolHolder&) = delete;

  /// The pool; throws InternalFault if it could not be (or was not) created.
  WorkerPool& get();
  /// Forgets the current pool without touching it, so the next get() builds
  /// a new one. For a forked child, whose copy of the pool has no threads;
  /// the old pool is leaked because its locks may be in any state.
  void abandon() noexcept;

  /// fork() handlers: the holder's lock is held across the fork, so the
  /// child never inherits it locked by a thread that does not exist there
  /// (one that was creating the pool). The child then abandons its copy of
  /// the pool and builds a fresh one on first use. A remembered creation
  /// failure stays remembered.
  void before_fork() noexcept { mutex_.lock(); }
  void after_fork_in_parent() noexcept { mutex_.unlock(); }
  void after_fork_in_child() noexcept {
    mutex_.unlock();
    abandon();
  }

 private:
  Factory factory_;
  std::atomic<WorkerPool*> pool_{nullptr};
  std::mutex mutex_;
  std::optional<std::string> failure_;
};

/// The holder of the process-wide pool (sized from the environment). Its
/// fork handlers are registered when it is first used, so a child forked
/// after the pool exists gets a working pool of its own.
PoolHolder& global_pool_holder();

}  // namespace detail

/// The process-wide pool, created on first use.
WorkerPool& global_pool();

}  // namespace graphripple
