// CsrGraph from a dense adjacency matrix: element (r, c) != 0.0 is the edge
// r -> c with that weight.
//
// - Elements are addressed through (row, column) and the strides, so
//   row-major, column-major and reversed layouts give the same graph.
// - The zero test is IEEE inequality: NaN is an edge, +0.0 and -0.0 are not.
// - The matrix is read twice, once to count and once to fill, so the graph
//   arrays are reserved once at their final size and memory grows with the
//   number of edges, not with n^2.
#include <cstdint>

#include "csr/csr_graph.h"
#include "error/fallible_alloc.h"

namespace graphripple {

Expected<CsrGraph> CsrGraph::from_dense(const MatrixViewF64& matrix) {
  // Public contract: callers match this message; keep it exactly.
  if (matrix.rows != matrix.cols) return EmbeddingError::shape_mismatch("Adjacency matrix must be square");
  const std::uint64_t n = matrix.rows;

  CsrGraph graph;
  graph.num_nodes = n;
  if (Status reserved = try_reserve(graph.row_ptrs, n + 1); !reserved) return std::move(reserved).error();

  std::uint64_t count = 0;
  for (std::uint64_t r = 0; r < n; ++r)
    for (std::uint64_t c = 0; c < n; ++c) count += matrix.at(r, c) != 0.0;

  if (count > 0) {
    if (Status reserved = try_reserve(graph.col_indices, count); !reserved) return std::move(reserved).error();
    if (Status reserved = try_reserve(graph.values, count); !reserved) return std::move(reserved).error();
  }

  // Ascending columns and at most one entry per element: every row comes
  // out strictly increasing, so no canonicalisation is needed.
  graph.row_ptrs.push_back(0);
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t c = 0; c < n; ++c) {
      const double x = matrix.at(r, c);
      if (x != 0.0) {
        graph.col_indices.push_back(c);
        graph.values.push_back(x);
      }
    }
    graph.row_ptrs.push_back(graph.col_indices.size());
  }
  return graph;
}

}  // namespace graphripple
