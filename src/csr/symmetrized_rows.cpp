// SymmetrizedRows::prepare: the transpose behind the rows of A + A^T, for
// undirected fits.
//
// Stages: re-validate the structure -> transpose by counting sort; the merge
// of row i of A with row i of A^T that drops the zero sums is
// SymmetrizedRows::merge_row (symmetrized_rows.h).
// - Time and memory are linear in n + nnz; the given graph is read in place
//   and never changed.
// - Every buffer is reserved fallibly, so running out of memory is an
//   EmbeddingError and the given graph is untouched.
// - `prepare` runs its row loops on the worker pool; `prepare_serial` is the
//   one-thread form it is tested against. Both give the same bytes.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "csr/csr_graph.h"
#include "csr/symmetrized_rows.h"
#include "error/fallible_alloc.h"
#include "pool/worker_pool.h"

namespace graphripple {

namespace {

using TransposedEntry = SymmetrizedRows::TransposedEntry;

enum class StructureKind { Unsorted, SizeMismatch, OutOfRange };

EmbeddingError structure_error(StructureKind kind, const char* text) {
  const char* word = kind == StructureKind::Unsorted       ? "unsorted"
                     : kind == StructureKind::SizeMismatch ? "size mismatch"
                                                           : "out of range";
  return EmbeddingError::shape_mismatch(std::string("Invalid CSR structure: Structure Error (") + word + "): " +
                                        text);
}

// The per-row test of row i: its columns strictly increase and stay below n.
Status validate_row(const CsrGraph& graph, std::uint64_t base, std::uint64_t i) {
  const auto& col_indices = graph.col_indices;
  const std::uint64_t begin = graph.row_ptrs[i] - base;
  const std::uint64_t end = graph.row_ptrs[i + 1] - base;
  for (std::uint64_t k = begin + 1; k < end; ++k)
    if (col_indices[k - 1] >= col_indices[k]) return structure_error(StructureKind::Unsorted, "Indices are not sorted");
  // Columns strictly increase, so the last one is the row's largest.
  if (end > begin && col_indices[end - 1] >= graph.num_nodes)
    return structure_error(StructureKind::OutOfRange, "Indice is larger than inner dimension");
  return Status::ok();
}

// The merge below relies on exactly these properties. The tests run in a
// fixed order; the first failure is reported. The whole-array tests come
// first; the per-row tests then run on every row (on the worker pool when
// `parallel`) and the lowest failing row is reported, as a serial walk
// would report it.
Status validate_structure(const CsrGraph& graph, bool parallel) {
  const auto& row_ptrs = graph.row_ptrs;
  const auto& col_indices = graph.col_indices;
  const std::uint64_t n = graph.num_nodes;
  if (col_indices.size() != graph.values.size())
    return structure_error(StructureKind::SizeMismatch, "data and indices have different sizes");
  for (std::size_t i = 1; i < row_ptrs.size(); ++i)
    if (row_ptrs[i] < row_ptrs[i - 1]) return structure_error(StructureKind::Unsorted, "Unsorted indptr");
  if (row_ptrs.empty()) return structure_error(StructureKind::SizeMismatch, "An indptr should have its len >= 1");
  if (row_ptrs.back() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
    return structure_error(StructureKind::OutOfRange, "An indptr value is larger than allowed");
  // size - 1 rather than n + 1: n may be 2^64 - 1.
  if (row_ptrs.size() - 1 != n)
    return structure_error(StructureKind::SizeMismatch, "Indptr length does not match dimension");
  const std::uint64_t base = row_ptrs.front();
  if (col_indices.size() != row_ptrs.back() - base)
    return structure_error(StructureKind::SizeMismatch, "Indices length and inpdtr's nnz do not match");
  if (!parallel) {
    for (std::uint64_t i = 0; i < n; ++i)
      if (Status row = validate_row(graph, base, i); !row) return row;
    return Status::ok();
  }
  // Each piece stops at its first failing row; the lowest of those wins.
  std::atomic<std::uint64_t> first_bad{n};
  auto check = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t i = lo; i < hi && i < first_bad.load(std::memory_order_relaxed); ++i) {
      if (validate_row(graph, base, i)) continue;
      std::uint64_t seen = first_bad.load(std::memory_order_relaxed);
      while (i < seen && !first_bad.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
      }
      return;
    }
  };
  parallel_for_ranges(n, check);
  const std::uint64_t bad = first_bad.load(std::memory_order_relaxed);
  return bad < n ? validate_row(graph, base, bad) : Status::ok();
}

}  // namespace

Expected<SymmetrizedRows> SymmetrizedRows::prepare_serial(const CsrGraph& graph) {
  if (Status valid = validate_structure(graph, false); !valid) return std::move(valid).error();
  const std::uint64_t n = graph.num_nodes;
  const std::uint64_t nnz = graph.col_indices.size();
  const std::uint64_t base = graph.row_ptrs.front();

  // A^T by counting sort. Row j's count goes to t_ptrs[j + 2]; after the
  // prefix sum t_ptrs[j + 1] is row j's start and serves as its fill
  // cursor, so once every entry is placed t_ptrs[0..n] are A^T's row starts.
  auto t_ptrs = LargeBuffer<std::uint64_t>::try_zeroed(n + 2);
  if (!t_ptrs) return std::move(t_ptrs).error();
  // Column and weight side by side: the scatter below lands at random
  // places, and one cache line per entry instead of two halves its misses.
  auto t_entries = LargeBuffer<TransposedEntry>::try_zeroed(nnz);
  if (!t_entries) return std::move(t_entries).error();
  std::uint64_t* tp = t_ptrs->data();
  TransposedEntry* te = t_entries->data();
  const std::uint64_t* cols = graph.col_indices.data();
  const double* vals = graph.values.data();
  const std::uint64_t* ptrs = graph.row_ptrs.data();

  // Both passes below hit tp and te at random places; on large graphs they
  // miss the caches, so the lines for entries a few steps ahead are
  // requested early. The prefetches are only hints: a slot they guess from
  // a counter that moves before it is used costs nothing but the fetch.
  constexpr std::uint64_t AHEAD = 16;
  for (std::uint64_t k = 0; k < nnz; ++k) {
    if (k + AHEAD < nnz) __builtin_prefetch(&tp[cols[k + AHEAD] + 2], 1);
    ++tp[cols[k] + 2];
  }
  for (std::uint64_t j = 2; j < n + 2; ++j) tp[j] += tp[j - 1];
  // Rows of A are walked upward, so each row of A^T gets ascending columns.
  for (std::uint64_t i = 0; i < n; ++i) {
    for (std::uint64_t k = ptrs[i] - base; k < ptrs[i + 1] - base; ++k) {
      if (k + 2 * AHEAD < nnz) __builtin_prefetch(&tp[cols[k + 2 * AHEAD] + 1], 1);
      if (k + AHEAD < nnz) __builtin_prefetch(&te[tp[cols[k + AHEAD] + 1]], 1);
      const std::uint64_t slot = tp[cols[k] + 1]++;
      te[slot] = {i, vals[k]};
    }
  }
  return SymmetrizedRows(graph, base, std::move(t_ptrs).value(), std::move(t_entries).value());
}

// The same transpose on the worker pool. Each piece owns a range of
// columns, that is of rows of A^T: it walks all of A in the serial order and
// counts, then places, only the entries of its own columns. Every counter
// and every slot therefore has one writer, and every row of A^T is filled in
// ascending row order of A exactly as by the serial walk. The walk over the
// column array is repeated by each piece, but it is a sequential read; the
// random accesses, the cost of the transpose, are split between pieces.
Expected<SymmetrizedRows> SymmetrizedRows::prepare(const CsrGraph& graph) {
  if (current_num_threads() < POOL_MIN_THREADS) return prepare_serial(graph);
  if (Status valid = validate_structure(graph, true); !valid) return std::move(valid).error();
  const std::uint64_t n = graph.num_nodes;
  const std::uint64_t nnz = graph.col_indices.size();
  const std::uint64_t base = graph.row_ptrs.front();

  auto t_ptrs = LargeBuffer<std::uint64_t>::try_zeroed(n + 2);
  if (!t_ptrs) return std::move(t_ptrs).error();
  auto t_entries = LargeBuffer<TransposedEntry>::try_zeroed(nnz);
  if (!t_entries) return std::move(t_entries).error();
  std::uint64_t* tp = t_ptrs->data();
  TransposedEntry* te = t_entries->data();
  const std::uint64_t* cols = graph.col_indices.data();
  const double* vals = graph.values.data();
  const std::uint64_t* ptrs = graph.row_ptrs.data();

  // One piece per worker: more would repeat the sequential walk for nothing.
  const std::uint64_t pieces = (nnz < (std::uint64_t{1} << 16) || n < 2) ? 1 : std::min<std::uint64_t>(current_num_threads(), n);
  // Column boundaries of the pieces: equal column counts for the count pass,
  // equal entry counts (known once counted) for the scatter.
  std::vector<std::uint64_t> bounds(pieces + 1);
  for (std::uint64_t p = 0; p <= pieces; ++p) bounds[p] = n / pieces * p + std::min(p, n % pieces);

  constexpr std::uint64_t AHEAD = 16;
  // Columns ascend within a row, so a piece's entries of row i are one run:
  // skip to its first column, stop past its last. The lines a few entries
  // ahead are requested early (as in the serial walk); an entry of another
  // piece names the piece's own first counter instead, so the hints never
  // touch another piece's lines and need no branch.
  auto own = [](std::uint64_t column, std::uint64_t lo, std::uint64_t width) {
    return column - lo < width ? column : lo;
  };
  // The bodies take their arrays and sizes by value: writes through tp could
  // otherwise alias captured sizes and force reloads inside the loops.
  const std::uint64_t* piece_bounds = bounds.data();
  auto count = [=](std::size_t first, std::size_t last) {
    for (std::uint64_t p = first; p < last; ++p) {
      const std::uint64_t lo = piece_bounds[p], hi = piece_bounds[p + 1], width = hi - lo;
      for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t k = ptrs[i] - base;
        const std::uint64_t end = ptrs[i + 1] - base;
        while (k < end && cols[k] < lo) ++k;
        for (; k < end && cols[k] < hi; ++k) {
          if (k + AHEAD < nnz) __builtin_prefetch(&tp[own(cols[k + AHEAD], lo, width) + 2], 1);
          ++tp[cols[k] + 2];
        }
      }
    }
  };
  parallel_for_ranges(pieces, count);
  for (std::uint64_t j = 2; j < n + 2; ++j) tp[j] += tp[j - 1];
  // Rebalance by entries: piece p starts at the first column whose row of
  // A^T starts at or after p / pieces of the entries.
  for (std::uint64_t p = 1, c = 0; p < pieces; ++p) {
    const std::uint64_t target = nnz / pieces * p;
    while (c < n && tp[c + 1] < target) ++c;
    bounds[p] = c;
  }
  auto scatter = [=](std::size_t first, std::size_t last) {
    for (std::uint64_t p = first; p < last; ++p) {
      const std::uint64_t lo = piece_bounds[p], hi = piece_bounds[p + 1], width = hi - lo;
      // Rows of A are walked upward, so each row of A^T gets ascending columns.
      for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t k = ptrs[i] - base;
        const std::uint64_t end = ptrs[i + 1] - base;
        while (k < end && cols[k] < lo) ++k;
        for (; k < end && cols[k] < hi; ++k) {
          // Only the counter is requested ahead: reading it early to find
          // the slot would wait for it here.
          if (k + AHEAD < nnz) __builtin_prefetch(&tp[own(cols[k + AHEAD], lo, width) + 1], 1);
          te[tp[cols[k] + 1]++] = {i, vals[k]};
        }
      }
    }
  };
  parallel_for_ranges(pieces, scatter);
  return SymmetrizedRows(graph, base, std::move(t_ptrs).value(), std::move(t_entries).value());
}

}  // namespace graphripple
