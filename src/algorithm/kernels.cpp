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

// The reciprocal of a row's entry count, once per row in float32.
float inverse_degree(std::uint64_t start, std::uint64_t end) {
  return end == start ? 0.0f : 1.0f / static_cast<float>(end - start);
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
  float* next;
  const float* current;
  std::uint64_t dim;
  float* accumulator;  ///< null: no fused accumulation
  float weight;
  bool accumulator_fresh;  ///< accumulator still all +0.0
};

// dst[j] = (src[j] * s) + 0.0f: the scaled row update onto a row known to be
// +0.0, without reading it.
void store_scaled_row(float* dst, const float* src, float s, std::uint64_t length) {
  for (std::uint64_t j = 0; j < length; ++j) {
    const float product = src[j] * s;
    dst[j] = product + 0.0f;
  }
}

template <class Col>
void accumulate_row(const PropagationArgs<Col>& a, std::uint64_t r, const float* row, RowKernel kernel) {
  float* dst = a.accumulator + r * a.dim;
  if (a.accumulator_fresh) {
    store_scaled_row(dst, row, a.weight, a.dim);
  } else {
    kernel(dst, row, a.weight, a.dim);
  }
}

template <class Col>
void prefetch_row(const PropagationArgs<Col>& a, std::uint64_t k, std::uint64_t range_end) {
  if (k >= range_end) return;
  const char* row = reinterpret_cast<const char*>(a.current + std::uint64_t(a.cols[k]) * a.dim);
  for (std::uint64_t offset = 0; offset < a.dim * sizeof(float); offset += 64) __builtin_prefetch(row + offset);
}

// Portable path: the row of `next` lives in memory and every entry adds
// one scaled neighbour row to it.
template <class Col>
void propagate_range_generic(const PropagationArgs<Col>& a, std::uint64_t lo, std::uint64_t hi, RowKernel kernel) {
  const std::uint64_t dim = a.dim;
  const std::uint64_t range_end = a.row_ptrs[hi];
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* dst = a.next + r * dim;
    std::memset(dst, 0, dim * sizeof(float));
    const std::uint64_t end = a.row_ptrs[r + 1];
    for (std::uint64_t k = a.row_ptrs[r]; k < end; ++k) {
      prefetch_row(a, k + PREFETCH_DISTANCE, range_end);
      kernel(dst, a.current + std::uint64_t(a.cols[k]) * dim, a.scales[k], dim);
    }
    if (a.accumulator != nullptr) accumulate_row(a, r, dst, kernel);
  }
}

#ifdef GRAPHRIPPLE_X86
// AVX2 path: a block of up to 64 columns of the output row stays in eight
// registers while all of the row's entries are added into it, in entry
// order; the block starts at +0.0 exactly like the cleared row. Each
// element therefore sees the same rounded products and sums as the
// portable path, without the clearing pass or a load and store per entry.
template <int BLOCKS, class Col>
__attribute__((target("avx2"))) inline void propagate_columns_avx2(const PropagationArgs<Col>& a, std::uint64_t start,
                                                                    std::uint64_t end, std::uint64_t column,
                                                                    float* dst, bool prefetch,
                                                                    std::uint64_t range_end) {
  __m256 sum[BLOCKS];
  for (int b = 0; b < BLOCKS; ++b) sum[b] = _mm256_setzero_ps();
  for (std::uint64_t k = start; k < end; ++k) {
    if (prefetch) prefetch_row(a, k + PREFETCH_DISTANCE, range_end);
    const float* src = a.current + std::uint64_t(a.cols[k]) * a.dim + column;
    const __m256 scale = _mm256_set1_ps(a.scales[k]);
    for (int b = 0; b < BLOCKS; ++b) sum[b] = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(src + 8 * b), scale), sum[b]);
  }
  for (int b = 0; b < BLOCKS; ++b) _mm256_storeu_ps(dst + column + 8 * b, sum[b]);
}

template <class Col>
__attribute__((target("avx2"))) void propagate_range_avx2(const PropagationArgs<Col>& a, std::uint64_t lo,
                                                           std::uint64_t hi) {
  const std::uint64_t dim = a.dim;
  const std::uint64_t range_end = a.row_ptrs[hi];
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* dst = a.next + r * dim;
    const std::uint64_t start = a.row_ptrs[r], end = a.row_ptrs[r + 1];
    std::uint64_t column = 0;
    bool first = true;  // the first pass over the entries prefetches ahead
    for (; column + 64 <= dim; column += 64, first = false)
      propagate_columns_avx2<8>(a, start, end, column, dst, first, range_end);
    for (; column + 8 <= dim; column += 8, first = false)
      propagate_columns_avx2<1>(a, start, end, column, dst, first, range_end);
    for (; column < dim; ++column) {
      float sum = 0.0f;
      for (std::uint64_t k = start; k < end; ++k) {
        const float product = a.current[std::uint64_t(a.cols[k]) * dim + column] * a.scales[k];
        sum = product + sum;
      }
      dst[column] = sum;
    }
    if (a.accumulator != nullptr) accumulate_row(a, r, dst, detail::add_scaled_row_avx2);
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

Expected<TransitionMatrix> TransitionMatrix::from_graph(const CsrGraph& graph) {
  TransitionMatrix transition;
  transition.row_ptrs = graph.row_ptrs.data();
  transition.num_nodes = graph.num_nodes;
  const std::uint64_t nnz = graph.nnz();
  if (auto status = try_reserve(transition.scales, nnz); !status) return std::move(status).error();
  transition.scales.resize(nnz);
  const bool narrow = graph.num_nodes <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  if (narrow) {
    if (auto status = try_reserve(transition.narrow_cols, nnz); !status) return std::move(status).error();
    transition.narrow_cols.resize(nnz);
  } else {
    transition.wide_cols = graph.col_indices.data();
  }
  auto fill = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      const std::uint64_t start = graph.row_ptrs[r], end = graph.row_ptrs[r + 1];
      const float inv = inverse_degree(start, end);
      for (std::uint64_t k = start; k < end; ++k) {
        transition.scales[k] = static_cast<float>(graph.values[k]) * inv;
        if (narrow) transition.narrow_cols[k] = static_cast<std::uint32_t>(graph.col_indices[k]);
      }
    }
  };
  for_row_ranges(graph.num_nodes, nnz + graph.num_nodes, RangeBody(fill));
  return transition;
}

Expected<TransitionMatrix> TransitionMatrix::from_symmetrized(const SymmetrizedRows& rows) {
  TransitionMatrix transition;
  const std::uint64_t n = rows.num_nodes();
  transition.num_nodes = n;
  const bool narrow = n <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  if (auto status = try_reserve(transition.owned_row_ptrs, n + 1); !status) return std::move(status).error();
  if (auto status = try_reserve(transition.scales, rows.max_entries()); !status) return std::move(status).error();
  if (auto status = narrow ? try_reserve(transition.narrow_cols, rows.max_entries())
                           : try_reserve(transition.owned_wide_cols, rows.max_entries());
      !status)
    return std::move(status).error();

  std::vector<float>& scales = transition.scales;
  transition.owned_row_ptrs.push_back(0);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t start = scales.size();
    rows.merge_row(i, [&](std::uint64_t column, double value) {
      scales.push_back(static_cast<float>(value));
      if (narrow) {
        transition.narrow_cols.push_back(static_cast<std::uint32_t>(column));
      } else {
        transition.owned_wide_cols.push_back(column);
      }
    });
    // The row's entry count is known once it is merged.
    const std::uint64_t end = scales.size();
    const float inv = inverse_degree(start, end);
    for (std::uint64_t k = start; k < end; ++k) scales[k] = scales[k] * inv;
    transition.owned_row_ptrs.push_back(end);
  }
  transition.row_ptrs = transition.owned_row_ptrs.data();
  if (!narrow) transition.wide_cols = transition.owned_wide_cols.data();
  return transition;
}

void propagate(MatrixF32& next, const CsrGraph& graph, const MatrixF32& current) {
  const std::uint64_t n = graph.num_nodes;
  fault_unless(graph.row_ptrs.size() == n + 1 && next.rows == n && current.rows == n && next.cols == current.cols,
               "propagate: matrix shapes do not match the graph");
  const std::uint64_t dim = current.cols;
  parallel_for_rows(n, [&](std::uint64_t r) {
    const std::uint64_t start = graph.row_ptrs[r], end = graph.row_ptrs[r + 1];
    const float inv = inverse_degree(start, end);
    for (std::uint64_t k = start; k < end; ++k) {
      const std::uint64_t c = graph.col_indices[k];
      fault_unless(c < n, "propagate: column index out of range");
      const float s = static_cast<float>(graph.values[k]) * inv;
      add_scaled_row(RowView{next.row(r), dim}, ConstRowView{current.row(c), dim}, s);
    }
  });
}

void propagate(MatrixF32& next, const TransitionMatrix& transition, const MatrixF32& current,
               MatrixF32* accumulator, float accumulate_weight, bool accumulator_fresh) {
  const std::uint64_t n = transition.num_nodes;
  fault_unless(next.rows == n && current.rows == n && next.cols == current.cols &&
                   (accumulator == nullptr || (accumulator->rows == n && accumulator->cols == current.cols)),
               "propagate: matrix shapes do not match the graph");
  const std::uint64_t dim = current.cols;
  if (dim == 0) return;
  float* acc = accumulator != nullptr ? accumulator->data.data() : nullptr;
  auto rows = [&](std::size_t lo, std::size_t hi) {
    if (transition.wide_cols != nullptr) {
      propagate_range(PropagationArgs<std::uint64_t>{transition.row_ptrs, transition.wide_cols,
                                                     transition.scales.data(), next.data.data(),
                                                     current.data.data(), dim, acc, accumulate_weight, accumulator_fresh},
                      lo, hi);
    } else {
      propagate_range(PropagationArgs<std::uint32_t>{transition.row_ptrs, transition.narrow_cols.data(),
                                                     transition.scales.data(), next.data.data(),
                                                     current.data.data(), dim, acc, accumulate_weight, accumulator_fresh},
                      lo, hi);
    }
  };
  // Split by entry count: power-law hubs would otherwise leave one worker
  // with most of the edges.
  const std::uint64_t work = (transition.scales.size() + n) * dim;
  for_row_ranges_weighted(n, transition.row_ptrs, work, RangeBody(rows));
}

void accumulate(MatrixF32& accumulator, const MatrixF32& current, float w, bool accumulator_fresh) {
  fault_unless(accumulator.rows == current.rows && accumulator.cols == current.cols,
               "accumulate: matrix shapes differ");
  const std::uint64_t dim = current.cols;
  if (dim == 0) return;
  const RowKernel kernel = select_row_kernel();
  // Row by row, so each element takes the same SIMD lane or tail path
  // whatever the split.
  auto rows = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      if (accumulator_fresh) {
        store_scaled_row(accumulator.row(r), current.row(r), w, dim);
      } else {
        kernel(accumulator.row(r), current.row(r), w, dim);
      }
    }
  };
  for_row_ranges(current.rows, current.rows * dim, RangeBody(rows));
}

}  // namespace graphripple
