// The row-normalised transition matrix T of a fit, built once and read by
// every propagation.
//
// - Each stored entry keeps one float32 scale, f32(value) * (1 / f32(deg)),
//   rounded exactly so on every build path (direct, A + A^T merged from
//   SymmetrizedRows, A^T by counting sort), so the propagations read 8 bytes
//   per entry and never depend on how T was built.
// - Columns are 32-bit where the node count allows it.
// - Builds run on the worker pool; the serial build of A + A^T is the
//   reference the pool build is tested against.
#pragma once

#include <cstdint>
#include <vector>

#include "csr/csr_graph.h"
#include "csr/symmetrized_rows.h"
#include "error/expected.h"

namespace graphripple {

/// The scale of every stored entry: f32(value) * (1 / f32(deg(row))).
/// Built once per fit so each propagation reads 8 bytes per entry
/// instead of recomputing from the 16-byte graph entries.
struct TransitionMatrix {
  const std::uint64_t* row_ptrs = nullptr;  ///< the graph's, or owned_row_ptrs
  std::uint64_t num_nodes = 0;
  std::vector<std::uint32_t> narrow_cols;    ///< columns, when num_nodes <= 2^32
  const std::uint64_t* wide_cols = nullptr;  ///< columns otherwise
  std::vector<float> scales;
  std::vector<std::uint64_t> owned_row_ptrs;
  std::vector<std::uint64_t> owned_wide_cols;

  /// Borrows `graph`, which must outlive the result.
  static Expected<TransitionMatrix> from_graph(const CsrGraph& graph);
  /// The transition of A + A^T, merged straight from `rows` (same scales as
  /// from_graph of the symmetrised graph); owns all its arrays.
  static Expected<TransitionMatrix> from_symmetrized(const SymmetrizedRows& rows);
  /// The transition of A^T (row i: the predecessors of node i, ascending,
  /// with A's stored weights; zero weights kept), by counting sort; owns
  /// all its arrays.
  static Expected<TransitionMatrix> from_transposed(const CsrGraph& graph);

  /// Entries stored in row i.
  std::uint64_t degree(std::uint64_t i) const { return row_ptrs[i + 1] - row_ptrs[i]; }
};

namespace detail {
/// TransitionMatrix::from_symmetrized on the calling thread alone, row by
/// row: the reference the pool build is tested against.
Expected<TransitionMatrix> symmetrized_transition_serial(const SymmetrizedRows& rows);
}  // namespace detail

namespace detail {
/// The reciprocal of a row's entry count, once per row in float32 (0 for an
/// empty row): the one rounding every build and the graph propagation share.
inline float inverse_degree(std::uint64_t start, std::uint64_t end) {
  return end == start ? 0.0f : 1.0f / static_cast<float>(end - start);
}
}  // namespace detail

}  // namespace graphripple
