// Propagation and accumulation, each one row-parallel loop.
//
// A row of the output is written by exactly one task and its terms are added
// in ascending storage order, so the bytes never depend on the split.
#include "algorithm/kernels.h"

#include <cstring>
#include <limits>

#include "error/fallible_alloc.h"
#include "pool/worker_pool.h"

namespace graphripple {

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
// memory latency at a few cycles per element of the row update.
constexpr std::uint64_t PREFETCH_DISTANCE = 8;

template <class Col>
void propagate_range(std::uint64_t lo, std::uint64_t hi, const std::uint64_t* row_ptrs, const Col* cols,
                     const float* scales, float* next, const float* current, std::uint64_t dim,
                     float* accumulator, float weight, RowKernel kernel) {
  const std::uint64_t row_bytes = dim * sizeof(float);
  const std::uint64_t range_end = row_ptrs[hi];
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* dst = next + r * dim;
    std::memset(dst, 0, row_bytes);
    const std::uint64_t end = row_ptrs[r + 1];
    for (std::uint64_t k = row_ptrs[r]; k < end; ++k) {
      if (k + PREFETCH_DISTANCE < range_end) {
        const char* ahead = reinterpret_cast<const char*>(current + std::uint64_t(cols[k + PREFETCH_DISTANCE]) * dim);
        for (std::uint64_t offset = 0; offset < row_bytes; offset += 64) __builtin_prefetch(ahead + offset);
      }
      kernel(dst, current + std::uint64_t(cols[k]) * dim, scales[k], dim);
    }
    if (accumulator != nullptr) kernel(accumulator + r * dim, dst, weight, dim);
  }
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
  parallel_for_ranges(graph.num_nodes, RangeBody(fill));
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
               MatrixF32* accumulator, float accumulate_weight) {
  const std::uint64_t n = transition.num_nodes;
  fault_unless(next.rows == n && current.rows == n && next.cols == current.cols &&
                   (accumulator == nullptr || (accumulator->rows == n && accumulator->cols == current.cols)),
               "propagate: matrix shapes do not match the graph");
  const std::uint64_t dim = current.cols;
  if (dim == 0) return;
  const RowKernel kernel = select_row_kernel();
  float* acc = accumulator != nullptr ? accumulator->data.data() : nullptr;
  auto rows = [&](std::size_t lo, std::size_t hi) {
    if (transition.wide_cols != nullptr) {
      propagate_range(lo, hi, transition.row_ptrs, transition.wide_cols, transition.scales.data(), next.data.data(),
                      current.data.data(), dim, acc, accumulate_weight, kernel);
    } else {
      propagate_range(lo, hi, transition.row_ptrs, transition.narrow_cols.data(), transition.scales.data(),
                      next.data.data(), current.data.data(), dim, acc, accumulate_weight, kernel);
    }
  };
  // Split by entry count: power-law hubs would otherwise leave one worker
  // with most of the edges.
  parallel_for_ranges_weighted(n, transition.row_ptrs, RangeBody(rows));
}

void accumulate(MatrixF32& accumulator, const MatrixF32& current, float w) {
  fault_unless(accumulator.rows == current.rows && accumulator.cols == current.cols,
               "accumulate: matrix shapes differ");
  const std::uint64_t dim = current.cols;
  if (dim == 0) return;
  const RowKernel kernel = select_row_kernel();
  // Row by row, so each element takes the same SIMD lane or tail path
  // whatever the split.
  auto rows = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) kernel(accumulator.row(r), current.row(r), w, dim);
  };
  parallel_for_ranges(current.rows, RangeBody(rows));
}

}  // namespace graphripple
