// from_adj_list: bounds message and its order, merging of repeated targets,
// and memory refusal.
#include <gtest/gtest.h>

#include <random>

#include "csr/csr_graph.h"
#include "csr_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using U64s = std::vector<std::uint64_t>;

TEST(adjacency_input, builds_rows_in_node_order) {
  struct Case {
    AdjacencyList input;
    U64s row_ptrs, cols;
    std::vector<double> vals;
  };
  const std::vector<Case> cases{
      {{}, {0}, {}, {}},
      {{{}, {}, {}}, {0, 0, 0, 0}, {}, {}},
      {{{{1, 0.5}}, {{0, 2.0}}}, {0, 1, 2}, {1, 0}, {0.5, 2.0}},
      // Repeated target 2 is merged; (0, 1.0) in list 0 is a self-loop.
      {{{{2, 1.0}, {0, 1.0}, {2, 3.0}}, {}, {}}, {0, 2, 2, 2}, {0, 2}, {1.0, 4.0}},
      // Weights cancelling to zero stay as an entry.
      {{{{1, 2.0}, {1, -2.0}}, {}}, {0, 1, 1}, {1}, {0.0}},
  };
  for (const Case& c : cases) {
    auto graph = CsrGraph::from_adj_list(c.input);
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->num_nodes, c.input.size());
    EXPECT_EQ(graph->row_ptrs, c.row_ptrs);
    EXPECT_EQ(graph->col_indices, c.cols);
    EXPECT_EQ(graph->values, c.vals);
  }
}

TEST(adjacency_input, reports_first_out_of_bounds_target_in_list_order) {
  struct Case {
    AdjacencyList input;
    const char* message;
  };
  const std::vector<Case> cases{
      {{{{3, 1.0}}, {}, {}}, "Target node ID 3 is out of bounds for graph with 3 nodes"},
      {{{}, {{0, 1.0}, {7, 1.0}}, {{5, 1.0}}}, "Target node ID 7 is out of bounds for graph with 3 nodes"},
      {{{{1, 1.0}, {9, 1.0}, {4, 1.0}}, {}}, "Target node ID 9 is out of bounds for graph with 2 nodes"},
      {{{{~std::uint64_t{0}, 1.0}}}, "Target node ID 18446744073709551615 is out of bounds for graph with 1 nodes"},
  };
  for (const Case& c : cases) EXPECT_TRUE(test::fails_with(CsrGraph::from_adj_list(c.input), c.message));
}

TEST(adjacency_input, matches_reference_on_random_lists) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 100; ++round) {
    const std::uint64_t n = 1 + rng() % 30;
    AdjacencyList input(n);
    U64s row_ptrs{0}, cols;
    std::vector<double> vals;
    for (auto& row : input) {
      const std::uint64_t len = rng() % 10 == 0 ? rng() % 60 : rng() % 5;
      for (std::uint64_t k = 0; k < len; ++k) {
        row.emplace_back(rng() % n, double(rng() % 17) / 4.0);
        cols.push_back(row.back().first);
        vals.push_back(row.back().second);
      }
      row_ptrs.push_back(cols.size());
    }
    auto graph = CsrGraph::from_adj_list(std::move(input));
    ASSERT_TRUE(graph.has_value());
    ASSERT_TRUE(test::is_canonical(*graph));
    ASSERT_TRUE(test::same_rows(test::to_maps(*graph), test::reference_rows(row_ptrs, cols, vals)));
  }
}

TEST(adjacency_input, refused_reservations_are_out_of_memory) {
  const AdjacencyList input{{{1, 1.0}}, {{0, 1.0}}};
  int refused = 0;
  for (std::uint64_t k = 1;; ++k) {
    detail::fail_reservation_after(k);
    auto graph = CsrGraph::from_adj_list(input);
    detail::fail_reservation_after(0);
    if (graph) break;
    ++refused;
    ASSERT_TRUE(graph.error().is_out_of_memory());
  }
  EXPECT_EQ(refused, 3);  // row_ptrs, col_indices, values
}

}  // namespace
}  // namespace graphripple
