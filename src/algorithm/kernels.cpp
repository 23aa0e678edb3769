// Propagation and accumulation, each one row-parallel loop.
//
// A row of the output is written by exactly one task and its terms are added
// in ascending storage order, so the bytes never depend on the split.
#include "algorithm/kernels.h"

#include <atomic>
#include <cstring>
#include <limits>

#include "algorithm/row_loop.h"
#include "error/fallible_alloc.h"
#include "pool/worker_pool.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define GRAPHRIPPLE_X86 1
#endif

namespace graphripple {

namespace detail {
namespace {
std::atomic<bool> g_force_portable{false};
}
// Relaxed: a test switch, set before the loops it affects start.
void set_force_portable_propagation(bool force) { g_force_portable.store(force, std::memory_order_relaxed); }
bool force_portable_propagation() { return g_force_portable.load(std::memory_order_relaxed); }
}  // namespace detail

namespace {

using RowKernel = void (*)(float*, const float*, float, std::uint64_t);

RowKernel select_row_kernel() {
  return detail::cpu_has_avx2() ? detail::add_scaled_row_avx2 : detail::add_scaled_row_sse2;
}

// How many entries ahead the neighbour rows are prefetched: enough to cover
// memory latency without overrunning the core's outstanding-miss slots
// (distances from 2 to 16 measured alike on 1M-node graphs).
constexpr std::uint64_t PREFETCH_DISTANCE = 4;

// Everything one propagation task reads and writes.
template <class Col>
struct PropagationArgs {
  const std::uint64_t* row_ptrs;
  const Col* cols;
  const float* scales;
  const float* current;
  const float* const* source_rows;  ///< row c of the source; null: current + c * dim
  std::uint64_t dim;
  float* next;         ///< null: the row is not stored
  float* accumulator;  ///< null: no fused accumulation
  float weight;
  AccumulateMode mode;
  const float* deferred;  ///< AccumulateMode::deferred only
  float deferred_weight;
  bool normalize;
  const std::uint64_t* output_rows;  ///< accumulator row of row r; null: r
};

// The accumulator row that row r of the propagation goes to.
template <class Col>
inline float* accumulator_row(const PropagationArgs<Col>& a, std::uint64_t r) {
  return a.accumulator + (a.output_rows != nullptr ? a.output_rows[r] : r) * a.dim;
}

// dst[j] = (src[j] * s) + 0.0f: the scaled row update onto a row known to be
// +0.0, without reading it.
void store_scaled_row(float* dst, const float* src, float s, std::uint64_t length) {
  for (std::uint64_t j = 0; j < length; ++j) {
    const float product = src[j] * s;
    dst[j] = product + 0.0f;
  }
}

// dst[j] = (src[j] * s) + ((first[j] * first_s) + 0.0f): a first
// accumulation of `first` and the next one of `src` in one pass, each
// element rounded exactly as the two separate passes round it.
void store_two_scaled_rows(float* dst, const float* src, float s, const float* first, float first_s,
                           std::uint64_t length) {
  for (std::uint64_t j = 0; j < length; ++j) {
    const float earlier = (first[j] * first_s) + 0.0f;
    const float product = src[j] * s;
    dst[j] = product + earlier;
  }
}

template <class Col>
void accumulate_row(const PropagationArgs<Col>& a, std::uint64_t r, const float* row, RowKernel kernel) {
  float* dst = accumulator_row(a, r);
  switch (a.mode) {
    case AccumulateMode::add:
      kernel(dst, row, a.weight, a.dim);
      break;
    case AccumulateMode::store:
      store_scaled_row(dst, row, a.weight, a.dim);
      break;
    case AccumulateMode::deferred:
      store_two_scaled_rows(dst, row, a.weight, a.deferred + r * a.dim, a.deferred_weight, a.dim);
      break;
  }
}

// The end of every row: normalise, then accumulate.
template <class Col>
void finish_row(const PropagationArgs<Col>& a, std::uint64_t r, float* row, RowKernel kernel) {
  if (a.normalize) normalize_row(row, a.dim);
  if (a.accumulator != nullptr) accumulate_row(a, r, row, kernel);
}

// Row c of the matrix being propagated: one matrix, or a block's own rows
// and the rows it received, which live in separate arrays.
template <class Col>
inline const float* source_row(const PropagationArgs<Col>& a, std::uint64_t c) {
  return a.source_rows != nullptr ? a.source_rows[c] : a.current + c * a.dim;
}

template <class Col>
void prefetch_row(const PropagationArgs<Col>& a, std::uint64_t k, std::uint64_t range_end) {
  if (k >= range_end) return;
  const char* row = reinterpret_cast<const char*>(source_row(a, a.cols[k]));
  for (std::uint64_t offset = 0; offset < a.dim * sizeof(float); offset += 64) __builtin_prefetch(row + offset);
}

// A row's own buffer when it is not stored in `next`: one per task range.
struct ScratchRow {
  std::vector<float> storage;
  float* get(std::uint64_t dim) {
    if (storage.size() < dim) storage.resize(dim);
    return storage.data();
  }
};

// Portable path: the row lives in memory (in `next` or a scratch row) and
// every entry adds one scaled neighbour row to it.
template <class Col>
void propagate_range_generic(const PropagationArgs<Col>& a, std::uint64_t lo, std::uint64_t hi, RowKernel kernel) {
  const std::uint64_t dim = a.dim;
  const std::uint64_t range_end = a.row_ptrs[hi];
  ScratchRow scratch;
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* dst = a.next != nullptr ? a.next + r * dim : scratch.get(dim);
    std::memset(dst, 0, dim * sizeof(float));
    const std::uint64_t end = a.row_ptrs[r + 1];
    for (std::uint64_t k = a.row_ptrs[r]; k < end; ++k) {
      prefetch_row(a, k + PREFETCH_DISTANCE, range_end);
      kernel(dst, source_row(a, a.cols[k]), a.scales[k], dim);
    }
    finish_row(a, r, dst, kernel);
  }
}

#ifdef GRAPHRIPPLE_X86
// Accumulates eight finished elements of row r, columns [column, column + 8),
// straight from a register.
template <class Col>
__attribute__((target("avx2"))) inline void accumulate_lanes_avx2(const PropagationArgs<Col>& a, std::uint64_t r,
                                                                   std::uint64_t column, __m256 sum) {
  float* dst = accumulator_row(a, r) + column;
  const __m256 product = _mm256_mul_ps(sum, _mm256_set1_ps(a.weight));
  switch (a.mode) {
    case AccumulateMode::add:
      _mm256_storeu_ps(dst, _mm256_add_ps(product, _mm256_loadu_ps(dst)));
      break;
    case AccumulateMode::store:
      _mm256_storeu_ps(dst, _mm256_add_ps(product, _mm256_setzero_ps()));
      break;
    case AccumulateMode::deferred: {
      const __m256 first = _mm256_mul_ps(_mm256_loadu_ps(a.deferred + r * a.dim + column),
                                         _mm256_set1_ps(a.deferred_weight));
      _mm256_storeu_ps(dst, _mm256_add_ps(product, _mm256_add_ps(first, _mm256_setzero_ps())));
      break;
    }
  }
}

// The same for one element.
template <class Col>
inline void accumulate_element(const PropagationArgs<Col>& a, std::uint64_t r, std::uint64_t column, float sum) {
  float* dst = accumulator_row(a, r) + column;
  const float product = sum * a.weight;
  switch (a.mode) {
    case AccumulateMode::add:
      *dst = product + *dst;
      break;
    case AccumulateMode::store:
      *dst = product + 0.0f;
      break;
    case AccumulateMode::deferred: {
      const float first = (a.deferred[r * a.dim + column] * a.deferred_weight) + 0.0f;
      *dst = product + first;
      break;
    }
  }
}

// AVX2 path: a block of up to 64 columns of the output row stays in eight
// registers while all of the row's entries are added into it, in entry
// order; the block starts at +0.0 exactly like the cleared row. Each
// element therefore sees the same rounded products and sums as the
// portable path, without the clearing pass or a load and store per entry.
// Finished blocks go to `dst` (when the row is stored or must be normalised
// as a whole) and otherwise straight into the accumulator.
template <int BLOCKS, class Col>
__attribute__((target("avx2"))) inline void propagate_columns_avx2(const PropagationArgs<Col>& a, std::uint64_t r,
                                                                    std::uint64_t start, std::uint64_t end,
                                                                    std::uint64_t column, float* dst, bool prefetch,
                                                                    std::uint64_t range_end, __m256 (&squares)[2]) {
  __m256 sum[BLOCKS];
  for (int b = 0; b < BLOCKS; ++b) sum[b] = _mm256_setzero_ps();
  for (std::uint64_t k = start; k < end; ++k) {
    if (prefetch) prefetch_row(a, k + PREFETCH_DISTANCE, range_end);
    const float* src = source_row(a, a.cols[k]) + column;
    const __m256 scale = _mm256_set1_ps(a.scales[k]);
    for (int b = 0; b < BLOCKS; ++b) sum[b] = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(src + 8 * b), scale), sum[b]);
  }
  if (dst != nullptr) {
    for (int b = 0; b < BLOCKS; ++b) _mm256_storeu_ps(dst + column + 8 * b, sum[b]);
  }
  if (a.normalize) {
    // Step 1 of normalize_row from the registers: column c adds to partial
    // sum c mod 16, and blocks arrive in ascending column order.
    for (int b = 0; b < BLOCKS; ++b) {
      __m256& lanes = squares[((column / 8) + std::uint64_t(b)) % 2];
      lanes = _mm256_add_ps(_mm256_mul_ps(sum[b], sum[b]), lanes);
    }
  } else if (a.accumulator != nullptr) {
    for (int b = 0; b < BLOCKS; ++b) accumulate_lanes_avx2(a, r, column + 8 * b, sum[b]);
  }
}

template <class Col>
__attribute__((target("avx2"))) void propagate_range_avx2(const PropagationArgs<Col>& a, std::uint64_t lo,
                                                           std::uint64_t hi) {
  const std::uint64_t dim = a.dim;
  const std::uint64_t range_end = a.row_ptrs[hi];
  ScratchRow scratch;
  for (std::uint64_t r = lo; r < hi; ++r) {
    // A normalised row is needed whole before it can be accumulated.
    float* dst = a.next != nullptr ? a.next + r * dim : a.normalize ? scratch.get(dim) : nullptr;
    const std::uint64_t start = a.row_ptrs[r], end = a.row_ptrs[r + 1];
    std::uint64_t column = 0;
    bool first = true;  // the first pass over the entries prefetches ahead
    __m256 squares[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    // Widest passes first; what is left (under 64 columns) takes one pass
    // each of 32, 16 and 8 columns at most, so a block of 32 columns walks
    // its entries once rather than four times. Every column still adds its
    // terms in ascending entry order, whatever pass it falls in.
    for (; column + 64 <= dim; column += 64, first = false)
      propagate_columns_avx2<8>(a, r, start, end, column, dst, first, range_end, squares);
    if (column + 32 <= dim) {
      propagate_columns_avx2<4>(a, r, start, end, column, dst, first, range_end, squares);
      column += 32;
      first = false;
    }
    if (column + 16 <= dim) {
      propagate_columns_avx2<2>(a, r, start, end, column, dst, first, range_end, squares);
      column += 16;
      first = false;
    }
    if (column + 8 <= dim) {
      propagate_columns_avx2<1>(a, r, start, end, column, dst, first, range_end, squares);
      column += 8;
      first = false;
    }
    alignas(32) float partial[16];
    if (a.normalize) {
      _mm256_store_ps(partial, squares[0]);
      _mm256_store_ps(partial + 8, squares[1]);
    }
    for (; column < dim; ++column) {
      float sum = 0.0f;
      for (std::uint64_t k = start; k < end; ++k) {
        const float product = source_row(a, a.cols[k])[column] * a.scales[k];
        sum = product + sum;
      }
      if (dst != nullptr) dst[column] = sum;
      if (a.normalize) {
        const float square = sum * sum;
        partial[column % 16] = square + partial[column % 16];
      } else if (a.accumulator != nullptr) {
        accumulate_element(a, r, column, sum);
      }
    }
    if (a.normalize) {
      detail::scale_to_unit_avx2(dst, dim, detail::fold_partial_sums(partial));
      if (a.accumulator != nullptr) accumulate_row(a, r, dst, detail::add_scaled_row_avx2);
    }
  }
}
#endif

template <class Col>
void propagate_range(const PropagationArgs<Col>& a, std::uint64_t lo, std::uint64_t hi) {
#ifdef GRAPHRIPPLE_X86
  if (detail::cpu_has_avx2() && !detail::force_portable_propagation()) {
    propagate_range_avx2(a, lo, hi);
    return;
  }
#endif
  propagate_range_generic(a, lo, hi, select_row_kernel());
}

}  // namespace

void propagate(MatrixF32& next, const CsrGraph& graph, const MatrixF32& current) {
  const std::uint64_t n = graph.num_nodes;
  fault_unless(graph.row_ptrs.size() == n + 1 && next.rows == n && current.rows == n && next.cols == current.cols,
               "propagate: matrix shapes do not match the graph");
  const std::uint64_t dim = current.cols;
  parallel_for_rows(n, [&](std::uint64_t r) {
    const std::uint64_t start = graph.row_ptrs[r], end = graph.row_ptrs[r + 1];
    const float inv = detail::inverse_degree(start, end);
    for (std::uint64_t k = start; k < end; ++k) {
      const std::uint64_t c = graph.col_indices[k];
      fault_unless(c < n, "propagate: column index out of range");
      const float s = static_cast<float>(graph.values[k]) * inv;
      add_scaled_row(RowView{next.row(r), dim}, ConstRowView{current.row(c), dim}, s);
    }
  });
}

namespace {

// One propagation over a whole matrix (`current`) or over rows stored apart
// (`source_rows`, one pointer per column index).
void propagate_rows(const TransitionMatrix& transition, const float* current, const float* const* source_rows,
                    std::uint64_t dim, const RowBlockOutput& output) {
  const std::uint64_t n = transition.num_nodes;
  if (dim == 0 || n == 0) return;  // (empty matrices have no storage)
  fault_unless(output.mode != AccumulateMode::deferred || output.deferred != nullptr,
               "propagate: deferred accumulation without its matrix");
  float* next = output.next;
  float* acc = output.accumulator;
  const float* deferred = output.deferred;
  auto rows = [&](std::size_t lo, std::size_t hi) {
    if (transition.wide_cols != nullptr) {
      propagate_range(PropagationArgs<std::uint64_t>{transition.row_ptrs, transition.wide_cols,
                                                     transition.scales.data(), current, source_rows, dim, next,
                                                     acc, output.weight, output.mode, deferred,
                                                     output.deferred_weight, output.normalize, output.output_rows},
                      lo, hi);
    } else {
      propagate_range(PropagationArgs<std::uint32_t>{transition.row_ptrs, transition.narrow_cols.data(),
                                                     transition.scales.data(), current, source_rows, dim, next,
                                                     acc, output.weight, output.mode, deferred,
                                                     output.deferred_weight, output.normalize, output.output_rows},
                      lo, hi);
    }
  };
  // Split by entry count: power-law hubs would otherwise leave one worker
  // with most of the edges.
  const std::uint64_t work = (transition.scales.size() + n) * dim;
  for_row_ranges_weighted(n, transition.row_ptrs, work, RangeBody(rows));
}

}  // namespace

void propagate(const TransitionMatrix& transition, const MatrixF32& current, const PropagationOutput& output) {
  const std::uint64_t n = transition.num_nodes;
  const std::uint64_t dim = current.cols;
  auto fits = [&](const MatrixF32* m) { return m == nullptr || (m->rows == n && m->cols == dim); };
  fault_unless(current.rows == n && fits(output.next) && fits(output.accumulator) && fits(output.deferred),
               "propagate: matrix shapes do not match the graph");
  fault_unless(output.accumulator != &current && output.next != &current &&
                   (output.mode != AccumulateMode::deferred || output.deferred != nullptr),
               "propagate: output aliases the input");
  RowBlockOutput raw;
  raw.next = output.next != nullptr ? output.next->data.data() : nullptr;
  raw.accumulator = output.accumulator != nullptr ? output.accumulator->data.data() : nullptr;
  raw.weight = output.weight;
  raw.mode = output.mode;
  raw.deferred = output.deferred != nullptr ? output.deferred->data.data() : nullptr;
  raw.deferred_weight = output.deferred_weight;
  raw.normalize = output.normalize;
  raw.output_rows = output.output_rows;
  propagate_rows(transition, current.data.data(), nullptr, dim, raw);
}

void propagate_block(const TransitionMatrix& transition, std::span<const float* const> source, std::uint64_t dim,
                     const RowBlockOutput& output) {
  // The source holds at least the block's own rows; the columns themselves
  // are checked where the transition is built.
  fault_unless(source.size() >= transition.num_nodes, "propagate_block: fewer source rows than the block's");
  propagate_rows(transition, nullptr, source.data(), dim, output);
}

void propagate(MatrixF32& next, const TransitionMatrix& transition, const MatrixF32& current,
               MatrixF32* accumulator, float accumulate_weight, bool accumulator_fresh) {
  PropagationOutput output;
  output.next = &next;
  output.accumulator = accumulator;
  output.weight = accumulate_weight;
  output.mode = accumulator_fresh ? AccumulateMode::store : AccumulateMode::add;
  propagate(transition, current, output);
}

void scale_rows(MatrixF32& matrix, float w) {
  const std::uint64_t dim = matrix.cols;
  if (dim == 0) return;
  auto rows = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) store_scaled_row(matrix.row(r), matrix.row(r), w, dim);
  };
  for_row_ranges(matrix.rows, matrix.rows * dim, RangeBody(rows));
}

void scale_each_row(MatrixF32& matrix, const std::vector<float>& factors) {
  fault_unless(factors.size() == matrix.rows, "scale_each_row: one factor per row");
  const std::uint64_t dim = matrix.cols;
  if (dim == 0) return;
  auto rows = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      const float factor = factors[r];
      if (factor == 1.0f) continue;
      float* row = matrix.row(r);
      for (std::uint64_t j = 0; j < dim; ++j) row[j] = row[j] * factor;
    }
  };
  for_row_ranges(matrix.rows, matrix.rows * dim, RangeBody(rows));
}

void accumulate(MatrixF32& accumulator, const MatrixF32& current, float w, bool accumulator_fresh,
                const std::uint64_t* output_rows) {
  fault_unless(accumulator.rows == current.rows && accumulator.cols == current.cols,
               "accumulate: matrix shapes differ");
  const std::uint64_t dim = current.cols;
  if (dim == 0) return;
  const RowKernel kernel = select_row_kernel();
  // Row by row, so each element takes the same SIMD lane or tail path
  // whatever the split.
  auto rows = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      float* dst = accumulator.row(output_rows != nullptr ? output_rows[r] : r);
      if (accumulator_fresh) {
        store_scaled_row(dst, current.row(r), w, dim);
      } else {
        kernel(dst, current.row(r), w, dim);
      }
    }
  };
  for_row_ranges(current.rows, current.rows * dim, RangeBody(rows));
}

}  // namespace graphripple
