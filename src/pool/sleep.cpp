// Idle-worker parking; see sleep.h for the protocol.
#include "pool/sleep.h"

namespace graphripple::detail {

Sleep::Sleep(std::size_t num_workers) : num_workers_(num_workers), slots_(new Slot[num_workers]) {}

void Sleep::announce(std::size_t i) {
  // seq_cst: a latch setter's seq_cst load of the state is ordered with it.
  slots_[i].state.store(SLEEPY, std::memory_order_seq_cst);
  // seq_cst RMW: pairs with notify_new_work's RMW; whichever comes second
  // sees the other's side (the job, or this announcement).
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
}

void Sleep::cancel(std::size_t i) {
  // relaxed: only this worker waits on its own state; a concurrent waker
  // writing AWAKE too is harmless.
  slots_[i].state.store(AWAKE, std::memory_order_relaxed);
  // relaxed: the count is a hint that lets producers skip the scan.
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

void Sleep::commit(std::size_t i) {
  Slot& slot = slots_[i];
  {
    std::unique_lock lock(slot.mutex);
    // relaxed: wakers change the state under this mutex.
    while (slot.state.load(std::memory_order_relaxed) == SLEEPY) slot.condition.wait(lock);
  }
  // relaxed: a hint, as in cancel.
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

bool Sleep::try_wake(Slot& slot) {
  std::lock_guard lock(slot.mutex);
  // seq_cst: a waker that published its reason (job, latch, shutdown) with a
  // seq_cst operation must see an announcement the sleeper made before
  // re-checking that reason; the mutex alone does not order the two.
  if (slot.state.load(std::memory_order_seq_cst) != SLEEPY) return false;
  slot.state.store(AWAKE, std::memory_order_relaxed);
  // Notified under the lock: the sleeper cannot miss it between its check
  // and its wait.
  slot.condition.notify_one();
  return true;
}

void Sleep::notify_new_work() {
  // seq_cst RMW (not a load): orders the job's publication before this read
  // against the sleepers' announcements; see announce.
  if (sleepers_.fetch_add(0, std::memory_order_seq_cst) == 0) return;
  // Rotate the starting point so one worker is not always the one woken.
  // relaxed: only spreads wake-ups.
  const std::size_t start = next_to_wake_.fetch_add(1, std::memory_order_relaxed) % num_workers_;
  for (std::size_t k = 0; k < num_workers_; ++k) {
    Slot& slot = slots_[(start + k) % num_workers_];
    // seq_cst: ordered after our RMW above, so an announced sleeper is seen.
    if (slot.state.load(std::memory_order_seq_cst) == SLEEPY && try_wake(slot)) return;
  }
}

void Sleep::wake(std::size_t i) {
  // seq_cst: pairs with announce's store; the caller set its latch with a
  // seq_cst store just before.
  if (slots_[i].state.load(std::memory_order_seq_cst) == SLEEPY) try_wake(slots_[i]);
}

void Sleep::wake_all() {
  for (std::size_t i = 0; i < num_workers_; ++i) try_wake(slots_[i]);
}

}  // namespace graphripple::detail
