// Row loops of the engine with a cost hint: loops too small to repay a
// hand-off to the worker pool run on the calling thread. Results never
// depend on the split, so this changes timing only.
#pragma once

#include <cstdint>

#include "pool/worker_pool.h"

namespace graphripple {

/// Element operations below which a loop is not worth waking workers for
/// (a hand-off and wake-up costs a few microseconds).
inline constexpr std::uint64_t INLINE_LOOP_WORK = std::uint64_t{1} << 15;

/// body(lo, hi) over [0, n); `work` estimates the loop's element operations.
inline void for_row_ranges(std::uint64_t n, std::uint64_t work, RangeBody body) {
  if (work < INLINE_LOOP_WORK) {
    current_num_threads();  // the pool still comes into being on first use
    if (n > 0) body(0, n);
    return;
  }
  parallel_for_ranges(n, body);
}

/// As for_row_ranges, split by the cost prefix (n + 1 entries) when parallel.
inline void for_row_ranges_weighted(std::uint64_t n, const std::uint64_t* cost_prefix, std::uint64_t work,
                                    RangeBody body) {
  if (work < INLINE_LOOP_WORK) {
    current_num_threads();
    if (n > 0) body(0, n);
    return;
  }
  parallel_for_ranges_weighted(n, cost_prefix, body);
}

}  // namespace graphripple
