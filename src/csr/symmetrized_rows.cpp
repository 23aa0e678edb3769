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
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "csr/csr_graph.h"
#include "csr/symmetrized_rows.h"
#include "error/fallible_alloc.h"

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

// The merge below relies on exactly these properties. The tests run in a
// fixed order; the first failure is reported.
Status validate_structure(const CsrGraph& graph) {
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
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t begin = row_ptrs[i] - base;
    const std::uint64_t end = row_ptrs[i + 1] - base;
    for (std::uint64_t k = begin + 1; k < end; ++k)
      if (col_indices[k - 1] >= col_indices[k])
        return structure_error(StructureKind::Unsorted, "Indices are not sorted");
    // Columns strictly increase, so the last one is the row's largest.
    if (end > begin && col_indices[end - 1] >= n)
      return structure_error(StructureKind::OutOfRange, "Indice is larger than inner dimension");
  }
  return Status::ok();
}

}  // namespace

Expected<SymmetrizedRows> SymmetrizedRows::prepare(const CsrGraph& graph) {
  if (Status valid = validate_structure(graph); !valid) return std::move(valid).error();
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

}  // namespace graphripple
