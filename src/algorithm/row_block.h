// Row blocks: the engine's pieces for a fit whose rows are split among
// workers, each computing its own block of rows with the bytes of the
// whole-graph fit.
//
// A block owns the rows [first, first + count) of the embedding. Its graph
// is a small CsrGraph over the "gathered" nodes: the block's own nodes and
// every peer node an edge of an own row names, in ascending node id, so a
// gathered index compares like the node id it stands for. It holds every
// edge the block's rows of the transition are made of, each edge once, in
// the order the edges were given within a row, so canonicalisation sums
// repeated edges exactly as the whole graph's does:
// - out (directed): the out-edges of the own nodes;
// - in: the in-edges of the own nodes;
// - undirected: both (an edge between two own nodes once); row i of the
//   symmetrised block graph, for an own node i, is then row i of A + A^T.
// Propagation reads a matrix of the gathered nodes' rows: the block's own
// rows of X(k) with the rows its peers sent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "algorithm/dense_matrix.h"
#include "algorithm/fit_options.h"
#include "csr/csr_graph.h"
#include "csr/matrix_f64.h"
#include "error/expected.h"

namespace graphripple {

/// The block's rows of the transition: row_ptrs (count + 1, from 0),
/// gathered column indices and the scales of the whole graph's transition.
struct RowBlockTransition {
  std::vector<std::uint64_t> row_ptrs;
  std::vector<std::uint64_t> columns;
  std::vector<float> scales;
};

/// The block graph of `gathered` nodes from edges source -> target (gathered
/// indices, all below `gathered`) with their weights, in input order:
/// grouped by source with a stable counting sort, then validated and
/// canonicalised as CsrGraph::from_csr does.
Expected<CsrGraph> row_block_graph(std::uint64_t gathered, std::span<const std::uint64_t> sources,
                                   std::span<const std::uint64_t> targets, std::span<const double> weights);

/// Rows [first, first + count) (gathered indices) of the transition of the
/// block graph: of A + A^T when undirected, else of A or A^T by direction.
Expected<RowBlockTransition> row_block_transition(const CsrGraph& graph, std::uint64_t first, std::uint64_t count,
                                                  bool undirected, Direction direction);

/// Rows [first_row, first_row + rows) of X0 (a seed is required; features,
/// when given, hold those rows), scaled by f32(deg ** degree_exponent)
/// when degree_exponent != 0 (row_ptrs: the block's transition rows).
Expected<MatrixF32> row_block_start(std::uint64_t first_row, std::uint64_t rows, std::uint64_t dim,
                                    std::uint64_t seed, const MatrixViewF64* node_features, double feature_weight,
                                    const std::uint64_t* row_ptrs, double degree_exponent);

}  // namespace graphripple
