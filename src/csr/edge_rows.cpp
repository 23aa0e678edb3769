// A stable counting sort of edges by source, in fixed pieces of the edge
// list: each piece counts its rows, a prefix over (row, piece) gives every
// piece its first slot in each row, and each piece then places its edges in
// their order. A row's edges therefore keep the order of the list whatever
// the number of pieces. Pieces are bounded so that their counts (one per
// row each) never hold more words than the edges themselves.
#include "csr/edge_rows.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <utility>
#include <vector>

#include "error/fallible_alloc.h"
#include "error/internal_fault.h"
#include "pool/worker_pool.h"

namespace graphripple {

namespace {

// Below this many edges the list is one piece on the calling thread: a
// hand-off would cost more than the sort.
constexpr std::uint64_t POOL_MIN_EDGES = std::uint64_t{1} << 16;

bool outside(std::int64_t id, std::uint64_t n) { return id < 0 || std::uint64_t(id) >= n; }

std::optional<std::uint64_t> first_outside(std::span<const std::int64_t> sources, std::span<const std::int64_t> targets,
                                           std::uint64_t lo, std::uint64_t hi, std::uint64_t n) {
  for (std::uint64_t k = lo; k < hi; ++k)
    if (outside(sources[k], n) || outside(targets[k], n)) return k;
  return std::nullopt;
}

}  // namespace

namespace detail {
std::optional<std::uint64_t> group_edges_by_row_serial(std::span<const std::int64_t> sources,
                                                       std::span<const std::int64_t> targets,
                                                       std::span<const double> weights, std::uint64_t n,
                                                       const EdgeRowsOutput& out) {
  const std::uint64_t m = sources.size();
  if (auto bad = first_outside(sources, targets, 0, m, n)) return bad;
  // Counts in row_ptrs[r + 1], then row starts; each start is the row's
  // cursor while its edges are placed and ends as the next row's start.
  std::int64_t* ptrs = out.row_ptrs.data();
  std::fill(out.row_ptrs.begin(), out.row_ptrs.end(), 0);
  for (std::int64_t s : sources) ++ptrs[std::uint64_t(s) + 1];
  for (std::uint64_t r = 0; r < n; ++r) ptrs[r + 1] += ptrs[r];
  for (std::uint64_t k = 0; k < m; ++k) {
    const std::uint64_t slot = std::uint64_t(ptrs[std::uint64_t(sources[k])]++);
    out.columns[slot] = targets[k];
    out.values[slot] = weights.empty() ? 1.0 : weights[k];
  }
  for (std::uint64_t r = n; r > 0; --r) ptrs[r] = ptrs[r - 1];
  ptrs[0] = 0;
  return std::nullopt;
}
}  // namespace detail

Expected<std::optional<std::uint64_t>> group_edges_by_row(std::span<const std::int64_t> sources,
                                                          std::span<const std::int64_t> targets,
                                                          std::span<const double> weights, std::uint64_t n,
                                                          const EdgeRowsOutput& out) {
  const std::uint64_t m = sources.size();
  fault_unless(targets.size() == m && (weights.empty() || weights.size() == m) && out.row_ptrs.size() == n + 1 &&
                   out.columns.size() == m && out.values.size() == m,
               "group_edges_by_row: array lengths differ");
  const std::uint64_t threads = current_num_threads();
  std::uint64_t pieces = std::min<std::uint64_t>(threads, std::max<std::uint64_t>(1, m / std::max<std::uint64_t>(n, 1)));
  if (m < POOL_MIN_EDGES || threads < 2) pieces = 1;
  if (pieces == 1) return detail::group_edges_by_row_serial(sources, targets, weights, n, out);

  // counts[p * n + r]: edges of piece p in row r, then piece p's first slot.
  std::vector<std::int64_t> counts;
  if (auto status = try_reserve(counts, pieces * n); !status) return std::move(status).error();
  counts.resize(pieces * n);
  auto bounds = [&](std::uint64_t p) { return std::pair{m / pieces * p, p + 1 == pieces ? m : m / pieces * (p + 1)}; };
  // Relaxed: each piece's earliest bad edge; the loop's join publishes them.
  std::atomic<std::uint64_t> bad{std::numeric_limits<std::uint64_t>::max()};
  auto count_piece = [&](std::size_t first, std::size_t last) {
    for (std::uint64_t p = first; p < last; ++p) {
      const auto [lo, hi] = bounds(p);
      if (auto k = first_outside(sources, targets, lo, hi, n)) {
        std::uint64_t seen = bad.load(std::memory_order_relaxed);
        while (*k < seen && !bad.compare_exchange_weak(seen, *k, std::memory_order_relaxed)) {
        }
        continue;
      }
      std::int64_t* count = counts.data() + p * n;
      for (std::uint64_t k = lo; k < hi; ++k) ++count[std::uint64_t(sources[k])];
    }
  };
  parallel_for_ranges(pieces, RangeBody(count_piece));
  if (const std::uint64_t k = bad.load(std::memory_order_relaxed); k != std::numeric_limits<std::uint64_t>::max())
    return std::optional<std::uint64_t>(k);

  // Row starts, and each piece's first slot in each row (pieces in order).
  out.row_ptrs[0] = 0;
  std::int64_t total = 0;
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t p = 0; p < pieces; ++p) {
      const std::int64_t c = counts[p * n + r];
      counts[p * n + r] = total;
      total += c;
    }
    out.row_ptrs[r + 1] = total;
  }
  auto place_piece = [&](std::size_t first, std::size_t last) {
    for (std::uint64_t p = first; p < last; ++p) {
      const auto [lo, hi] = bounds(p);
      std::int64_t* next = counts.data() + p * n;
      for (std::uint64_t k = lo; k < hi; ++k) {
        const std::uint64_t slot = std::uint64_t(next[std::uint64_t(sources[k])]++);
        out.columns[slot] = targets[k];
        out.values[slot] = weights.empty() ? 1.0 : weights[k];
      }
    }
  };
  parallel_for_ranges(pieces, RangeBody(place_piece));
  return std::optional<std::uint64_t>();
}

}  // namespace graphripple
