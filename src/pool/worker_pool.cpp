// Workers, the pool's start and stop, injected jobs, the process-wide pool
// and the row-parallel loops.
//
// Loops halve [0, n) recursively with join. n <= 1 runs on the calling
// thread (no hand-off cost for trivial loops); otherwise the whole loop goes
// to the pool as one job and the calling thread blocks; on one of the pool's
// own workers (a nested loop) it runs in place instead, since blocking a
// worker could leave nobody to run it.
#include "pool/worker_pool.h"

#include <algorithm>
#include <exception>

#include "error/internal_fault.h"
#include "os/fork_handlers.h"
#include "pool/fit_monitor.h"
#include "pool/thread_count.h"

namespace graphripple {
namespace detail {
namespace {

// Part of the module's public contract: callers match this text in the
// exception they get when the pool cannot start. Keep it byte for byte.
constexpr const char* NOT_INITIALIZED = "The global thread pool has not been initialized.: ";

// Idle rounds before sleeping: first short pause bursts (work usually comes
// back within microseconds between the stages of a fit), then yields so a
// spinning worker gives its core to the thread that is about to produce work.
constexpr std::uint32_t PAUSE_ROUNDS = 24;
constexpr std::uint32_t YIELD_ROUNDS = 40;

constinit thread_local Worker* this_thread_worker = nullptr;

// A job handed in from outside the pool: runs op and signals the blocked
// caller. It lives on the caller's stack.
struct InjectedJob : Job {
  InjectedJob(WorkerOp job_op, LockLatch& job_latch) : Job(&InjectedJob::run_job), op(job_op), latch(&job_latch) {}

  static void run_job(Job* job, Worker& worker) noexcept {
    auto* self = static_cast<InjectedJob*>(job);
    try {
      self->op(worker);
    } catch (...) {
      self->error = std::current_exception();
    }
    self->latch->set();
  }

  WorkerOp op;
  LockLatch* latch;
  std::exception_ptr error;
};

}  // namespace

Worker* current_worker() noexcept { return this_thread_worker; }

Worker::Worker(WorkerPool& pool, std::size_t index)
    : pool_(&pool), index_(index), victim_seed_(0x9E3779B97F4A7C15ull * (index + 1)) {}

void Worker::push(Job* job) {
  // A queue that cannot grow throws std::bad_alloc with nothing queued; the
  // join has not started either half yet, so the fault simply unwinds to
  // the loop's caller like a fault of a body.
  queue_.push(job);
  pool_->sleep().notify_new_work();
}

Job* Worker::find_work() {
  if (Job* job = queue_.pop()) return job;
  const std::size_t n = pool_->num_threads();
  for (;;) {
    bool contended = false;
    if (n > 1) {
      // xorshift: a cheap per-worker random start spreads thieves over victims.
      victim_seed_ ^= victim_seed_ << 13;
      victim_seed_ ^= victim_seed_ >> 7;
      victim_seed_ ^= victim_seed_ << 17;
      const std::size_t start = static_cast<std::size_t>(victim_seed_ % n);
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t victim = (start + k) % n;
        if (victim == index_) continue;
        const WorkQueue::Steal steal = pool_->worker(victim).queue_.steal();
        if (steal.job != nullptr) return steal.job;
        contended |= steal.retry;
      }
    }
    if (Job* job = pool_->injector().pop()) return job;
    // A lost race means a queue was not empty: look again rather than sleep.
    if (!contended) return nullptr;
  }
}

bool Worker::take_back_or_wait(Job* job, const WorkerLatch& latch) {
  while (!latch.probe()) {
    Job* popped = queue_.pop();
    if (popped == job) return true;
    if (popped == nullptr) {
      run_until(&latch);
      return false;
    }
    run_job(popped);
  }
  return false;
}

void Worker::run_until(const WorkerLatch* latch) {
  const auto done = [&] { return latch != nullptr ? latch->probe() : pool_->terminating(); };
  Sleep& sleep = pool_->sleep();
  Backoff idle(PAUSE_ROUNDS);
  while (!done()) {
    if (Job* job = find_work()) {
      run_job(job);
      idle.reset();
      continue;
    }
    if (idle.steps() < PAUSE_ROUNDS + YIELD_ROUNDS) {
      idle.snooze();
      continue;
    }
    // Prepare, re-check, commit: after announce, every source of work and
    // the latch are read again, so nothing published before a producer's
    // notify can be missed (see sleep.h).
    sleep.announce(index_);
    if (done()) {
      sleep.cancel(index_);
      break;
    }
    if (Job* job = find_work()) {
      sleep.cancel(index_);
      run_job(job);
    } else {
      sleep.commit(index_);
    }
    idle.reset();
  }
}

}  // namespace detail

WorkerPool::WorkerPool(std::size_t num_threads, detail::ThreadStartFn start_thread)
    : sleep_(std::max<std::size_t>(num_threads, 1)) {
  const std::size_t n = std::max<std::size_t>(num_threads, 1);
  // Every worker exists before any thread starts: workers steal from each other.
  workers_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) workers_.push_back(std::make_unique<detail::Worker>(*this, i));
  threads_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (const std::error_code error = start_thread(threads_[i], &WorkerPool::worker_main, workers_[i].get())) {
      terminating_.store(true, std::memory_order_seq_cst);
      sleep_.wake_all();
      threads_.clear();  // joins the workers already started
      throw InternalFault(std::string(detail::NOT_INITIALIZED) + error.message() + " (os error " +
                          std::to_string(error.value()) + ")");
    }
  }
}

WorkerPool::~WorkerPool() {
  // seq_cst: pairs with a worker's re-check after announcing sleep.
  terminating_.store(true, std::memory_order_seq_cst);
  sleep_.wake_all();
  threads_.clear();
}

void WorkerPool::worker_main(void* worker) noexcept {
  auto* self = static_cast<detail::Worker*>(worker);
  detail::this_thread_worker = self;
  self->run_until(nullptr);
  detail::this_thread_worker = nullptr;
}

void WorkerPool::run_on_worker(detail::WorkerOp op) {
  detail::Worker* worker = detail::current_worker();
  if (worker != nullptr && &worker->pool() == this) {
    // Blocking a worker on its own pool could leave nobody to run the job.
    op(*worker);
    return;
  }
  // One latch per calling thread: a thread waits for one job at a time. A
  // monitored wait runs the monitor's code, which may start a fit of its
  // own on this thread (a signal handler can), so it gets a latch of its own.
  FitMonitor* monitor = current_monitor();
  thread_local detail::LockLatch shared_latch;
  std::optional<detail::LockLatch> own_latch;
  detail::LockLatch& latch = monitor == nullptr ? shared_latch : own_latch.emplace();
  latch.reset();
  detail::InjectedJob job(op, latch);
  // A refused block allocation throws std::bad_alloc before any slot is
  // claimed, so nothing refers to `job` and the caller just gets the fault.
  injector_.push(&job);
  sleep_.notify_new_work();
  if (monitor == nullptr) {
    latch.wait();
  } else {
    // The job lives on this frame: keep waiting until it is done, polling
    // between waits; a stop request makes the loop's pieces finish early.
    while (!latch.wait_for(FitMonitor::POLL_INTERVAL)) {
      if (!monitor->stop_requested() && monitor->poll()) monitor->request_stop();
    }
  }
  if (job.error) std::rethrow_exception(job.error);
  if (monitor != nullptr && monitor->stop_requested()) throw FitCancelled{};
}

namespace detail {

WorkerPool& PoolHolder::get() {
  // acquire: pairs with the release below, so the pool is fully built.
  if (WorkerPool* pool = pool_.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(mutex_);
  // relaxed: the mutex orders it against the creating thread.
  if (WorkerPool* pool = pool_.load(std::memory_order_relaxed)) return *pool;
  if (failure_) throw InternalFault(*failure_);
  try {
    WorkerPool* pool = factory_().release();
    // release: see the acquire above.
    pool_.store(pool, std::memory_order_release);
    return *pool;
  } catch (const InternalFault& fault) {
    failure_ = fault.what();
  } catch (const std::exception& error) {
    failure_ = std::string(NOT_INITIALIZED) + error.what();
  }
  throw InternalFault(*failure_);
}

void PoolHolder::abandon() noexcept {
  // relaxed: used single-threaded in a forked child.
  pool_.store(nullptr, std::memory_order_relaxed);
}

PoolHolder& global_pool_holder() {
  // Never destroyed: worker threads may outlive static destruction at exit.
  static PoolHolder* const holder = [] {
    auto* created = new PoolHolder([] { return std::make_unique<WorkerPool>(num_threads_from_environment()); });
    // Added before the first pool exists, so no fork can fall between the
    // pool's creation and its handlers. Adding only fails for lack of
    // memory; a process that cannot allocate a few bytes at this point has
    // no fit to run in a child either.
    add_fork_handlers([] { global_pool_holder().before_fork(); }, [] { global_pool_holder().after_fork_in_parent(); },
                      [] { global_pool_holder().after_fork_in_child(); });
    return created;
  }();
  return *holder;
}

}  // namespace detail

WorkerPool& global_pool() { return detail::global_pool_holder().get(); }

namespace {

// Chunks of a piece between two reads of a monitored loop's stop flag, so
// that a stop takes effect within about 1/64 of a piece's time.
constexpr std::size_t MONITORED_CHUNKS = 64;

// body over [lo, hi); with a monitor, in chunks, stopping at the first
// chunk that finds a stop requested.
void run_body(std::size_t lo, std::size_t hi, const FitMonitor* monitor, RangeBody body) {
  if (monitor == nullptr) {
    body(lo, hi);
    return;
  }
  const std::size_t chunk = std::max<std::size_t>((hi - lo) / MONITORED_CHUNKS, 1);
  for (std::size_t at = lo; at < hi && !monitor->stop_requested(); at += std::min(chunk, hi - at))
    body(at, at + std::min(chunk, hi - at));
}

// SplitAt: std::size_t(lo, hi) giving the split row of a piece of >= 2 rows.
template <class SplitAt>
void run_piece(detail::Worker& worker, std::size_t lo, std::size_t hi, detail::SplitBudget budget, bool migrated,
               const SplitAt& split_at, const FitMonitor* monitor, RangeBody body) {
  if (monitor != nullptr && monitor->stop_requested()) return;
  if (!budget.try_split(hi - lo, migrated)) {
    run_body(lo, hi, monitor, body);
    return;
  }
  const std::size_t mid = split_at(lo, hi);
  detail::join_context(
      worker,
      [&](detail::Worker& runner, bool moved) { run_piece(runner, lo, mid, budget, moved, split_at, monitor, body); },
      [&](detail::Worker& runner, bool moved) { run_piece(runner, mid, hi, budget, moved, split_at, monitor, body); });
}

template <class SplitAt>
void run_loop(WorkerPool& pool, std::size_t n, const SplitAt& split_at, RangeBody body) {
  if (n <= 1) {
    if (n == 1) body(0, 1);
    return;
  }
  const detail::SplitBudget budget{pool.num_threads(), pool.num_threads()};
  detail::Worker* worker = detail::current_worker();
  // The loop counts as moved when it starts on a worker that did not create
  // it, i.e. when it was handed in from outside the pool.
  const bool handed_in = worker == nullptr || &worker->pool() != &pool;
  // The monitor of the thread that hands the loop in; nested loops on a
  // worker run to completion (their outer loop's pieces are what stop).
  const FitMonitor* monitor = worker == nullptr ? current_monitor() : nullptr;
  auto op = [&](detail::Worker& runner) { run_piece(runner, 0, n, budget, handed_in, split_at, monitor, body); };
  pool.run_on_worker(op);
}

}  // namespace

void WorkerPool::parallel_for_ranges(std::size_t n, RangeBody body) {
  run_loop(*this, n, [](std::size_t lo, std::size_t hi) { return lo + (hi - lo) / 2; }, body);
}

void WorkerPool::parallel_for_ranges_weighted(std::size_t n, const std::uint64_t* cost_prefix, RangeBody body) {
  run_loop(
      *this, n,
      [cost_prefix](std::size_t lo, std::size_t hi) { return detail::weighted_split_point(cost_prefix, lo, hi); },
      body);
}

std::size_t current_num_threads() { return global_pool().num_threads(); }

void parallel_for_ranges(std::size_t n, RangeBody body) { global_pool().parallel_for_ranges(n, body); }

void parallel_for_ranges_weighted(std::size_t n, const std::uint64_t* cost_prefix, RangeBody body) {
  global_pool().parallel_for_ranges_weighted(n, cost_prefix, body);
}

}  // namespace graphripple
