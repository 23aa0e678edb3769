// FitOptions: the settings of the extended fit beyond FitParams. Every
// default leaves the fit exactly as `fit(graph, params)` computes it.
// (Edge-weight transforms act on the graph itself: edge_weights.h.)
#pragma once

#include <cstdint>
#include <optional>

namespace graphripple {

/// Which graph is propagated in a directed fit.
enum class Direction {
  out,   ///< A: row i averages node i's successors
  in,    ///< A^T: row i averages node i's predecessors
  both,  ///< 2 * dim columns: the out-embedding, then the in-embedding
};

/// How the weighted terms w_i * X(i) make the result.
enum class Combine {
  sum,     ///< dim columns per direction: the sum of the terms
  concat,  ///< dim columns per term with a non-zero weight, side by side in
           ///< ascending i; each block holds the bytes of the fit with that
           ///< single weight
};

/// The order a fit keeps its rows in while it propagates. Only the speed
/// depends on it: the bytes of the result are the same in every order.
enum class RowOrdering {
  automatic,  ///< the locality order where it pays (locality_order.h)
  stored,     ///< the caller's order
  locality,   ///< the locality order whenever rows are propagated
};

/// Added (modulo 2**64) to the seed of the in-half of a Direction::both
/// fit, so that its starting matrix is independent of the out-half's.
inline constexpr std::uint64_t DIRECTION_SEED_OFFSET = 0xD1B54A32D192ED03ull;

struct FitOptions {
  /// Columns [start, stop) of the full embedding (total_columns in fit.h:
  /// dim, times the terms for Combine::concat, times 2 for
  /// Direction::both); absent: all.
  /// The bits equal those columns of the full fit (without normalisation).
  std::optional<std::uint64_t> column_start, column_stop;
  /// Scale every propagated row to unit Euclidean norm (normalize_row)
  /// before it is accumulated and propagated further.
  bool normalize = false;
  /// Starting row i scaled by f32(deg(i) ** degree_exponent); 0.0: off.
  double degree_exponent = 0.0;
  Direction direction = Direction::out;
  Combine combine = Combine::sum;
  /// The order the rows are propagated in (never the bytes).
  RowOrdering row_order = RowOrdering::automatic;
};

}  // namespace graphripple
