// The locality order: fits propagated in it give the bytes of the stored
// order under every option, and the automatic choice takes it only where
// the stored order scatters neighbours that the cluster order groups.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "algorithm/fit.h"
#include "algorithm/fit_test_support.h"
#include "algorithm/locality_order.h"
#include "pool/worker_pool.h"

namespace graphripple {
namespace {

using testing::Dense;
using testing::same_bits;

// Blocks of `block` nodes, `links` in-block links per node and one link in
// ten anywhere, node ids shuffled: the order groups what the ids scatter.
CsrGraph shuffled_blocks(std::uint64_t n, std::uint64_t block, std::uint64_t links, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> label(n);
  std::iota(label.begin(), label.end(), 0);
  std::shuffle(label.begin(), label.end(), rng);
  std::vector<std::vector<std::uint64_t>> rows(n);
  for (std::uint64_t v = 0; v < n; ++v) {
    const std::uint64_t first = v / block * block, size = std::min(block, n - first);
    for (std::uint64_t l = 0; l < links; ++l) {
      const std::uint64_t target = rng() % 10 == 0 ? rng() % n : first + rng() % size;
      rows[label[v]].push_back(label[target]);
    }
  }
  std::vector<std::uint64_t> row_ptrs{0}, cols;
  std::vector<double> values;
  for (auto& row : rows) {
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
    for (std::uint64_t c : row) {
      cols.push_back(c);
      values.push_back(double(rng() % 7) / 2.0 - 0.5);  // zeros and negatives too
    }
    row_ptrs.push_back(cols.size());
  }
  return testing::graph_of(n, std::move(row_ptrs), std::move(cols), std::move(values));
}

Dense fitted(const CsrGraph& graph, const FitParams& params, FitOptions options, RowOrdering ordering) {
  options.row_order = ordering;
  auto result = fit(graph, params, options);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().display());
  return result ? testing::dense_of(result.value()) : Dense{};
}

// One weight pattern per branch of the matrix plan.
const std::vector<std::vector<double>> WEIGHTS = {
    {0.0, 1.0}, {0.0, 1.0, 1.0}, {0, 0, 1, 1}, {1.0, 0, 0, 2.0}, {0.5, -1.0, 0.25}, {0, 1, 0, 1}, {3.0},
};

TEST(locality_order, every_option_gives_the_bytes_of_the_stored_order) {
  const CsrGraph graph = shuffled_blocks(300, 12, 4, 1);
  std::mt19937_64 rng(2);
  int trial = 0;
  for (const auto& weights : WEIGHTS) {
    for (int shape = 0; shape < 4; ++shape) {
      FitParams params(11 + trial % 3 * 20);
      params.weights = weights;
      params.seed = 40 + trial;
      FitOptions options;
      switch (shape) {
        case 0:  // undirected, features, column range
          params.node_features = MatrixF64{std::vector<double>(graph.num_nodes * 2), 0, graph.num_nodes, 2, 2, 1};
          for (auto& v : params.node_features->storage) v = double(rng() % 9) - 4.0;
          options.column_start = 3;
          options.column_stop = params.dim - 1;
          break;
        case 1:  // normalised rows, degree scaling
          options.normalize = true;
          options.degree_exponent = -0.75;
          break;
        case 2:  // directed, both directions
          params.undirected = false;
          options.direction = Direction::both;
          break;
        case 3:  // the terms side by side, the in-direction
          params.undirected = false;
          options.direction = Direction::in;
          options.combine = Combine::concat;
          break;
      }
      const Dense stored = fitted(graph, params, options, RowOrdering::stored);
      if (shape < 2) {  // the serial reference has one direction and sums its terms
        EXPECT_TRUE(same_bits(stored, testing::reference_fit(graph, params, options))) << "trial " << trial;
      }
      EXPECT_TRUE(same_bits(stored, fitted(graph, params, options, RowOrdering::locality)))
          << "trial " << trial << " shape " << shape;
      ++trial;
    }
  }
}

TEST(locality_order, column_blocks_of_an_ordered_fit_write_the_callers_rows) {
  const CsrGraph graph = shuffled_blocks(200, 10, 3, 3);
  FitParams params(24);
  params.weights = {0.0, 1.0, 0.5};
  params.seed = 9;
  FitOptions options;
  options.row_order = RowOrdering::locality;
  auto whole = fit(graph, params, options);
  ASSERT_TRUE(whole.has_value());
  std::vector<float> blocked(graph.num_nodes * params.dim, -1.0f);
  const StridedOutput out{reinterpret_cast<char*>(blocked.data()), graph.num_nodes, params.dim,
                          std::int64_t(params.dim * sizeof(float)), sizeof(float)};
  ASSERT_TRUE(fit_into(graph, params, options, 5, out));
  EXPECT_TRUE(std::equal(blocked.begin(), blocked.end(), whole.value().data.data(),
                         [](float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }));
}

// Wide rows make small graphs big enough for the automatic choice to look.
constexpr std::uint64_t WIDE = 16384;

std::optional<RowOrder> automatic_order(const CsrGraph& graph) {
  auto transition = TransitionMatrix::from_graph(graph);
  EXPECT_TRUE(transition.has_value());
  return choose_locality_order(transition.value(), WIDE, RowOrdering::automatic);
}

TEST(locality_order, automatic_choice_orders_only_scattered_communities) {
  EXPECT_TRUE(automatic_order(shuffled_blocks(4096, 16, 6, 4)).has_value());
  // The same blocks with their ids in block order are local already.
  CsrGraph ring = testing::graph_of(4096, {0}, {}, {});
  for (std::uint64_t v = 0; v < 4096; ++v) {
    for (std::uint64_t c : {(v + 4095) % 4096, (v + 1) % 4096}) {
      ring.col_indices.push_back(c);
      ring.values.push_back(1.0);
    }
    std::sort(ring.col_indices.end() - 2, ring.col_indices.end());
    ring.row_ptrs.push_back(ring.col_indices.size());
  }
  EXPECT_FALSE(automatic_order(ring).has_value());
  // Too small for the rows to leave the caches.
  auto small = TransitionMatrix::from_graph(shuffled_blocks(500, 16, 6, 4));
  ASSERT_TRUE(small.has_value());
  EXPECT_FALSE(choose_locality_order(small.value(), 128, RowOrdering::automatic).has_value());
  EXPECT_FALSE(choose_locality_order(small.value(), WIDE, RowOrdering::stored).has_value());
}

TEST(locality_order, forced_order_is_a_permutation_across_components) {
  // A chain 0 -> 2 -> 4 -> 0, isolated rows and rows with no out-links:
  // 2 joins 0's cluster as its neighbour, 4 has one link from it and starts
  // a cluster of its own; every row is placed exactly once.
  const CsrGraph graph = testing::graph_of(7, {0, 1, 1, 2, 2, 3, 3, 3}, {2, 4, 0}, {1.0, 1.0, 1.0});
  auto transition = TransitionMatrix::from_graph(graph);
  ASSERT_TRUE(transition.has_value());
  auto order = choose_locality_order(transition.value(), 1, RowOrdering::locality);
  ASSERT_TRUE(order.has_value());
  EXPECT_EQ(order->old_of, (std::vector<std::uint64_t>{0, 2, 1, 3, 4, 5, 6}));
  for (std::uint64_t i = 0; i < 7; ++i) EXPECT_EQ(order->old_of[order->new_of[i]], i);
}

// Run by ctest with RAYON_NUM_THREADS = 1, 2 and 8, like the plain large fit.
TEST(fit_thread_count, locality_order_matches_reference) {
  const CsrGraph graph = shuffled_blocks(6000, 50, 6, 5);
  FitParams params(20);
  params.weights = {0.0, 1.0, 0.0, 0.5};
  params.seed = 77;
  FitOptions options;
  options.row_order = RowOrdering::locality;
  EXPECT_TRUE(same_bits(fitted(graph, params, options, RowOrdering::locality), testing::reference_fit(graph, params)))
      << "workers: " << current_num_threads();
}

}  // namespace
}  // namespace graphripple
