// SymmetrizedRows: the rows of A + A^T, merged one at a time on demand.
//
// `prepare` re-validates the graph and builds A^T by counting sort;
// `merge_row` then merges row i of A with row i of A^T. The engine consumes
// the merged rows directly, without materialising the 16-byte entries of a
// symmetric graph that it would only convert.
// - A value stored in one direction only becomes x + 0.0; one stored in both
//   becomes left + right (one IEEE addition). Values equal to 0.0 (either
//   sign) are dropped, NaN is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "csr/csr_graph.h"
#include "error/expected.h"
#include "error/fallible_alloc.h"

namespace graphripple {

class SymmetrizedRows {
 public:
  struct TransposedEntry {
    std::uint64_t column;
    double weight;
  };

  /// Workers from which the transpose and the merged transition are built
  /// on the pool. With two workers on a two-core machine both measured
  /// slower than one thread (each piece repeats the sequential walk, and the
  /// pieces are copied into place), so smaller pools build on one thread.
  static constexpr std::size_t POOL_MIN_THREADS = 4;

  /// Validates `graph` (which must outlive the result) and transposes it,
  /// on the worker pool when it has at least POOL_MIN_THREADS workers.
  static Expected<SymmetrizedRows> prepare(const CsrGraph& graph);
  /// The same on the calling thread alone: the reference `prepare` is
  /// tested against (same errors, same rows).
  static Expected<SymmetrizedRows> prepare_serial(const CsrGraph& graph);

  std::uint64_t num_nodes() const { return graph_->num_nodes; }
  /// Upper bound on the merged entries: nnz(A) + nnz(A^T).
  std::uint64_t max_entries() const { return 2 * graph_->col_indices.size(); }

  /// Entries of A and A^T in rows before i: an upper bound on the merged
  /// entries of those rows, non-decreasing in i (i <= num_nodes).
  std::uint64_t entries_before(std::uint64_t i) const { return graph_->row_ptrs[i] - base_ + t_ptrs_[i]; }

  /// Calls emit(column, value) for every kept entry of row i, ascending.
  template <class Emit>
  void merge_row(std::uint64_t i, Emit&& emit) const {
    const std::uint64_t* cols = graph_->col_indices.data();
    const double* vals = graph_->values.data();
    const TransposedEntry* te = t_entries_.data();
    std::uint64_t a = graph_->row_ptrs[i] - base_;
    const std::uint64_t a_end = graph_->row_ptrs[i + 1] - base_;
    std::uint64_t b = t_ptrs_[i];
    const std::uint64_t b_end = t_ptrs_[i + 1];
    while (a < a_end || b < b_end) {
      std::uint64_t column;
      double value;
      if (b == b_end || (a < a_end && cols[a] < te[b].column)) {
        column = cols[a];
        value = vals[a++] + 0.0;
      } else if (a == a_end || te[b].column < cols[a]) {
        column = te[b].column;
        value = te[b++].weight + 0.0;
      } else {
        column = cols[a];
        value = vals[a++] + te[b++].weight;
      }
      if (value != 0.0) emit(column, value);
    }
  }

 private:
  SymmetrizedRows(const CsrGraph& graph, std::uint64_t base, LargeBuffer<std::uint64_t> t_ptrs,
                  LargeBuffer<TransposedEntry> t_entries)
      : graph_(&graph), base_(base), t_ptrs_(std::move(t_ptrs)), t_entries_(std::move(t_entries)) {}

  const CsrGraph* graph_;
  // The structure test admits a row_ptrs that does not start at 0 (it only
  // checks the span last - first), so rows are read relative to its first
  // element; reading the raw offsets would run past the arrays.
  std::uint64_t base_;
  LargeBuffer<std::uint64_t> t_ptrs_;  ///< A^T's row starts, n + 1 used
  LargeBuffer<TransposedEntry> t_entries_;
};

}  // namespace graphripple
