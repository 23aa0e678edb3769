// CsrGraph from an adjacency list: inner list i holds node i's out-edges as
// (target, weight) pairs, in the caller's order.
//
// - The pairs are counted first so col_indices and values are reserved once
//   at their final size.
// - Each inner list is released as soon as it has been copied, so the input
//   and the graph are never both held whole.
// - Rows are then sorted and repeated targets summed by canonicalize.
#include <cstdint>
#include <string>
#include <utility>

#include "csr/csr_graph.h"
#include "error/fallible_alloc.h"

namespace graphripple {

Expected<CsrGraph> CsrGraph::from_adj_list(AdjacencyList adj_list) {
  const std::uint64_t n = adj_list.size();

  CsrGraph graph;
  graph.num_nodes = n;
  if (Status reserved = try_reserve(graph.row_ptrs, n + 1); !reserved) return std::move(reserved).error();

  std::uint64_t total = 0;
  for (const AdjacencyRow& row : adj_list) total += row.size();
  if (total > 0) {
    if (Status reserved = try_reserve(graph.col_indices, total); !reserved) return std::move(reserved).error();
    if (Status reserved = try_reserve(graph.values, total); !reserved) return std::move(reserved).error();
  }

  graph.row_ptrs.push_back(0);
  for (AdjacencyRow& row : adj_list) {
    for (const auto& [target, weight] : row) {
      // Public contract: callers match this message; keep it exactly.
      if (target >= n)
        return EmbeddingError::shape_mismatch("Target node ID " + std::to_string(target) +
                                              " is out of bounds for graph with " + std::to_string(n) +
                                              " nodes");
      graph.col_indices.push_back(target);
      graph.values.push_back(weight);
    }
    graph.row_ptrs.push_back(graph.col_indices.size());
    AdjacencyRow().swap(row);  // frees the list's storage, not just its size
  }

  if (Status sorted = graph.canonicalize(); !sorted) return std::move(sorted).error();
  return graph;
}

}  // namespace graphripple
