// How a thread with nothing to do waits: spinning briefly (Backoff), then
// parking (Sleep, for idle workers).
//
// Backoff: step k of a wait spins 2^min(k, 6) pause instructions while k is
// below the pause-step count given at construction, and yields the core
// after that, so a short wait costs no system call and a long one gives the
// core to the thread that is about to publish what is awaited.
//
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

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "pool/work_queue.h"

namespace graphripple::detail {

class Backoff {
 public:
  explicit Backoff(std::uint32_t pause_steps) : pause_steps_(pause_steps) {}

  /// One step of waiting.
  void snooze() {
    if (step_ < pause_steps_) {
      for (std::uint32_t i = 0; i < (1u << std::min<std::uint32_t>(step_, 6)); ++i) pause();
    } else {
      std::this_thread::yield();
    }
    if (step_ != UINT32_MAX) ++step_;
  }
  /// Steps taken since construction or the last reset.
  std::uint32_t steps() const { return step_; }
  void reset() { step_ = 0; }

 private:
  static void pause() {
#if defined(__x86_64__)
    _mm_pause();
#endif
  }

  std::uint32_t pause_steps_;
  std::uint32_t step_ = 0;
};

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
