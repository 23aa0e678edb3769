// Every builder against the map-based references on random graphs, and the
// out-of-memory path of every builder through the reservation seam.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "csr_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using namespace test;

TEST(csr_graph, builders_match_references_on_random_graphs) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t n = rng() % 40;
    U64s row_ptrs{0}, cols;
    Doubles vals;
    AdjacencyList lists(n);
    for (auto& list : lists) {
      // Mostly short rows, a few past the insertion-sort length; small
      // integer weights and zeros of both signs make cancellations common.
      const std::uint64_t len = rng() % 8 == 0 ? rng() % 90 : rng() % 6;
      for (std::uint64_t k = 0; k < len; ++k) {
        cols.push_back(rng() % n);
        vals.push_back(rng() % 16 == 0 ? -0.0 : double(std::int64_t(rng() % 5) - 2));
        list.emplace_back(cols.back(), vals.back());
      }
      row_ptrs.push_back(cols.size());
    }
    const RowMaps want = reference_rows(row_ptrs, cols, vals);

    auto g = CsrGraph::from_csr(row_ptrs, cols, vals, n);
    ASSERT_TRUE(g);
    ASSERT_TRUE(same_rows(canonical_rows(*g), want)) << "from_csr, round " << round;
    auto from_list = CsrGraph::from_adj_list(std::move(lists));
    ASSERT_TRUE(from_list);
    ASSERT_TRUE(same_rows(canonical_rows(*from_list), want)) << "from_adj_list, round " << round;

    // The canonical graph as a dense matrix: its non-zeros come back.
    Doubles dense(n * n, 0.0);
    RowMaps nonzero(n);
    for (std::uint64_t i = 0; i < n; ++i)
      for (const auto& [j, w] : want[i])
        if (w != 0.0) dense[i * n + j] = nonzero[i][j] = w;
    auto from_dense = CsrGraph::from_dense({dense.data(), n, n, std::int64_t(n), 1});
    ASSERT_TRUE(from_dense);
    ASSERT_TRUE(same_rows(canonical_rows(*from_dense), nonzero)) << "from_dense, round " << round;

    const CsrGraph before = *g;
    auto s = symmetrized_graph(*g);
    ASSERT_TRUE(s);
    ASSERT_TRUE(same_rows(canonical_rows(*s), reference_symmetrize(want))) << "symmetrize, round " << round;
    ASSERT_TRUE(g->col_indices == before.col_indices && g->row_ptrs == before.row_ptrs);
  }
}

TEST(csr_graph, every_refused_reservation_is_out_of_memory) {
  const double dense[4] = {0.0, 1.0, 1.0, 0.0};
  U64s unsorted_cols;
  for (std::uint64_t k = 0; k < 30; ++k) unsorted_cols.push_back(29 - k);
  const CsrGraph unsorted{{0, 30, 30}, unsorted_cols, Doubles(30, 1.0), 2};
  const struct {
    const char* name;
    std::function<bool()> build;  // true on success; asserts the error kind otherwise
    int reservations;
  } cases[] = {
      // new row_ptrs, scratch row, merge buffer; the graph is left as it was
      {"canonicalize", [&] {
         CsrGraph g = unsorted;
         Status status = g.canonicalize();
         EXPECT_TRUE(status || (status.error().is_out_of_memory() && g.col_indices == unsorted.col_indices));
         return bool(status);
       }, 3},
      {"from_dense", [&] {
         auto g = CsrGraph::from_dense({dense, 2, 2, 2, 1});
         EXPECT_TRUE(g || g.error().is_out_of_memory());
         return bool(g);
       }, 3},
      {"from_adj_list", [] {
         auto g = CsrGraph::from_adj_list({{{1, 1.0}}, {{0, 1.0}}});
         EXPECT_TRUE(g || g.error().is_out_of_memory());
         return bool(g);
       }, 3},
      // transpose starts and entries
      {"symmetrized_rows", [] {
         const CsrGraph graph{{0, 1, 2}, {1, 1}, {1.0, 1.0}, 2};
         auto rows = SymmetrizedRows::prepare(graph);
         EXPECT_TRUE(rows || rows.error().is_out_of_memory());
         return bool(rows);
       }, 2},
  };
  for (const auto& c : cases) {
    int refused = 0;
    for (std::uint64_t k = 1;; ++k) {
      detail::fail_reservation_after(k);
      const bool built = c.build();
      detail::fail_reservation_after(0);
      if (built) break;
      ++refused;
    }
    EXPECT_EQ(refused, c.reservations) << c.name;
  }
}

}  // namespace
}  // namespace graphripple
