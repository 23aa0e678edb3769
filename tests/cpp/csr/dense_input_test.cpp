// from_dense: shape check, the IEEE zero test, layouts and memory refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "csr/csr_graph.h"
#include "csr_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using U64s = std::vector<std::uint64_t>;

// Stores `rows` (given row by row) in the requested layout and returns a
// matrix whose (r, c) is rows[r][c] whatever the memory order.
enum class Layout { RowMajor, ColumnMajor, Reversed };
MatrixF64 make_matrix(const std::vector<std::vector<double>>& rows, std::uint64_t cols, Layout layout) {
  const std::uint64_t n = rows.size();
  MatrixF64 m;
  m.rows = n;
  m.cols = cols;
  m.storage.resize(n * cols);
  for (std::uint64_t r = 0; r < n; ++r)
    for (std::uint64_t c = 0; c < cols; ++c) {
      const std::uint64_t at = layout == Layout::RowMajor      ? r * cols + c
                               : layout == Layout::ColumnMajor ? c * n + r
                                                               : (n - 1 - r) * cols + (cols - 1 - c);
      m.storage[at] = rows[r][c];
    }
  if (layout == Layout::RowMajor) {
    m.row_stride = std::int64_t(cols);
    m.col_stride = 1;
  } else if (layout == Layout::ColumnMajor) {
    m.row_stride = 1;
    m.col_stride = std::int64_t(n);
  } else {
    m.row_stride = -std::int64_t(cols);
    m.col_stride = -1;
    m.origin_offset = n * cols == 0 ? 0 : n * cols - 1;
  }
  return m;
}

TEST(dense_input, rejects_non_square_before_reserving) {
  const auto m = make_matrix({{1, 2, 3}, {4, 5, 6}}, 3, Layout::RowMajor);
  const auto reservations = detail::reservation_count();
  EXPECT_TRUE(test::fails_with(CsrGraph::from_dense(m.view()), "Adjacency matrix must be square"));
  EXPECT_EQ(detail::reservation_count(), reservations);
}

TEST(dense_input, empty_matrix_gives_empty_graph) {
  auto graph = CsrGraph::from_dense(MatrixViewF64{});
  ASSERT_TRUE(graph.has_value());
  EXPECT_EQ(graph->num_nodes, 0u);
  EXPECT_EQ(graph->row_ptrs, U64s{0});
  EXPECT_EQ(graph->nnz(), 0u);
}

TEST(dense_input, ieee_zero_test_and_self_loops) {
  // -0.0 is no edge, NaN is; the diagonal element is a self-loop.
  const auto m = make_matrix({{0.0, 2.0, NAN}, {-0.0, 0.0, 0.0}, {0.0, -INFINITY, 4.0}}, 3, Layout::RowMajor);
  auto graph = CsrGraph::from_dense(m.view());
  ASSERT_TRUE(graph.has_value());
  EXPECT_EQ(graph->row_ptrs, (U64s{0, 2, 2, 4}));
  EXPECT_EQ(graph->col_indices, (U64s{1, 2, 1, 2}));
  EXPECT_EQ(graph->values[0], 2.0);
  EXPECT_TRUE(std::isnan(graph->values[1]));
  EXPECT_EQ(graph->values[2], -INFINITY);
  EXPECT_EQ(graph->values[3], 4.0);
}

TEST(dense_input, every_layout_gives_the_same_graph) {
  std::mt19937_64 rng(7);
  for (std::uint64_t n : {1u, 2u, 5u, 17u}) {
    std::vector<std::vector<double>> rows(n, std::vector<double>(n));
    test::RowMaps want(n);
    for (std::uint64_t r = 0; r < n; ++r)
      for (std::uint64_t c = 0; c < n; ++c)
        if (rng() % 3 == 0) want[r][c] = rows[r][c] = double(rng() % 100) + 0.5;
    for (Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::Reversed}) {
      const auto m = make_matrix(rows, n, layout);
      auto graph = CsrGraph::from_dense(m.view());
      ASSERT_TRUE(graph.has_value());
      EXPECT_TRUE(test::is_canonical(*graph));
      EXPECT_TRUE(test::same_rows(test::to_maps(*graph), want)) << "n " << n << " layout " << int(layout);
    }
  }
}

TEST(dense_input, refused_reservations_are_out_of_memory) {
  const auto m = make_matrix({{0.0, 1.0}, {1.0, 0.0}}, 2, Layout::RowMajor);
  int refused = 0;
  for (std::uint64_t k = 1;; ++k) {
    detail::fail_reservation_after(k);
    auto graph = CsrGraph::from_dense(m.view());
    detail::fail_reservation_after(0);
    if (graph) break;
    ++refused;
    ASSERT_TRUE(graph.error().is_out_of_memory());
  }
  EXPECT_EQ(refused, 3);  // row_ptrs, col_indices, values
}

}  // namespace
}  // namespace graphripple
