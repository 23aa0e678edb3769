// Latch signalling and waiting.
#include "pool/latch.h"

#include "pool/sleep.h"
#include "pool/worker_pool.h"

namespace graphripple::detail {
namespace {

// Spin checks before a waiting caller blocks: a short loop finishes in a few
// microseconds, and blocking would add a futex round trip to every call.
// Nine pause steps are about 256 pause instructions.
constexpr std::uint32_t CALLER_PAUSE_STEPS = 9;
constexpr std::uint32_t CALLER_YIELD_STEPS = 64;

}  // namespace

void WorkerLatch::set() noexcept {
  // Read everything needed before the store: afterwards the latch may be gone.
  Worker& owner = *owner_;
  // seq_cst: see probe.
  set_.store(true, std::memory_order_seq_cst);
  owner.pool().sleep().wake(owner.index());
}

void LockLatch::reset() {
  // Under the mutex: a previous setter may still be inside set().
  std::lock_guard lock(mutex_);
  // relaxed: the mutex orders it.
  set_.store(false, std::memory_order_relaxed);
}

void LockLatch::set() noexcept {
  std::lock_guard lock(mutex_);
  // release: the waiter's spin reads it without the mutex.
  set_.store(true, std::memory_order_release);
  condition_.notify_one();
}

void LockLatch::wait() {
  for (Backoff backoff(CALLER_PAUSE_STEPS); backoff.steps() < CALLER_PAUSE_STEPS + CALLER_YIELD_STEPS;
       backoff.snooze()) {
    // acquire: pairs with set's release, so the job's results are visible.
    if (set_.load(std::memory_order_acquire)) {
      // The setter may still hold the mutex; taking it once means set() is
      // done with this latch before the caller reuses or destroys it.
      std::lock_guard lock(mutex_);
      return;
    }
  }
  std::unique_lock lock(mutex_);
  // relaxed: the mutex orders it.
  while (!set_.load(std::memory_order_relaxed)) condition_.wait(lock);
}

bool LockLatch::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  // relaxed: the mutex orders it.
  return condition_.wait_for(lock, timeout, [this] { return set_.load(std::memory_order_relaxed); });
}

}  // namespace graphripple::detail
