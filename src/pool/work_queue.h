// Job, the unit of work the pool's queues carry, and the per-worker
// work-stealing deque of Job pointers (Chase-Lev).
//
// - A Job is a pointer-sized handle: queues store Job* in single atomic words,
//   so the lock-free queues need no double-width operations. Jobs live on the
//   stack of the thread that waits for them; a queue never owns or frees one.
// - One owner thread pushes and pops at the bottom (newest first, which keeps
//   a join's own half hot in cache); any thread may steal from the top
//   (oldest first, which hands thieves the biggest pieces of a split).
// - Lock-free. The ring grows by doubling; retired rings are kept until the
//   queue is destroyed because a thief may still be reading one, and a
//   worker's queue depth is bounded by its join nesting, so little is kept.
// - Every seq_cst below stands in for the fences of the textbook version:
//   the owner's bottom update and the thieves' top/bottom reads must be in one
//   total order so that owner and thief never both take the last job.
//   Putting the order on the operations keeps ThreadSanitizer exact.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace graphripple::detail {

inline constexpr std::size_t CACHE_LINE = 64;

class Worker;

/// Base of every queued job. `run` is called exactly once, on a worker; after
/// it signals completion the job may be destroyed by its waiting owner, so
/// `run` must not touch the job after that point.
struct Job {
  using RunFn = void (*)(Job* job, Worker& worker) noexcept;
  explicit Job(RunFn run_fn) : run(run_fn) {}
  RunFn run;
};


class WorkQueue {
 public:
  /// Outcome of a steal: a job, an empty queue, or a lost race worth retrying.
  struct Steal {
    Job* job = nullptr;
    bool retry = false;
  };

  explicit WorkQueue(std::size_t initial_capacity = 64) {
    std::size_t capacity = 1;
    while (capacity < initial_capacity) capacity *= 2;
    rings_.push_back(std::make_unique<Ring>(capacity));
    ring_.store(rings_.back().get(), std::memory_order_relaxed);
  }

  // Thieves hold raw pointers into the rings; the queue has one fixed address.
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  /// Owner only. May allocate when the ring is full; std::bad_alloc then
  /// leaves the queue as it was.
  void push(Job* job) {
    // relaxed: only the owner writes bottom, so it reads its own last value.
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    // acquire: pairs with thieves' top CAS, so slots they vacated are free.
    const std::int64_t t = top_.load(std::memory_order_acquire);
    // relaxed: only the owner replaces the ring.
    Ring* ring = ring_.load(std::memory_order_relaxed);
    if (b - t >= static_cast<std::int64_t>(ring->capacity)) ring = grow(ring, t, b);
    ring->put(b, job);
    // release: publishes the slot (and the job it points to) to thieves.
    bottom_.store(b + 1, std::memory_order_release);
  }

  /// Owner only. The newest job, or nullptr when empty (or a thief won it).
  Job* pop() {
    // relaxed: owner-only value.
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    // relaxed: owner-only value.
    Ring* ring = ring_.load(std::memory_order_relaxed);
    // seq_cst: reserve slot b before reading top; a thief's top/bottom reads
    // are ordered against this store in the single total order.
    bottom_.store(b, std::memory_order_seq_cst);
    // seq_cst: see above; reads the latest top in that order.
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      // Empty: undo the reservation. release: keeps every bottom store a
      // release, so thieves reading it still see the jobs' contents.
      bottom_.store(b + 1, std::memory_order_release);
      return nullptr;
    }
    Job* job = ring->get(b);
    if (t == b) {
      // Last job: race thieves for it through top.
      // seq_cst on success: part of the owner/thief total order; relaxed on
      // failure: the job is simply gone.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        job = nullptr;
      }
      // release: as in the empty case above.
      bottom_.store(b + 1, std::memory_order_release);
    }
    return job;
  }

  /// Any thread. Takes the oldest job.
  Steal steal() {
    // seq_cst: must be ordered before the bottom read against the owner's pop.
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    // seq_cst: see above; also acquires the owner's release of the slot.
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return {};
    // acquire: pairs with grow's release so the new ring's slots are visible.
    Ring* ring = ring_.load(std::memory_order_acquire);
    Job* job = ring->get(t);
    // seq_cst: claims slot t against the owner and other thieves; relaxed on
    // failure: the caller retries from scratch.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
      return {nullptr, true};
    }
    return {job, false};
  }

  /// Any thread; a snapshot that may be stale by the time it returns.
  bool looks_empty() const {
    // seq_cst: used in the sleep protocol's re-check, which needs these reads
    // ordered after the sleeper announced itself.
    const std::int64_t t = top_.load(std::memory_order_seq_cst);
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    return t >= b;
  }

 private:
  struct Ring {
    explicit Ring(std::size_t cap) : capacity(cap), mask(cap - 1), slots(new std::atomic<Job*>[cap]) {}
    // relaxed: slot contents are published by the bottom/top orders above.
    void put(std::int64_t i, Job* job) { slots[static_cast<std::size_t>(i) & mask].store(job, std::memory_order_relaxed); }
    Job* get(std::int64_t i) const { return slots[static_cast<std::size_t>(i) & mask].load(std::memory_order_relaxed); }
    std::size_t capacity;
    std::size_t mask;
    std::unique_ptr<std::atomic<Job*>[]> slots;
  };

  Ring* grow(Ring* old, std::int64_t t, std::int64_t b) {
    auto bigger = std::make_unique<Ring>(old->capacity * 2);
    for (std::int64_t i = t; i < b; ++i) bigger->put(i, old->get(i));
    rings_.push_back(std::move(bigger));
    Ring* ring = rings_.back().get();
    // release: thieves that load the new ring see the copied slots.
    ring_.store(ring, std::memory_order_release);
    return ring;
  }

  // Thieves write top; the owner writes bottom and the ring. Separate lines
  // keep a thief's CAS from invalidating the owner's hot line.
  alignas(CACHE_LINE) std::atomic<std::int64_t> top_{0};
  alignas(CACHE_LINE) std::atomic<std::int64_t> bottom_{0};
  std::atomic<Ring*> ring_{nullptr};
  // Owner only: every ring ever used, freed with the queue.
  std::vector<std::unique_ptr<Ring>> rings_;
};

}  // namespace graphripple::detail
