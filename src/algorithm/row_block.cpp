// Row blocks: built from the whole-graph fit's own stages (from_csr's
// validation and canonicalisation, the transition builders, the starting
// matrix and degree scaling), applied to the block graph, so that every
// own row comes out with the whole graph's bits.
#include "algorithm/row_block.h"

#include <limits>

#include "algorithm/fit.h"
#include "algorithm/initial_embedding.h"
#include "algorithm/kernels.h"
#include "csr/symmetrized_rows.h"
#include "error/fallible_alloc.h"
#include "error/internal_fault.h"

namespace graphripple {

Expected<CsrGraph> row_block_graph(std::uint64_t gathered, std::span<const std::uint64_t> sources,
                                   std::span<const std::uint64_t> targets, std::span<const double> weights) {
  fault_unless(sources.size() == targets.size() && sources.size() == weights.size(),
               "row_block_graph: edge arrays differ in length");
  fault_unless(gathered < std::numeric_limits<std::uint64_t>::max(), "row_block_graph: too many nodes");
  const std::uint64_t nnz = sources.size();
  std::vector<std::uint64_t> row_ptrs, col_indices;
  std::vector<double> values;
  if (auto status = try_reserve(row_ptrs, gathered + 1); !status) return std::move(status).error();
  if (auto status = try_reserve(col_indices, nnz); !status) return std::move(status).error();
  if (auto status = try_reserve(values, nnz); !status) return std::move(status).error();
  row_ptrs.assign(gathered + 1, 0);
  for (std::uint64_t source : sources) {
    fault_unless(source < gathered, "row_block_graph: source outside the block graph");
    ++row_ptrs[source + 1];
  }
  for (std::uint64_t i = 0; i < gathered; ++i) row_ptrs[i + 1] += row_ptrs[i];
  // Stable: within a row the edges keep their input order, which is the
  // order canonicalisation sums repeated edges in.
  std::vector<std::uint64_t> cursor;
  if (auto status = try_reserve(cursor, gathered); !status) return std::move(status).error();
  cursor.assign(row_ptrs.begin(), row_ptrs.end() - 1);
  col_indices.resize(nnz);
  values.resize(nnz);
  for (std::uint64_t k = 0; k < nnz; ++k) {
    const std::uint64_t at = cursor[sources[k]]++;
    col_indices[at] = targets[k];
    values[at] = weights[k];
  }
  return CsrGraph::from_csr(std::move(row_ptrs), std::move(col_indices), std::move(values), gathered);
}

Expected<RowBlockTransition> row_block_transition(const CsrGraph& graph, std::uint64_t first, std::uint64_t count,
                                                  bool undirected, Direction direction) {
  fault_unless(first <= graph.num_nodes && count <= graph.num_nodes - first,
               "row_block_transition: rows outside the block graph");
  std::optional<TransitionMatrix> built;
  if (undirected) {
    auto rows = SymmetrizedRows::prepare(graph);
    if (!rows) return std::move(rows).error();
    auto merged = TransitionMatrix::from_symmetrized(rows.value());
    if (!merged) return std::move(merged).error();
    built.emplace(std::move(merged).value());
  } else {
    auto plain = direction == Direction::in ? TransitionMatrix::from_transposed(graph)
                                            : TransitionMatrix::from_graph(graph);
    if (!plain) return std::move(plain).error();
    built.emplace(std::move(plain).value());
  }
  const TransitionMatrix& t = *built;
  const std::uint64_t lo = t.row_ptrs[first], hi = t.row_ptrs[first + count];
  RowBlockTransition block;
  if (auto status = try_reserve(block.row_ptrs, count + 1); !status) return std::move(status).error();
  if (auto status = try_reserve(block.columns, hi - lo); !status) return std::move(status).error();
  if (auto status = try_reserve(block.scales, hi - lo); !status) return std::move(status).error();
  for (std::uint64_t i = 0; i <= count; ++i) block.row_ptrs.push_back(t.row_ptrs[first + i] - lo);
  for (std::uint64_t k = lo; k < hi; ++k) {
    block.columns.push_back(t.wide_cols != nullptr ? t.wide_cols[k] : std::uint64_t{t.narrow_cols[k]});
    block.scales.push_back(t.scales[k]);
  }
  return block;
}

Expected<MatrixF32> row_block_start(std::uint64_t first_row, std::uint64_t rows, std::uint64_t dim,
                                    std::uint64_t seed, const MatrixViewF64* node_features, double feature_weight,
                                    const std::uint64_t* row_ptrs, double degree_exponent) {
  auto start = initial_embedding_columns(rows, 0, dim, seed, node_features, feature_weight, first_row);
  if (!start || degree_exponent == 0.0) return start;
  fault_unless(row_ptrs != nullptr, "row_block_start: degree scaling needs the block's rows");
  MatrixF32 x0 = std::move(start).value();
  TransitionMatrix degrees;  // only its row starts are read
  degrees.row_ptrs = row_ptrs;
  degrees.num_nodes = rows;
  if (auto status = scale_by_degree(x0, degrees, degree_exponent); !status) return std::move(status).error();
  return x0;
}

}  // namespace graphripple
