// Parking and waking of idle workers.
//
// Protocol (no wake-up is lost):
//   idle worker:  announce(i)  -> re-check every queue and its latch
//                 -> found something: cancel(i)   else: commit(i) (blocks)
//   producer:     publish the job -> notify_new_work()
//   latch setter: set the latch   -> wake(owner)
// announce and notify_new_work both do a seq_cst read-modify-write of
// `sleepers_`, so either the producer sees the announcement (and wakes a
// sleeper) or the worker's re-check sees the job. The same holds for a latch
// and its owner's state. A woken worker always looks for work again before
// it can sleep, so waking any one sleeper is enough for a new job.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "pool/work_queue.h"

namespace graphripple::detail {

class Sleep {
 public:
  explicit Sleep(std::size_t num_workers);
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;

  /// Worker i is about to sleep; it must re-check for work afterwards.
  void announce(std::size_t i);
  /// Worker i found work during its re-check and stays awake.
  void cancel(std::size_t i);
  /// Worker i blocks until woken (returns at once if already woken).
  void commit(std::size_t i);

  /// Call after publishing a job: wakes one sleeping worker if any.
  void notify_new_work();
  /// Call after setting a latch owned by worker i: wakes it if asleep.
  void wake(std::size_t i);
  /// Wakes every worker (pool shutdown).
  void wake_all();

 private:
  enum : std::uint32_t { AWAKE = 0, SLEEPY = 1 };
  struct alignas(CACHE_LINE) Slot {
    std::mutex mutex;
    std::condition_variable condition;
    std::atomic<std::uint32_t> state{AWAKE};
  };
  bool try_wake(Slot& slot);

  std::size_t num_workers_;
  std::unique_ptr<Slot[]> slots_;
  alignas(CACHE_LINE) std::atomic<std::uint32_t> sleepers_{0};
  std::atomic<std::uint32_t> next_to_wake_{0};
};

}  // namespace graphripple::detail
