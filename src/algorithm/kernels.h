// Row kernels of the engine: the scaled row update, propagation by the
// row-normalised transition matrix, and accumulation.
//
// Every element gets a rounded float32 product followed by a rounded float32
// sum (never a fused multiply-add), in a fixed order, so results are
// bitwise identical on any thread count and on every SIMD path.
#pragma once

#include <cstdint>
#include <vector>

#include "algorithm/dense_matrix.h"
#include "csr/csr_graph.h"
#include "csr/symmetrized_rows.h"

namespace graphripple {

/// A row of floats with its own stride (in elements).
struct RowView {
  float* data;
  std::uint64_t length;
  std::int64_t stride = 1;
};
struct ConstRowView {
  const float* data;
  std::uint64_t length;
  std::int64_t stride = 1;
};

/// dst[j] = (src[j] * s) + dst[j] for every j; rows must not overlap.
void add_scaled_row(RowView dst, ConstRowView src, float s);
/// Unit-stride form, dispatched at run time to the widest SIMD path.
void add_scaled_row(float* dst, const float* src, float s, std::uint64_t length);

namespace detail {
/// The element-by-element definition; the SIMD paths are tested against it.
void add_scaled_row_scalar(float* dst, const float* src, float s, std::uint64_t length);
void add_scaled_row_sse2(float* dst, const float* src, float s, std::uint64_t length);
void add_scaled_row_avx2(float* dst, const float* src, float s, std::uint64_t length);
bool cpu_has_avx2();
/// Test switch: make the TransitionMatrix propagation take its portable
/// path even where AVX2 is available.
void set_force_portable_propagation(bool force);
bool force_portable_propagation();
}  // namespace detail

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
};

/// next = T * current. `next` must be all 0.0 on entry.
void propagate(MatrixF32& next, const CsrGraph& graph, const MatrixF32& current);

/// next = T * current, overwriting `next` (no clearing needed). When
/// `accumulator` is given, each finished row r is also accumulated:
/// accumulator[r] += next[r] * weight, exactly as `accumulate` would.
/// `accumulator_fresh` promises the accumulator is still all +0.0, so its
/// rows are written without being read first (same bits, one page fault
/// fewer on fresh memory).
void propagate(MatrixF32& next, const TransitionMatrix& transition, const MatrixF32& current,
               MatrixF32* accumulator, float accumulate_weight, bool accumulator_fresh = false);

/// accumulator[r] += current[r] * w for every row r; with
/// `accumulator_fresh` (all +0.0) the rows are written without being read.
void accumulate(MatrixF32& accumulator, const MatrixF32& current, float w, bool accumulator_fresh = false);

}  // namespace graphripple
