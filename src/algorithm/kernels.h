// Row kernels of the engine: the scaled row update, propagation by the
// row-normalised transition matrix (built in transition.h), and accumulation.
//
// Every element gets a rounded float32 product followed by a rounded float32
// sum (never a fused multiply-add), in a fixed order, so results are
// bitwise identical on any thread count and on every SIMD path.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "algorithm/dense_matrix.h"
#include "algorithm/transition.h"
#include "csr/csr_graph.h"

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
/// normalize_row element by element; the AVX2 form is tested against it.
void normalize_row_scalar(float* row, std::uint64_t length);
void normalize_row_avx2(float* row, std::uint64_t length);
/// Steps 2 and 3 to 5 of normalize_row, for callers that formed the
/// sixteen partial sums of step 1 themselves (the propagation does, from
/// its registers).
float fold_partial_sums(float (&partial)[16]);
void scale_to_unit_avx2(float* row, std::uint64_t length, float total);
/// Test switch: make the TransitionMatrix propagation take its portable
/// path even where AVX2 is available.
void set_force_portable_propagation(bool force);
bool force_portable_propagation();
}  // namespace detail

/// next = T * current. `next` must be all 0.0 on entry.
void propagate(MatrixF32& next, const CsrGraph& graph, const MatrixF32& current);

/// How a finished row p of a propagation enters the accumulator.
enum class AccumulateMode {
  add,       ///< accumulator[r] = (p * weight) + accumulator[r]
  store,     ///< accumulator[r] = (p * weight) + 0.0f, not read first
  deferred,  ///< accumulator[r] = (p * weight) + ((deferred[r] * deferred_weight) + 0.0f), not read first
};

/// What one propagation does with each finished row p = T * current[r].
/// With `normalize`, p is first scaled to unit Euclidean norm
/// (normalize_row); stored and accumulated rows are the scaled ones.
struct PropagationOutput {
  MatrixF32* next = nullptr;         ///< p is stored here; null: not stored
  MatrixF32* accumulator = nullptr;  ///< null: not accumulated
  float weight = 0.0f;
  AccumulateMode mode = AccumulateMode::add;
  const MatrixF32* deferred = nullptr;  ///< for AccumulateMode::deferred
  float deferred_weight = 0.0f;
  bool normalize = false;
  /// Row r is accumulated into accumulator row output_rows[r] (a
  /// permutation; null: row r). `next` and `deferred` keep row r.
  const std::uint64_t* output_rows = nullptr;
};

/// One propagation by `transition`, rows on the worker pool. `current` must
/// not be the accumulator or `next`; `deferred` may be `current`.
void propagate(const TransitionMatrix& transition, const MatrixF32& current, const PropagationOutput& output);

/// PropagationOutput over caller-owned row-major arrays of
/// transition.num_nodes x dim floats (each may be null).
struct RowBlockOutput {
  float* next = nullptr;
  float* accumulator = nullptr;
  float weight = 0.0f;
  AccumulateMode mode = AccumulateMode::add;
  const float* deferred = nullptr;
  float deferred_weight = 0.0f;
  bool normalize = false;
  const std::uint64_t* output_rows = nullptr;
};

/// The same propagation for a block of rows: the transition's rows are the
/// block's, and column c names the row source[c] (dim floats), e.g. the
/// block's own rows followed by the rows it received from its peers, each
/// in arrays of their own. Each row is computed exactly as propagate
/// computes it. Outputs must not overlap the source rows.
void propagate_block(const TransitionMatrix& transition, std::span<const float* const> source, std::uint64_t dim,
                     const RowBlockOutput& output);

/// next = T * current, overwriting `next` (no clearing needed). When
/// `accumulator` is given, each finished row r is also accumulated:
/// accumulator[r] += next[r] * weight, exactly as `accumulate` would.
/// `accumulator_fresh` promises the accumulator is still all +0.0, so its
/// rows are written without being read first (same bits, one page fault
/// fewer on fresh memory).
void propagate(MatrixF32& next, const TransitionMatrix& transition, const MatrixF32& current,
               MatrixF32* accumulator, float accumulate_weight, bool accumulator_fresh = false);

/// Scales `row` to unit Euclidean norm in a fixed order, the same on every
/// path and thread count:
///   1. sixteen partial sums, element j going to sum j mod 16 in ascending
///      j, each square and each sum rounded to float32;
///   2. the partials folded in halves: s[l] + s[l + 8] for l < 8, then
///      + s[l + 4] for l < 4, then + s[l + 2] for l < 2, then s[0] + s[1];
///   3. if that total is a normal float: row[j] = row[j] * (1.0f / sqrt(total)),
///      the square root and the division each rounded to float32;
///   4. a row of zeros (either sign) is left unchanged; a total that is NaN
///      (a NaN element) makes the row NaN through the same product;
///   5. a total that overflowed or underflowed: every element is first
///      divided by the largest magnitude m (an infinite m turns the row NaN),
///      then steps 1 to 3 run on the quotients.
void normalize_row(float* row, std::uint64_t length);

/// matrix[r] = (matrix[r] * w) + 0.0f for every row, in place.
void scale_rows(MatrixF32& matrix, float w);

/// matrix[r] = matrix[r] * factors[r] for every row whose factor is not
/// 1.0f (skipped rows keep their bits).
void scale_each_row(MatrixF32& matrix, const std::vector<float>& factors);

/// accumulator[r] += current[r] * w for every row r; with
/// `accumulator_fresh` (all +0.0) the rows are written without being read.
/// With `output_rows` (a permutation) row r goes to accumulator row
/// output_rows[r].
void accumulate(MatrixF32& accumulator, const MatrixF32& current, float w, bool accumulator_fresh = false,
                const std::uint64_t* output_rows = nullptr);

}  // namespace graphripple
