// The process-wide worker pool and its row-parallel loop.
//
// - One pool per process, created on first use (exactly once under races).
// - parallel_for_rows calls the body once per index and returns when all
//   calls are done; a fault thrown by a body is re-thrown to the caller and
//   the pool stays usable.
// - Results never depend on how a loop is split: each body writes only its
//   own row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace graphripple {

/// Non-owning reference to a callable `void(std::size_t lo, std::size_t hi)`.
class RangeBody {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeBody>>>
  RangeBody(F& f) : object_(&f), call_([](void* o, std::size_t lo, std::size_t hi) { (*static_cast<F*>(o))(lo, hi); }) {}
  void operator()(std::size_t lo, std::size_t hi) const { call_(object_, lo, hi); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t, std::size_t);
};

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

}  // namespace graphripple
