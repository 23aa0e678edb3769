// from_dense and from_adj_list: messages, the zero test, layouts, merging.
#include <gtest/gtest.h>

#include <cmath>

#include "csr_test_support.h"

namespace graphripple {
namespace {

using namespace test;

TEST(dense_input, rejects_non_square) {
  const double data[6] = {};
  EXPECT_TRUE(fails_with(CsrGraph::from_dense({data, 2, 3, 3, 1}), "Adjacency matrix must be square"));
}

TEST(dense_input, same_graph_for_every_layout) {
  // Rows as the caller sees them: -0.0 is no edge, NaN is, (2, 2) is a self-loop.
  const double rows[3][3] = {{0.0, 2.0, NAN}, {-0.0, 0.0, 0.0}, {0.0, -INFINITY, 4.0}};
  const RowMaps want{{{1, 2.0}, {2, NAN}}, {}, {{1, -INFINITY}, {2, 4.0}}};
  double row_major[9], col_major[9], reversed[9];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      row_major[3 * r + c] = rows[r][c];
      col_major[3 * c + r] = rows[r][c];
      reversed[8 - (3 * r + c)] = rows[r][c];
    }
  const MatrixViewF64 views[] = {{row_major, 3, 3, 3, 1}, {col_major, 3, 3, 1, 3}, {reversed + 8, 3, 3, -3, -1}};
  for (const MatrixViewF64& view : views) {
    auto g = CsrGraph::from_dense(view);
    ASSERT_TRUE(g);
    EXPECT_TRUE(same_rows(canonical_rows(*g), want)) << view.row_stride << "," << view.col_stride;
  }
  auto empty = CsrGraph::from_dense({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->row_ptrs, U64s{0});
}

TEST(adjacency_input, builds_sorted_merged_rows) {
  // (0, 1.0) in list 0 is a self-loop; target 2 repeats and is summed.
  auto g = CsrGraph::from_adj_list({{{2, 1.0}, {0, 1.0}, {2, 3.0}}, {}, {{0, 0.5}}});
  ASSERT_TRUE(g);
  EXPECT_EQ(g->row_ptrs, (U64s{0, 2, 2, 3}));
  EXPECT_EQ(g->col_indices, (U64s{0, 2, 0}));
  EXPECT_EQ(g->values, (Doubles{1.0, 4.0, 0.5}));
  auto empty = CsrGraph::from_adj_list({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->row_ptrs, U64s{0});
}

TEST(adjacency_input, reports_first_bad_target_in_list_order) {
  const std::pair<AdjacencyList, const char*> cases[] = {
      {{{{3, 1.0}}, {}, {}}, "Target node ID 3 is out of bounds for graph with 3 nodes"},
      {{{}, {{0, 1.0}, {7, 1.0}, {4, 1.0}}, {{5, 1.0}}}, "Target node ID 7 is out of bounds for graph with 3 nodes"},
      {{{{~0ull, 1.0}}}, "Target node ID 18446744073709551615 is out of bounds for graph with 1 nodes"},
  };
  for (const auto& [input, message] : cases) EXPECT_TRUE(fails_with(CsrGraph::from_adj_list(input), message));
}

}  // namespace
}  // namespace graphripple
