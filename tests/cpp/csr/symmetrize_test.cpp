// symmetrize: the structure re-validation, the weight rules of A + A^T, a
// comparison with the map-based reference, and memory refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "csr/csr_graph.h"
#include "csr_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using U64s = std::vector<std::uint64_t>;
constexpr std::uint64_t BIG = std::uint64_t{1} << 63;

struct BadStructure {
  const char* name;
  CsrGraph graph;
  std::string detail;
};

void PrintTo(const BadStructure& c, std::ostream* os) { *os << c.name; }

class SymmetrizeRejects : public ::testing::TestWithParam<BadStructure> {};

TEST_P(SymmetrizeRejects, with_structure_error) {
  EXPECT_TRUE(test::fails_with(GetParam().graph.symmetrize(), "Invalid CSR structure: " + GetParam().detail));
}

INSTANTIATE_TEST_SUITE_P(
    csr_graph, SymmetrizeRejects,
    ::testing::Values(
        BadStructure{"sizes_differ", {{0, 3}, {0}, {1.0, 2.0}, 1},
                     "Structure Error (size mismatch): data and indices have different sizes"},
        BadStructure{"row_ptrs_decrease", {{0, 2, 1}, {0}, {1.0}, 2}, "Structure Error (unsorted): Unsorted indptr"},
        BadStructure{"row_ptrs_empty", {{}, {}, {}, 0},
                     "Structure Error (size mismatch): An indptr should have its len >= 1"},
        BadStructure{"row_ptrs_too_large", {{0, BIG}, {}, {}, 1},
                     "Structure Error (out of range): An indptr value is larger than allowed"},
        BadStructure{"wrong_length", {{0, 0}, {}, {}, 2},
                     "Structure Error (size mismatch): Indptr length does not match dimension"},
        BadStructure{"wrong_length_max_nodes", {{0}, {}, {}, ~std::uint64_t{0}},
                     "Structure Error (size mismatch): Indptr length does not match dimension"},
        BadStructure{"nnz_mismatch", {{0, 2}, {0}, {1.0}, 1},
                     "Structure Error (size mismatch): Indices length and inpdtr's nnz do not match"},
        BadStructure{"row_unsorted", {{0, 2, 2}, {1, 0}, {1.0, 1.0}, 2},
                     "Structure Error (unsorted): Indices are not sorted"},
        BadStructure{"row_repeats", {{0, 2, 2}, {1, 1}, {1.0, 1.0}, 2},
                     "Structure Error (unsorted): Indices are not sorted"},
        BadStructure{"column_too_large", {{0, 1}, {1}, {1.0}, 1},
                     "Structure Error (out of range): Indice is larger than inner dimension"},
        // Within a row the order is tested before the range...
        BadStructure{"order_before_range", {{0, 2, 2}, {5, 0}, {1.0, 1.0}, 2},
                     "Structure Error (unsorted): Indices are not sorted"},
        // ...and rows are scanned upward, so row 0's fault is reported.
        BadStructure{"earlier_row_first", {{0, 1, 3}, {4, 1, 0}, {1.0, 1.0, 1.0}, 2},
                     "Structure Error (out of range): Indice is larger than inner dimension"}),
    [](const auto& info) { return info.param.name; });

TEST(symmetrize, weight_rules) {
  struct Case {
    const char* name;
    CsrGraph input;
    U64s row_ptrs, cols;
    std::vector<double> vals;
  };
  const std::vector<Case> cases{
      {"no_nodes", {{0}, {}, {}, 0}, {0}, {}, {}},
      {"one_direction", {{0, 1, 1}, {1}, {2.0}, 2}, {0, 1, 2}, {1, 0}, {2.0, 2.0}},
      {"both_directions_sum", {{0, 1, 2}, {1, 0}, {1.0, 3.0}, 2}, {0, 1, 2}, {1, 0}, {4.0, 4.0}},
      {"self_loop_doubles", {{0, 1}, {0}, {1.5}, 1}, {0, 1}, {0}, {3.0}},
      {"zero_dropped", {{0, 1, 1}, {1}, {0.0}, 2}, {0, 0, 0}, {}, {}},
      {"negative_zero_dropped", {{0, 1, 1}, {1}, {-0.0}, 2}, {0, 0, 0}, {}, {}},
      {"cancelling_pair_dropped", {{0, 1, 2}, {1, 0}, {2.0, -2.0}, 2}, {0, 0, 0}, {}, {}},
      {"extra_nodes_keep_rows", {{0, 1, 1, 1}, {1}, {1.0}, 3}, {0, 1, 2, 2}, {1, 0}, {1.0, 1.0}},
      // A row_ptrs that does not start at 0 passes the structure test, so it
      // is read relative to its first element.
      {"offset_row_ptrs", {{3, 4, 5}, {1, 0}, {1.0, 2.0}, 2}, {0, 1, 2}, {1, 0}, {3.0, 3.0}},
  };
  for (const Case& c : cases) {
    auto result = c.input.symmetrize();
    ASSERT_TRUE(result.has_value()) << c.name;
    EXPECT_EQ(result->num_nodes, c.input.num_nodes) << c.name;
    EXPECT_EQ(result->row_ptrs, c.row_ptrs) << c.name;
    EXPECT_EQ(result->col_indices, c.cols) << c.name;
    EXPECT_EQ(result->values, c.vals) << c.name;
  }
}

TEST(symmetrize, nan_stays_in_both_directions) {
  const CsrGraph graph{{0, 1, 1}, {1}, {NAN}, 2};
  auto result = graph.symmetrize();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->col_indices, (U64s{1, 0}));
  EXPECT_TRUE(std::isnan(result->values[0]) && std::isnan(result->values[1]));
}

TEST(symmetrize, matches_reference_and_leaves_input_unchanged) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t n = rng() % 50;
    U64s row_ptrs{0}, cols;
    std::vector<double> vals;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t len = rng() % 7;
      for (std::uint64_t k = 0; k < len; ++k) {
        cols.push_back(rng() % n);
        // Small integers, zeros and opposite pairs make cancellations likely.
        vals.push_back(rng() % 16 == 0 ? -0.0 : double(std::int64_t(rng() % 5) - 2));
      }
      row_ptrs.push_back(cols.size());
    }
    auto graph = CsrGraph::from_csr(row_ptrs, cols, vals, n);
    ASSERT_TRUE(graph.has_value());
    const CsrGraph before = *graph;
    auto result = graph->symmetrize();
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(test::is_canonical(*result));
    ASSERT_TRUE(test::same_rows(test::to_maps(*result), test::reference_symmetrize(test::to_maps(*graph))))
        << "round " << round;
    for (double v : result->values) ASSERT_NE(v, 0.0);
    ASSERT_EQ(graph->row_ptrs, before.row_ptrs);
    ASSERT_EQ(graph->col_indices, before.col_indices);
  }
}

TEST(symmetrize, refused_reservations_are_out_of_memory) {
  const CsrGraph graph{{0, 1, 2}, {1, 1}, {1.0, 1.0}, 2};
  int refused = 0;
  for (std::uint64_t k = 1;; ++k) {
    detail::fail_reservation_after(k);
    auto result = graph.symmetrize();
    detail::fail_reservation_after(0);
    if (result) break;
    ++refused;
    ASSERT_TRUE(result.error().is_out_of_memory());
  }
  EXPECT_EQ(refused, 6);  // transpose: starts, columns, weights; result: the same three
}

}  // namespace
}  // namespace graphripple
