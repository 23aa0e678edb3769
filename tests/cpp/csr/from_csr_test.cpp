// from_csr validation messages, canonicalisation and its memory behaviour.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "csr/csr_graph.h"
#include "csr_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using test::fails_with;
using U64s = std::vector<std::uint64_t>;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

struct BadCsr {
  const char* name;
  U64s row_ptrs;
  U64s col_indices;
  std::size_t value_count;
  std::uint64_t num_nodes;
  std::string message;
};

void PrintTo(const BadCsr& c, std::ostream* os) { *os << c.name; }

class FromCsrRejects : public ::testing::TestWithParam<BadCsr> {};

TEST_P(FromCsrRejects, with_exact_message) {
  const BadCsr& c = GetParam();
  auto graph = CsrGraph::from_csr(c.row_ptrs, c.col_indices, std::vector<double>(c.value_count, 1.0), c.num_nodes);
  EXPECT_TRUE(fails_with(graph, c.message));
}

INSTANTIATE_TEST_SUITE_P(
    csr_graph, FromCsrRejects,
    ::testing::Values(
        BadCsr{"short_row_ptrs", {0}, {}, 0, 1, "row_ptrs length 1 must be num_nodes + 1 (2)"},
        BadCsr{"empty_row_ptrs", {}, {}, 0, 0, "row_ptrs length 0 must be num_nodes + 1 (1)"},
        BadCsr{"num_nodes_max", {0}, {}, 0, U64_MAX,
               "row_ptrs length 1 must be num_nodes + 1 (18446744073709551616)"},
        // Step 2 is reported even though row_ptrs[0] is wrong as well.
        BadCsr{"lengths_differ", {1, 3}, {0, 0, 0}, 2, 1, "col_indices and values must have the same length"},
        BadCsr{"first_not_zero", {1, 2}, {0, 0}, 2, 1, "row_ptrs[0] must be 0, got 1"},
        BadCsr{"negative_first", {U64_MAX, 0}, {}, 0, 1, "row_ptrs[0] must be 0, got 18446744073709551615"},
        BadCsr{"last_wrong", {0, 1, 3}, {0, 1}, 2, 2, "row_ptrs last element (3) must equal col_indices length (2)"},
        // Step 4 precedes step 5: this row_ptrs both decreases and ends wrongly.
        BadCsr{"last_before_monotone", {0, 3, 1}, {0, 1}, 2, 2,
               "row_ptrs last element (1) must equal col_indices length (2)"},
        BadCsr{"decreasing", {0, 3, 2}, {0, 1}, 2, 2,
               "row_ptrs must be monotonically non-decreasing, found 3 followed by 2"},
        BadCsr{"first_decrease_reported", {0, 2, 1, 3, 0, 2}, {0, 0}, 2, 5,
               "row_ptrs must be monotonically non-decreasing, found 2 followed by 1"},
        BadCsr{"column_out_of_bounds", {0, 2, 2, 2}, {0, 3}, 2, 3,
               "col_indices[1] = 3 is out of bounds for graph with 3 nodes"},
        BadCsr{"negative_column", {0, 1, 1, 1}, {U64_MAX}, 1, 3,
               "col_indices[0] = 18446744073709551615 is out of bounds for graph with 3 nodes"},
        // Scanned in storage order, not row by row.
        BadCsr{"first_bad_column_in_storage", {0, 1, 2}, {9, 7}, 2, 2,
               "col_indices[0] = 9 is out of bounds for graph with 2 nodes"}),
    [](const auto& info) { return info.param.name; });

TEST(csr_graph, accepts_empty_graphs) {
  for (std::uint64_t n : {0u, 2u}) {
    auto graph = CsrGraph::from_csr(U64s(n + 1, 0), {}, {}, n);
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->row_ptrs, U64s(n + 1, 0));
    EXPECT_EQ(graph->nnz(), 0u);
  }
}

TEST(csr_graph, canonical_input_is_moved_in_without_allocation) {
  U64s row_ptrs{0, 2, 2, 3};
  U64s cols{0, 2, 1};
  std::vector<double> vals{1.0, NAN, 0.0};
  const auto* rp = row_ptrs.data();
  const auto* cp = cols.data();
  const auto* vp = vals.data();
  const auto reservations = detail::reservation_count();
  auto graph = CsrGraph::from_csr(std::move(row_ptrs), std::move(cols), std::move(vals), 3);
  ASSERT_TRUE(graph.has_value());
  EXPECT_EQ(detail::reservation_count(), reservations);
  EXPECT_EQ(graph->row_ptrs.data(), rp);
  EXPECT_EQ(graph->col_indices.data(), cp);
  EXPECT_EQ(graph->values.data(), vp);
  // Self-loop (0, 0), NaN and an explicit zero are ordinary entries.
  EXPECT_EQ(graph->col_indices, (U64s{0, 2, 1}));
  EXPECT_TRUE(std::isnan(graph->values[1]));
}

TEST(csr_graph, canonicalize_sorts_and_sums_repeated_columns) {
  // Row 1 has columns [2, 0, 2]; rows 0 and 2 are already sorted.
  auto graph = CsrGraph::from_csr({0, 1, 4, 6}, {1, 2, 0, 2, 0, 1}, {7.0, 1.0, 5.0, 0.5, 1.0, -1.0}, 3);
  ASSERT_TRUE(graph.has_value());
  EXPECT_EQ(graph->row_ptrs, (U64s{0, 1, 3, 5}));
  EXPECT_EQ(graph->col_indices, (U64s{1, 0, 2, 0, 1}));
  EXPECT_EQ(graph->values, (std::vector<double>{7.0, 5.0, 1.5, 1.0, -1.0}));

  // A sum of zero stays as a stored entry.
  auto cancel = CsrGraph::from_csr({0, 2}, {0, 0}, {1.0, -1.0}, 1);
  ASSERT_TRUE(cancel.has_value());
  EXPECT_EQ(cancel->col_indices, U64s{0});
  EXPECT_EQ(cancel->values, std::vector<double>{0.0});
}

TEST(csr_graph, repeated_columns_sum_in_stored_order_for_every_row_length) {
  // Summed in stored order, 1e16 then 1 then 1 gives 1e16 (each 1 is lost
  // to rounding); the two 1s first would give 1e16 + 2. The three repeats
  // sit at the start, middle and end of a shuffled row, so the sort has to
  // move them while keeping their relative order.
  for (std::uint64_t len : {3u, 20u, 21u, 64u, 333u}) {
    U64s cols;
    std::vector<double> vals;
    for (std::uint64_t k = 0; k + 3 < len; ++k) {
      cols.push_back((k * 7919) % len);
      vals.push_back(double(k));
    }
    cols.insert(cols.begin(), len);
    vals.insert(vals.begin(), 1e16);
    cols.insert(cols.begin() + std::ptrdiff_t(cols.size() / 2), len);
    vals.insert(vals.begin() + std::ptrdiff_t(vals.size() / 2), 1.0);
    cols.push_back(len);
    vals.push_back(1.0);
    U64s row_ptrs(len + 2, cols.size());  // one full row, then empty ones
    row_ptrs[0] = 0;
    const auto want = test::reference_rows(row_ptrs, cols, vals);
    auto graph = CsrGraph::from_csr(row_ptrs, cols, vals, len + 1);
    ASSERT_TRUE(graph.has_value());
    EXPECT_TRUE(test::is_canonical(*graph)) << len;
    EXPECT_TRUE(test::same_rows(test::to_maps(*graph), want)) << len;
    EXPECT_EQ(graph->values.back(), 1e16) << len;  // column len sorts last
  }
}

TEST(csr_graph, matches_reference_on_random_graphs) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t n = rng() % 40;
    U64s row_ptrs{0};
    U64s cols;
    std::vector<double> vals;
    for (std::uint64_t i = 0; i < n; ++i) {
      // Mostly short rows, some beyond the insertion-sort length.
      const std::uint64_t len = rng() % 8 == 0 ? rng() % 90 : rng() % 6;
      for (std::uint64_t k = 0; k < len; ++k) {
        cols.push_back(rng() % n);
        vals.push_back(double(std::int64_t(rng() % 9) - 4) * 0.25);
      }
      row_ptrs.push_back(cols.size());
    }
    const auto want = test::reference_rows(row_ptrs, cols, vals);
    auto graph = CsrGraph::from_csr(row_ptrs, cols, vals, n);
    ASSERT_TRUE(graph.has_value());
    ASSERT_TRUE(test::is_canonical(*graph));
    ASSERT_TRUE(test::same_rows(test::to_maps(*graph), want)) << "round " << round;
  }
}

TEST(csr_graph, canonicalize_out_of_memory_is_an_error_and_leaves_graph_intact) {
  // One long unsorted row needs the new row_ptrs, the scratch row and the
  // merge buffer: refuse each in turn.
  U64s cols;
  std::vector<double> vals;
  for (std::uint64_t k = 0; k < 30; ++k) {
    cols.push_back(29 - k);
    vals.push_back(double(k));
  }
  const CsrGraph before{{0, 30, 30}, cols, vals, 2};
  int refused = 0;
  for (std::uint64_t k = 1;; ++k) {
    CsrGraph graph = before;
    detail::fail_reservation_after(k);
    Status status = graph.canonicalize();
    detail::fail_reservation_after(0);
    if (status) break;
    ++refused;
    ASSERT_TRUE(status.error().is_out_of_memory());
    EXPECT_EQ(graph.row_ptrs, before.row_ptrs);
    EXPECT_EQ(graph.col_indices, before.col_indices);
    EXPECT_EQ(graph.values, before.values);
  }
  EXPECT_EQ(refused, 3);
}

}  // namespace
}  // namespace graphripple
