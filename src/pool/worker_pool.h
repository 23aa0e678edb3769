// The work-stealing pool: its workers, the process-wide pool, and the
// row-parallel loops and join that run on it.
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
// - parallel_for_rows calls the body once per index and returns when all
//   calls are done; a fault thrown by a body is re-thrown to the caller and
//   the pool stays usable. Results never depend on how a loop is split:
//   each body writes only its own row.
// - A thread that hands work in with a FitMonitor installed (fit_monitor.h)
//   waits in slices, polling the monitor between them. Once it asks to
//   stop, the pieces of that thread's loops not yet started are skipped (a
//   piece's rows run in chunks, the flag read before each) and FitCancelled
//   is thrown to the caller when the job is done. Loops nested inside a
//   body, on a worker, run to completion.
// - join runs two tasks, potentially in parallel: on a worker the second is
//   queued where idle workers may steal it and the first runs at once; the
//   second is then taken back if nobody stole it, else the worker runs
//   other jobs until the thief finishes it. An exception from either task
//   is re-thrown only after both have finished (the second task lives on
//   the joining stack frame); when both throw, the first task's wins.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/injector_queue.h"
#include "pool/latch.h"
#include "os/os_thread.h"
#include "pool/sleep.h"
#include "pool/work_queue.h"

namespace graphripple {

/// Non-owning reference to a callable of type R(Args...), for passing loop
/// bodies and pool operations without templates or allocation. The callable
/// must outlive every call through the reference.
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F& f)
      : object_(&f), call_([](void* o, Args... args) -> R { return (*static_cast<F*>(o))(std::forward<Args>(args)...); }) {}
  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

/// A loop body: body(lo, hi) processes rows [lo, hi).
using RangeBody = FunctionRef<void(std::size_t lo, std::size_t hi)>;

class WorkerPool;

namespace detail {

class Worker;
/// An operation run on one of the pool's workers.
using WorkerOp = FunctionRef<void(Worker&)>;

class Worker {
 public:
  Worker(WorkerPool& pool, std::size_t index);
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  WorkerPool& pool() const { return *pool_; }
  std::size_t index() const { return index_; }

  /// Queues a job other workers may steal, waking a sleeper for it. Throws
  /// std::bad_alloc, with nothing queued, when the queue cannot grow.
  void push(Job* job);
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

/// Number of workers; creates the pool if it does not exist yet.
std::size_t current_num_threads();

/// Runs body(lo, hi) over disjoint pieces that together cover [0, n); each
/// piece is processed by one thread. Returns when every piece is done.
/// n <= 1 runs on the calling thread; otherwise the calling thread only
/// waits (or, on a worker, takes part). The first exception thrown by a
/// body is re-thrown here after every started piece has finished.
void parallel_for_ranges(std::size_t n, RangeBody body);

/// As parallel_for_ranges, but pieces are split at the middle of their cost
/// rather than of their row count. cost_prefix has n + 1 entries and row i
/// costs cost_prefix[i + 1] - cost_prefix[i] plus one (a CSR row_ptrs array
/// fits). Any contents still give every row to exactly one piece; a
/// non-decreasing prefix gives balanced pieces.
void parallel_for_ranges_weighted(std::size_t n, const std::uint64_t* cost_prefix, RangeBody body);

/// Calls body(row) exactly once for every row in [0, n).
template <class F>
void parallel_for_rows(std::size_t n, F&& body) {
  auto ranges = [&body](std::size_t lo, std::size_t hi) {
    for (std::size_t row = lo; row < hi; ++row) body(row);
  };
  parallel_for_ranges(n, RangeBody(ranges));
}

/// parallel_for_rows balanced by cost (see parallel_for_ranges_weighted).
template <class F>
void parallel_for_rows_weighted(std::size_t n, const std::uint64_t* cost_prefix, F&& body) {
  auto ranges = [&body](std::size_t lo, std::size_t hi) {
    for (std::size_t row = lo; row < hi; ++row) body(row);
  };
  parallel_for_ranges_weighted(n, cost_prefix, RangeBody(ranges));
}

namespace detail {

// Where and whether a loop's piece is split.
// - SplitBudget: a piece carries a budget that starts at the worker count.
//   A piece running on the worker that created it halves the budget per
//   split and stops at 0 (about two pieces per worker when nobody steals);
//   a piece that moved to another worker renews it to at least the worker
//   count, so loops that are being stolen from keep splitting.
// - weighted_split_point: the row that halves a piece's cost, for loops
//   whose rows differ widely in cost (power-law degree distributions).

struct SplitBudget {
  std::size_t budget;
  std::size_t num_threads;

  /// Whether a piece of `len` rows splits; updates the budget when it does.
  bool try_split(std::size_t len, bool migrated) {
    if (len / 2 < 1) return false;
    if (migrated) {
      budget = std::max(num_threads, budget / 2);
      return true;
    }
    if (budget == 0) return false;
    budget /= 2;
    return true;
  }
};

/// For hi - lo >= 2: a row m with lo < m < hi such that [lo, m) and [m, hi)
/// carry about the same cost, where row i costs
/// cost_prefix[i + 1] - cost_prefix[i] + 1 (the +1 keeps runs of empty rows
/// from collapsing into one piece). Falls back to the middle row when the
/// prefix decreases over the piece.
inline std::size_t weighted_split_point(const std::uint64_t* cost_prefix, std::size_t lo, std::size_t hi) {
  const auto cost_at = [cost_prefix](std::size_t i) { return cost_prefix[i] + i; };
  const std::uint64_t first = cost_at(lo);
  const std::uint64_t last = cost_at(hi);
  if (last <= first) return lo + (hi - lo) / 2;
  const std::uint64_t target = first + (last - first) / 2;
  // Smallest m in [lo + 1, hi - 1] with cost_at(m) >= target (binary search;
  // on a non-monotone prefix it still ends inside the interval).
  std::size_t left = lo + 1;
  std::size_t right = hi - 1;
  while (left < right) {
    const std::size_t mid = left + (right - left) / 2;
    if (cost_at(mid) < target) {
      left = mid + 1;
    } else {
      right = mid;
    }
  }
  const auto distance = [target](std::uint64_t v) { return v > target ? v - target : target - v; };
  if (left - 1 > lo && distance(cost_at(left - 1)) < distance(cost_at(left))) --left;
  return left;
}

/// The stealable half of a join; lives on the joining worker's stack.
template <class F>
class JoinJob : public Job {
 public:
  JoinJob(Worker& owner, F& f) : Job(&JoinJob::run_stolen), f_(&f), latch_(owner) {}

  const WorkerLatch& latch() const { return latch_; }
  std::exception_ptr& error() { return error_; }

  /// Runs the task on its own worker after taking it back.
  void run_inline(Worker& worker) {
    try {
      (*f_)(worker, false);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

 private:
  static void run_stolen(Job* job, Worker& worker) noexcept {
    auto* self = static_cast<JoinJob*>(job);
    // A piece counts as moved when it runs on another worker than the one
    // that created it; loop splitting renews its budget then.
    const bool migrated = &worker != &self->latch_.owner();
    try {
      (*self->f_)(worker, migrated);
    } catch (...) {
      self->error_ = std::current_exception();
    }
    self->latch_.set();
  }

  F* f_;
  WorkerLatch latch_;
  std::exception_ptr error_;
};

/// join on `worker` for tasks callable as `void(Worker& runner, bool migrated)`;
/// `migrated` tells a task whether it runs on another worker than `worker`.
template <class A, class B>
void join_context(Worker& worker, A&& a, B&& b) {
  JoinJob<std::remove_reference_t<B>> job_b(worker, b);
  worker.push(&job_b);
  std::exception_ptr a_error;
  try {
    a(worker, false);
  } catch (...) {
    a_error = std::current_exception();
  }
  if (worker.take_back_or_wait(&job_b, job_b.latch())) job_b.run_inline(worker);
  if (a_error) std::rethrow_exception(a_error);
  if (job_b.error()) std::rethrow_exception(job_b.error());
}

}  // namespace detail

/// Runs a() and b(), potentially in parallel, and returns when both are done.
/// Re-throws the exception of a, else of b, after both have finished.
template <class A, class B>
void join(A&& a, B&& b) {
  auto task_a = [&a](detail::Worker&, bool) { a(); };
  auto task_b = [&b](detail::Worker&, bool) { b(); };
  if (detail::Worker* worker = detail::current_worker()) {
    detail::join_context(*worker, task_a, task_b);
    return;
  }
  auto op = [&](detail::Worker& w) { detail::join_context(w, task_a, task_b); };
  global_pool().run_on_worker(op);
}

}  // namespace graphripple
