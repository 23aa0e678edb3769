// A row order that keeps neighbouring nodes close together in memory.
//
// A propagation gathers, for every row, the rows of its neighbours. When the
// caller's node ids are scattered (shuffled ids, hashed labels) nearly every
// gather misses the cache; renumbering the rows so that neighbours sit near
// each other turns many of those misses into hits. Only the speed depends on
// the order: row k of the reordered transition is the caller's row
// old_of[k] with its entries in their stored order, its starting row is drawn
// from the caller's index, and finished rows are written back to the
// caller's positions, so every row is computed from the same terms in the
// same order and the bytes cannot change.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "algorithm/fit_options.h"
#include "algorithm/kernels.h"
#include "error/expected.h"

namespace graphripple {

/// A permutation of the rows of a graph and its inverse.
struct RowOrder {
  std::vector<std::uint64_t> old_of;  ///< row k of the order is the caller's row old_of[k]
  std::vector<std::uint64_t> new_of;  ///< the caller's row i is row new_of[i] of the order
};

/// A fit reorders only when a matrix of the propagated rows takes at least
/// this many bytes: smaller ones stay in the processor's caches anyway.
inline constexpr std::uint64_t LOCALITY_MIN_MATRIX_BYTES = std::uint64_t{64} << 20;

/// The transition renumbered by `order`: row k is row old_of[k] with its
/// scales and its entries in stored order, each column c becoming
/// new_of[c]. Owns all its arrays.
Expected<TransitionMatrix> reorder_transition(const TransitionMatrix& transition, const RowOrder& order);

/// The order a fit propagating `width` columns uses: for
/// RowOrdering::automatic none when it would not pay (the matrices fit in
/// cache, or a sample shows the stored order already local or the cluster
/// order no more local than it), the cluster order otherwise; none for
/// RowOrdering::stored; the cluster order for RowOrdering::locality. The
/// cluster order grows one cluster after another, each from the lowest
/// unplaced row: the root's neighbours join at once, then, in the order
/// rows joined, every unplaced row that two of the cluster's rows link to
/// (each row's columns in stored order). None on exhausted memory: the
/// order is optional.
std::optional<RowOrder> choose_locality_order(const TransitionMatrix& transition, std::uint64_t width,
                                              RowOrdering ordering);

}  // namespace graphripple
