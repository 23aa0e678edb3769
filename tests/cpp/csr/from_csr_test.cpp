// from_csr validation messages and canonicalisation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "csr_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using namespace test;
constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();

struct BadCsr {
  const char* name;
  U64s row_ptrs, cols;
  std::size_t value_count;
  std::uint64_t num_nodes;
  std::string message;
};
void PrintTo(const BadCsr& c, std::ostream* os) { *os << c.name; }

class FromCsrRejects : public ::testing::TestWithParam<BadCsr> {};
TEST_P(FromCsrRejects, with_exact_message) {
  const BadCsr& c = GetParam();
  EXPECT_TRUE(fails_with(CsrGraph::from_csr(c.row_ptrs, c.cols, Doubles(c.value_count, 1.0), c.num_nodes), c.message));
}
INSTANTIATE_TEST_SUITE_P(
    csr_graph, FromCsrRejects,
    ::testing::Values(
        BadCsr{"short_row_ptrs", {0}, {}, 0, 1, "row_ptrs length 1 must be num_nodes + 1 (2)"},
        BadCsr{"num_nodes_max", {0}, {}, 0, MAX, "row_ptrs length 1 must be num_nodes + 1 (18446744073709551616)"},
        // Reported although row_ptrs[0] is wrong too.
        BadCsr{"lengths_differ", {1, 3}, {0, 0, 0}, 2, 1, "col_indices and values must have the same length"},
        BadCsr{"first_not_zero", {MAX, 2}, {0, 0}, 2, 1, "row_ptrs[0] must be 0, got 18446744073709551615"},
        // The last-element test precedes the monotonicity test.
        BadCsr{"last_wrong", {0, 3, 1}, {0, 1}, 2, 2, "row_ptrs last element (1) must equal col_indices length (2)"},
        BadCsr{"decreasing", {0, 2, 1, 3, 0, 2}, {0, 0}, 2, 5,
               "row_ptrs must be monotonically non-decreasing, found 2 followed by 1"},
        // Scanned in storage order, not row by row.
        BadCsr{"column_out_of_bounds", {0, 1, 2, 2}, {5, 3}, 2, 3,
               "col_indices[0] = 5 is out of bounds for graph with 3 nodes"}),
    [](const auto& info) { return info.param.name; });

TEST(csr_graph, canonical_input_is_moved_in_without_allocation) {
  U64s row_ptrs{0, 2, 2, 3}, cols{0, 2, 1};
  Doubles vals{1.0, NAN, 0.0};
  const void* data[] = {row_ptrs.data(), cols.data(), vals.data()};
  const auto reservations = detail::reservation_count();
  auto g = CsrGraph::from_csr(std::move(row_ptrs), std::move(cols), std::move(vals), 3);
  ASSERT_TRUE(g);
  EXPECT_EQ(detail::reservation_count(), reservations);
  EXPECT_EQ(g->row_ptrs.data(), data[0]);
  EXPECT_EQ(g->col_indices.data(), data[1]);
  EXPECT_EQ(g->values.data(), data[2]);
  EXPECT_TRUE(std::isnan(g->values[1]));  // weights, self-loops included, are never examined
}

TEST(csr_graph, canonicalize_sorts_rows_and_sums_repeats) {
  auto g = CsrGraph::from_csr({0, 1, 4, 6}, {1, 2, 0, 2, 0, 0}, {7.0, 1.0, 5.0, 0.5, 1.0, -1.0}, 3);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->row_ptrs, (U64s{0, 1, 3, 4}));
  EXPECT_EQ(g->col_indices, (U64s{1, 0, 2, 0}));
  EXPECT_EQ(g->values, (Doubles{7.0, 5.0, 1.5, 0.0}));  // a zero sum stays stored
}

TEST(csr_graph, repeats_sum_in_stored_order_for_short_and_long_rows) {
  // 1e16, then 1, then 1 sums to 1e16 (each 1 rounds away); the 1s first
  // would give 1e16 + 2. The repeats sit at the start, middle and end of a
  // shuffled row, across the insertion-sort and merge-sort lengths.
  for (std::uint64_t len : {0u, 17u, 18u, 330u}) {  // rows of 3, 20, 21 and 333 pairs
    U64s cols;
    Doubles vals;
    for (std::uint64_t k = 0; k < len; ++k) cols.push_back((k * 7919) % len), vals.push_back(double(k));
    cols.insert(cols.begin(), len), vals.insert(vals.begin(), 1e16);
    const auto mid = std::ptrdiff_t(cols.size() + 1) / 2;
    cols.insert(cols.begin() + mid, len), vals.insert(vals.begin() + mid, 1.0);
    cols.push_back(len), vals.push_back(1.0);
    U64s row_ptrs(len + 2, cols.size());
    row_ptrs[0] = 0;
    auto g = CsrGraph::from_csr(row_ptrs, cols, vals, len + 1);
    ASSERT_TRUE(g);
    EXPECT_TRUE(same_rows(canonical_rows(*g), reference_rows(row_ptrs, cols, vals))) << len;
    EXPECT_EQ(g->values.back(), 1e16) << len;
  }
}

}  // namespace
}  // namespace graphripple
