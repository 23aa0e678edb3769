// Where and whether a loop's piece is split.
//
// - SplitBudget: a piece carries a budget that starts at the worker count.
//   A piece running on the worker that created it halves the budget per
//   split and stops at 0 (about two pieces per worker when nobody steals);
//   a piece that moved to another worker renews it to at least the worker
//   count, so loops that are being stolen from keep splitting.
// - weighted_split_point: the row that halves a piece's cost, for loops
//   whose rows differ widely in cost (power-law degree distributions).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace graphripple::detail {

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

}  // namespace graphripple::detail
