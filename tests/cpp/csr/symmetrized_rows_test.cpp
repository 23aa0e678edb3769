// SymmetrizedRows: structure re-validation and the weight rules of A + A^T.
#include <gtest/gtest.h>

#include <cmath>

#include "csr_test_support.h"

namespace graphripple {
namespace {

using namespace test;

struct BadStructure {
  const char* name;
  CsrGraph graph;
  std::string detail;
};
void PrintTo(const BadStructure& c, std::ostream* os) { *os << c.name; }

class SymmetrizeRejects : public ::testing::TestWithParam<BadStructure> {};
TEST_P(SymmetrizeRejects, with_structure_error) {
  EXPECT_TRUE(fails_with(SymmetrizedRows::prepare(GetParam().graph),
                         "Invalid CSR structure: Structure Error " + GetParam().detail));
}
INSTANTIATE_TEST_SUITE_P(
    csr_graph, SymmetrizeRejects,
    ::testing::Values(
        BadStructure{"sizes_differ", {{0, 3}, {0}, {1.0, 2.0}, 1},
                     "(size mismatch): data and indices have different sizes"},
        BadStructure{"row_ptrs_empty", {{}, {}, {}, 0}, "(size mismatch): An indptr should have its len >= 1"},
        BadStructure{"row_ptrs_decrease", {{0, 2, 1}, {0}, {1.0}, 2}, "(unsorted): Unsorted indptr"},
        BadStructure{"row_ptrs_too_large", {{0, 1ull << 63}, {}, {}, 1},
                     "(out of range): An indptr value is larger than allowed"},
        BadStructure{"length_vs_max_nodes", {{0}, {}, {}, ~0ull},
                     "(size mismatch): Indptr length does not match dimension"},
        BadStructure{"nnz_mismatch", {{0, 2}, {0}, {1.0}, 1},
                     "(size mismatch): Indices length and inpdtr's nnz do not match"},
        BadStructure{"repeat_before_range", {{0, 2, 2}, {5, 5}, {1.0, 1.0}, 2},
                     "(unsorted): Indices are not sorted"},
        // Rows are scanned upward: row 0's range fault comes first.
        BadStructure{"earlier_row_first", {{0, 1, 3}, {4, 1, 0}, {1.0, 1.0, 1.0}, 2},
                     "(out of range): Indice is larger than inner dimension"}),
    [](const auto& info) { return info.param.name; });

TEST(symmetrized_rows, weight_rules) {
  struct Case {
    const char* name;
    CsrGraph input;
    U64s row_ptrs, cols;
    Doubles vals;
  };
  const Case cases[] = {
      {"no_nodes", {{0}, {}, {}, 0}, {0}, {}, {}},
      {"one_direction", {{0, 1, 1, 1}, {1}, {2.0}, 3}, {0, 1, 2, 2}, {1, 0}, {2.0, 2.0}},
      {"both_directions_sum", {{0, 1, 2}, {1, 0}, {1.0, 3.0}, 2}, {0, 1, 2}, {1, 0}, {4.0, 4.0}},
      {"self_loop_doubles", {{0, 1}, {0}, {1.5}, 1}, {0, 1}, {0}, {3.0}},
      {"zeros_dropped", {{0, 2, 2}, {0, 1}, {0.0, -0.0}, 2}, {0, 0, 0}, {}, {}},
      {"cancelling_pair_dropped", {{0, 1, 2}, {1, 0}, {2.0, -2.0}, 2}, {0, 0, 0}, {}, {}},
      // row_ptrs not starting at 0 pass the structure test; rows are read
      // relative to the first element.
      {"offset_row_ptrs", {{3, 4, 5}, {1, 0}, {1.0, 2.0}, 2}, {0, 1, 2}, {1, 0}, {3.0, 3.0}},
  };
  for (const Case& c : cases) {
    auto s = symmetrized_graph(c.input);
    ASSERT_TRUE(s) << c.name;
    EXPECT_EQ(s->num_nodes, c.input.num_nodes) << c.name;
    EXPECT_EQ(s->row_ptrs, c.row_ptrs) << c.name;
    EXPECT_EQ(s->col_indices, c.cols) << c.name;
    EXPECT_EQ(s->values, c.vals) << c.name;
  }
  auto nan = symmetrized_graph(CsrGraph{{0, 1, 1}, {1}, {NAN}, 2});
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(nan->values.at(0)) && std::isnan(nan->values.at(1)));
}

}  // namespace
}  // namespace graphripple
