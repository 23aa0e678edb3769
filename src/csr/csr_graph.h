// CsrGraph: the one internal form of a graph.
//
// Row i holds the out-edges of node i. Invariants of every graph built here:
//   1. row_ptrs has num_nodes + 1 elements, starts at 0, never decreases,
//      and ends at nnz;
//   2. col_indices and values have nnz elements;
//   3. every column is below num_nodes;
//   4. within a row the columns strictly increase.
// Weights are never examined: zero, negative, infinite and NaN weights are
// ordinary entries until symmetrisation drops the zero sums.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "csr/matrix_f64.h"
#include "error/expected.h"

namespace graphripple {

/// One node's out-edges as (target, weight) pairs, in the caller's order.
using AdjacencyRow = std::vector<std::pair<std::uint64_t, double>>;
using AdjacencyList = std::vector<AdjacencyRow>;

struct CsrGraph {
  std::vector<std::uint64_t> row_ptrs;
  std::vector<std::uint64_t> col_indices;
  std::vector<double> values;
  std::uint64_t num_nodes = 0;

  std::uint64_t nnz() const { return col_indices.size(); }

  /// Validates caller arrays (taken by move, not copied), then canonicalises.
  static Expected<CsrGraph> from_csr(std::vector<std::uint64_t> row_ptrs,
                                     std::vector<std::uint64_t> col_indices,
                                     std::vector<double> values, std::uint64_t num_nodes);
  /// Element (r, c) != 0.0 becomes the edge r -> c; NaN counts as non-zero.
  static Expected<CsrGraph> from_dense(const MatrixViewF64& matrix);
  /// Inner list i holds node i's out-edges; repeated targets are summed.
  static Expected<CsrGraph> from_adj_list(AdjacencyList adj_list);

  /// Sorts each row by column and sums repeated columns. Allocates nothing
  /// when every row is already strictly increasing. Needs invariants 1-3.
  Status canonicalize();
};

}  // namespace graphripple
