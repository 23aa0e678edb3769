// Building the transition matrix: from a graph as stored, from the merged
// rows of A + A^T, and from A^T. Every scale is f32(value) * (1 / f32(deg)).
#include "algorithm/transition.h"

#include <limits>

#include "algorithm/row_loop.h"
#include "error/fallible_alloc.h"
#include "pool/worker_pool.h"

namespace graphripple {

using detail::inverse_degree;

Expected<TransitionMatrix> TransitionMatrix::from_graph(const CsrGraph& graph) {
  TransitionMatrix transition;
  transition.row_ptrs = graph.row_ptrs.data();
  transition.num_nodes = graph.num_nodes;
  const std::uint64_t nnz = graph.nnz();
  if (auto status = try_reserve(transition.scales, nnz); !status) return std::move(status).error();
  transition.scales.resize(nnz);
  const bool narrow = graph.num_nodes <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  if (narrow) {
    if (auto status = try_reserve(transition.narrow_cols, nnz); !status) return std::move(status).error();
    transition.narrow_cols.resize(nnz);
  } else {
    transition.wide_cols = graph.col_indices.data();
  }
  auto fill = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      const std::uint64_t start = graph.row_ptrs[r], end = graph.row_ptrs[r + 1];
      const float inv = inverse_degree(start, end);
      for (std::uint64_t k = start; k < end; ++k) {
        transition.scales[k] = static_cast<float>(graph.values[k]) * inv;
        if (narrow) transition.narrow_cols[k] = static_cast<std::uint32_t>(graph.col_indices[k]);
      }
    }
  };
  for_row_ranges(graph.num_nodes, nnz + graph.num_nodes, RangeBody(fill));
  return transition;
}

namespace detail {
Expected<TransitionMatrix> symmetrized_transition_serial(const SymmetrizedRows& rows) {
  TransitionMatrix transition;
  const std::uint64_t n = rows.num_nodes();
  transition.num_nodes = n;
  const bool narrow = n <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  if (auto status = try_reserve(transition.owned_row_ptrs, n + 1); !status) return std::move(status).error();
  if (auto status = try_reserve(transition.scales, rows.max_entries()); !status) return std::move(status).error();
  if (auto status = narrow ? try_reserve(transition.narrow_cols, rows.max_entries())
                           : try_reserve(transition.owned_wide_cols, rows.max_entries());
      !status)
    return std::move(status).error();

  std::vector<float>& scales = transition.scales;
  transition.owned_row_ptrs.push_back(0);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t start = scales.size();
    rows.merge_row(i, [&](std::uint64_t column, double value) {
      scales.push_back(static_cast<float>(value));
      if (narrow) {
        transition.narrow_cols.push_back(static_cast<std::uint32_t>(column));
      } else {
        transition.owned_wide_cols.push_back(column);
      }
    });
    // The row's entry count is known once it is merged.
    const std::uint64_t end = scales.size();
    const float inv = inverse_degree(start, end);
    for (std::uint64_t k = start; k < end; ++k) scales[k] = scales[k] * inv;
    transition.owned_row_ptrs.push_back(end);
  }
  transition.row_ptrs = transition.owned_row_ptrs.data();
  if (!narrow) transition.wide_cols = transition.owned_wide_cols.data();
  return transition;
}
}  // namespace detail

// The merged rows in pieces of about equal entry counts, on the worker pool
// from SymmetrizedRows::POOL_MIN_THREADS workers (otherwise one piece on the
// calling thread, which becomes the matrix without a copy). Each piece
// merges its rows once into buffers of its own, finishing every scale as
// soon as its row's count is known: f32(value) * (1 / f32(count)), the same
// two roundings as the serial build. The pieces are then appended in row
// order.
Expected<TransitionMatrix> TransitionMatrix::from_symmetrized(const SymmetrizedRows& rows) {
  struct Piece {
    std::vector<float> scales;
    std::vector<std::uint32_t> narrow_cols;
    std::vector<std::uint64_t> wide_cols;
    Status status;
  };
  TransitionMatrix transition;
  const std::uint64_t n = rows.num_nodes();
  transition.num_nodes = n;
  const bool narrow = n <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  if (auto status = try_reserve(transition.owned_row_ptrs, n + 1); !status) return std::move(status).error();
  std::vector<std::uint64_t>& ptrs = transition.owned_row_ptrs;
  ptrs.resize(n + 1);

  // Several pieces per worker, so that stealing evens out a slow one; a
  // small graph is one piece on the calling thread.
  const std::uint64_t upper = rows.entries_before(n);
  const std::uint64_t threads = current_num_threads();
  const std::uint64_t pieces =
      upper + n < INLINE_LOOP_WORK || threads < SymmetrizedRows::POOL_MIN_THREADS ? 1 : std::max<std::uint64_t>(1, std::min(4 * threads, n));
  std::vector<std::uint64_t> bounds(pieces + 1, n);
  bounds[0] = 0;
  for (std::uint64_t p = 1; p < pieces; ++p) {
    // The first row whose preceding entries reach p / pieces of the total.
    const std::uint64_t target = upper / pieces * p;
    std::uint64_t lo = bounds[p - 1], hi = n;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (rows.entries_before(mid) < target) lo = mid + 1; else hi = mid;
    }
    bounds[p] = lo;
  }
  std::vector<Piece> built(pieces);
  auto merge = [&](std::size_t first, std::size_t last) {
    for (std::uint64_t p = first; p < last; ++p) {
      Piece& piece = built[p];
      const std::uint64_t lo = bounds[p], hi = bounds[p + 1];
      const std::uint64_t room = rows.entries_before(hi) - rows.entries_before(lo);
      piece.status = try_reserve(piece.scales, room);
      if (piece.status) piece.status = narrow ? try_reserve(piece.narrow_cols, room) : try_reserve(piece.wide_cols, room);
      if (!piece.status) continue;
      for (std::uint64_t i = lo; i < hi; ++i) {
        const std::uint64_t start = piece.scales.size();
        rows.merge_row(i, [&](std::uint64_t column, double value) {
          piece.scales.push_back(static_cast<float>(value));
          if (narrow) {
            piece.narrow_cols.push_back(static_cast<std::uint32_t>(column));
          } else {
            piece.wide_cols.push_back(column);
          }
        });
        const std::uint64_t end = piece.scales.size();
        const float inv = inverse_degree(start, end);
        for (std::uint64_t k = start; k < end; ++k) piece.scales[k] = piece.scales[k] * inv;
        ptrs[i + 1] = end - start;
      }
    }
  };
  if (pieces == 1) {
    merge(0, 1);
  } else {
    parallel_for_ranges(pieces, RangeBody(merge));
  }
  for (Piece& piece : built)
    if (!piece.status) return std::move(piece.status).error();

  ptrs[0] = 0;
  for (std::uint64_t i = 0; i < n; ++i) ptrs[i + 1] += ptrs[i];
  const std::uint64_t nnz = ptrs[n];
  if (pieces == 1) {
    // One piece is the whole matrix already.
    transition.scales = std::move(built[0].scales);
    transition.narrow_cols = std::move(built[0].narrow_cols);
    transition.owned_wide_cols = std::move(built[0].wide_cols);
    transition.row_ptrs = ptrs.data();
    if (!narrow) transition.wide_cols = transition.owned_wide_cols.data();
    return transition;
  }
  if (auto status = try_reserve(transition.scales, nnz); !status) return std::move(status).error();
  if (auto status = narrow ? try_reserve(transition.narrow_cols, nnz) : try_reserve(transition.owned_wide_cols, nnz);
      !status)
    return std::move(status).error();
  for (Piece& piece : built) {
    transition.scales.insert(transition.scales.end(), piece.scales.begin(), piece.scales.end());
    transition.narrow_cols.insert(transition.narrow_cols.end(), piece.narrow_cols.begin(), piece.narrow_cols.end());
    transition.owned_wide_cols.insert(transition.owned_wide_cols.end(), piece.wide_cols.begin(), piece.wide_cols.end());
    piece = Piece{};  // released as soon as it is copied
  }
  transition.row_ptrs = ptrs.data();
  if (!narrow) transition.wide_cols = transition.owned_wide_cols.data();
  return transition;
}

Expected<TransitionMatrix> TransitionMatrix::from_transposed(const CsrGraph& graph) {
  TransitionMatrix transition;
  const std::uint64_t n = graph.num_nodes;
  const std::uint64_t nnz = graph.nnz();
  transition.num_nodes = n;
  const bool narrow = n <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  std::vector<std::uint64_t> cursor;
  if (auto status = try_reserve(transition.owned_row_ptrs, n + 1); !status) return std::move(status).error();
  if (auto status = try_reserve(cursor, n); !status) return std::move(status).error();
  if (auto status = try_reserve(transition.scales, nnz); !status) return std::move(status).error();
  if (auto status = narrow ? try_reserve(transition.narrow_cols, nnz) : try_reserve(transition.owned_wide_cols, nnz);
      !status)
    return std::move(status).error();

  // 1. count the entries of each column; 2. prefix sum into row starts;
  // 3. scatter rows in ascending order, so each transposed row comes out
  //    with ascending columns; 4. scale each row by its reciprocal count.
  std::vector<std::uint64_t>& ptrs = transition.owned_row_ptrs;
  ptrs.assign(n + 1, 0);
  for (std::uint64_t k = 0; k < nnz; ++k) ++ptrs[graph.col_indices[k] + 1];
  for (std::uint64_t i = 0; i < n; ++i) ptrs[i + 1] += ptrs[i];
  cursor.assign(ptrs.begin(), ptrs.end() - 1);
  transition.scales.resize(nnz);
  if (narrow) {
    transition.narrow_cols.resize(nnz);
  } else {
    transition.owned_wide_cols.resize(nnz);
  }
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t k = graph.row_ptrs[r]; k < graph.row_ptrs[r + 1]; ++k) {
      const std::uint64_t at = cursor[graph.col_indices[k]]++;
      transition.scales[at] = static_cast<float>(graph.values[k]);
      if (narrow) {
        transition.narrow_cols[at] = static_cast<std::uint32_t>(r);
      } else {
        transition.owned_wide_cols[at] = r;
      }
    }
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    const float inv = inverse_degree(ptrs[i], ptrs[i + 1]);
    for (std::uint64_t k = ptrs[i]; k < ptrs[i + 1]; ++k) transition.scales[k] = transition.scales[k] * inv;
  }
  transition.row_ptrs = ptrs.data();
  if (!narrow) transition.wide_cols = transition.owned_wide_cols.data();
  return transition;
}

}  // namespace graphripple
