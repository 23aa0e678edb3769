// The fit pipeline: symmetrise, draw X0, then accumulate and propagate once
// per weight.
//
// Scheduling differs from the plain loop only where the bytes cannot change:
// - `next` is overwritten row by row inside the propagation task instead of
//   being cleared in a separate pass;
// - the accumulation of X(i+1) is fused into the task that computes row r of
//   X(i+1) (the accumulator row is only touched by that task);
// - edge scales f32(value) * (1 / f32(deg)) are computed once per fit, and
//   for an undirected fit straight from the merged rows of A + A^T, which
//   are never stored as a graph of their own;
// - the first accumulation stores (x * w) + 0.0f instead of reading the
//   all-zero accumulator.
#include "algorithm/fit.h"

#include <optional>

#include "algorithm/initial_embedding.h"
#include "algorithm/kernels.h"

namespace graphripple {

namespace {

// The 64-bit zero test decides whether a weight is accumulated at all: NaN
// counts as non-zero, and a tiny weight that rounds to 0.0f is still
// applied (turning infinities into NaN).
bool accumulates(double weight) { return weight != 0.0; }

}  // namespace

Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params) {
  const std::vector<double>& weights = params.weights;
  const bool propagates = weights.size() >= 2;
  // Undirected: the rows of A + A^T go straight into the transition, so
  // the symmetrised graph is never stored as 16-byte entries. Validation
  // and its errors come first, as for a stored symmetrisation.
  std::optional<TransitionMatrix> transition;
  if (params.undirected) {
    auto rows = SymmetrizedRows::prepare(graph);
    if (!rows) return std::move(rows).error();
    if (propagates) {
      auto merged = TransitionMatrix::from_symmetrized(rows.value());
      if (!merged) return std::move(merged).error();
      transition.emplace(std::move(merged).value());
    }
  }
  const std::uint64_t n = graph.num_nodes;
  const std::uint64_t dim = params.dim;

  std::optional<MatrixViewF64> features;
  if (params.node_features) features = params.node_features->view();
  auto initial = initial_embedding(n, dim, params.seed, features ? &*features : nullptr, params.feature_weight);
  if (!initial) return std::move(initial).error();
  MatrixF32 current = std::move(initial).value();

  auto accumulator_result = MatrixF32::try_zeroed(n, dim);
  if (!accumulator_result) return std::move(accumulator_result).error();
  MatrixF32 accumulator = std::move(accumulator_result).value();

  // Mapped lazily from zero pages: costs no memory until a propagation runs.
  auto next_result = MatrixF32::try_zeroed(n, dim);
  if (!next_result) return std::move(next_result).error();
  MatrixF32 next = std::move(next_result).value();

  if (weights.empty()) return accumulator;
  // Until the first accumulation the accumulator is untouched zero pages.
  bool accumulator_fresh = true;
  if (accumulates(weights[0])) {
    accumulate(accumulator, current, static_cast<float>(weights[0]), accumulator_fresh);
    accumulator_fresh = false;
  }
  if (weights.size() == 1) return accumulator;

  if (!transition) {
    auto built = TransitionMatrix::from_graph(graph);
    if (!built) return std::move(built).error();
    transition.emplace(std::move(built).value());
  }

  for (std::size_t i = 1; i < weights.size(); ++i) {
    const bool fused = accumulates(weights[i]);
    propagate(next, *transition, current, fused ? &accumulator : nullptr, static_cast<float>(weights[i]),
              accumulator_fresh);
    if (fused) accumulator_fresh = false;
    std::swap(current, next);
  }
  return accumulator;
}

}  // namespace graphripple
