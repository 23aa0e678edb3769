// The row-parallel loops: recursive halving of [0, n) with join.
//
// - n <= 1 runs on the calling thread (no hand-off cost for trivial loops).
// - Otherwise the whole loop goes to the pool as one job and the calling
//   thread blocks; on one of the pool's own workers (a nested loop) it runs
//   in place instead, since blocking a worker could leave nobody to run it.
#include "pool/worker_pool.h"

#include "pool/join.h"
#include "pool/range_split.h"
#include "pool/thread_pool.h"

namespace graphripple {
namespace {

// SplitAt: std::size_t(lo, hi) giving the split row of a piece of >= 2 rows.
template <class SplitAt>
void run_piece(detail::Worker& worker, std::size_t lo, std::size_t hi, detail::SplitBudget budget, bool migrated,
               const SplitAt& split_at, RangeBody body) {
  if (!budget.try_split(hi - lo, migrated)) {
    body(lo, hi);
    return;
  }
  const std::size_t mid = split_at(lo, hi);
  detail::join_context(
      worker,
      [&](detail::Worker& runner, bool moved) { run_piece(runner, lo, mid, budget, moved, split_at, body); },
      [&](detail::Worker& runner, bool moved) { run_piece(runner, mid, hi, budget, moved, split_at, body); });
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
  auto op = [&](detail::Worker& runner) { run_piece(runner, 0, n, budget, handed_in, split_at, body); };
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
