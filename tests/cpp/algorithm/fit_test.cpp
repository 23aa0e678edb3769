// Whole fits: the worked examples with values computed here from X0, and
// the engine against the serial reference on random graphs.
#include "algorithm/fit.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "algorithm/initial_embedding.h"
#include "algorithm/projection_matrix.h"
#include "algorithm/fit_test_support.h"
#include "algorithm/reference_fit.h"
#include "pool/worker_pool.h"

namespace graphripple {
namespace {

using testing::Dense;
using testing::graph_of;
using testing::random_graph;
using testing::same_bits;

FitParams params_of(std::uint64_t dim, std::vector<double> weights, bool undirected, std::uint64_t seed = 7) {
  FitParams params(dim);
  params.weights = std::move(weights);
  params.undirected = undirected;
  params.seed = seed;
  return params;
}

Dense x0_of(std::uint64_t n, std::uint64_t dim, std::uint64_t seed) {
  return testing::dense_of(build_projection_matrix(n, dim, seed).value());
}

Dense fit_dense(const CsrGraph& graph, const FitParams& params) {
  auto result = fit(graph, params);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().display());
  return testing::dense_of(result.value());
}

Dense scaled(const std::vector<float>& row, float s) {
  Dense out(1, std::vector<float>(row.size()));
  for (std::size_t j = 0; j < row.size(); ++j) out[0][j] = (row[j] * s) + 0.0f;
  return out;
}

TEST(fit, weight_sequences_on_a_two_node_graph) {
  const auto graph = graph_of(2, {0, 1, 1}, {1}, {2.0});
  const Dense x0 = x0_of(2, 8, 7);
  const Dense zeros(2, std::vector<float>(8, 0.0f));

  EXPECT_TRUE(same_bits(fit_dense(graph, params_of(8, {}, false)), zeros));
  EXPECT_TRUE(same_bits(fit_dense(graph, params_of(8, {1.0}, false)), x0));
  EXPECT_TRUE(same_bits(fit_dense(graph, params_of(8, {1.0, 0.0}, false)), x0));
  EXPECT_TRUE(same_bits(fit_dense(graph, params_of(8, {-0.0}, false)), zeros));

  // [0, 1] is T X0: node 0's only entry (weight 2) gives 2 * X0[1]; node 1
  // has no entries. Undirected, each node sees the other with weight 2.
  const Dense directed = fit_dense(graph, params_of(8, {0.0, 1.0}, false));
  EXPECT_TRUE(same_bits({directed[0]}, scaled(x0[1], 2.0f)));
  EXPECT_TRUE(same_bits({directed[1]}, {zeros[1]}));
  const Dense undirected = fit_dense(graph, params_of(8, {0.0, 1.0}, true));
  EXPECT_TRUE(same_bits({undirected[0]}, scaled(x0[1], 2.0f)));
  EXPECT_TRUE(same_bits({undirected[1]}, scaled(x0[0], 2.0f)));

  const Dense doubled = fit_dense(graph, params_of(8, {2.0}, false));
  EXPECT_TRUE(same_bits({doubled[0]}, scaled(x0[0], 2.0f)));
}

TEST(fit, both_directions_sum_when_undirected) {
  const auto graph = graph_of(2, {0, 1, 2}, {1, 0}, {1.0, 1.0});
  const Dense x0 = x0_of(2, 8, 7);
  const Dense result = fit_dense(graph, params_of(8, {0.0, 1.0}, true));
  EXPECT_TRUE(same_bits({result[0]}, scaled(x0[1], 2.0f)));
}

TEST(fit, nan_weight_makes_everything_nan) {
  const auto graph = graph_of(2, {0, 1, 1}, {1}, {2.0});
  const Dense result = fit_dense(graph, params_of(4, {std::nan("")}, false));
  for (const auto& row : result)
    for (float v : row) EXPECT_TRUE(std::isnan(v));
}

TEST(fit, tiny_weight_turns_infinite_starting_values_into_nan) {
  // A feature of 1e300 rounds to +inf, so X0 holds infinities wherever the
  // feature projection is non-zero; 1e-50 rounds to 0.0f but is non-zero.
  const auto graph = graph_of(1, {0, 0}, {}, {});
  auto params = params_of(16, {1e-50}, false, 3);
  params.node_features = MatrixF64{{1e300}, 0, 1, 1, 1, 1};
  const MatrixViewF64 features = params.node_features->view();
  const Dense x0 = testing::dense_of(initial_embedding(1, 16, 3, &features, 1.0).value());
  const Dense result = fit_dense(graph, params);
  bool saw_nan = false;
  for (std::size_t c = 0; c < 16; ++c) {
    if (std::isinf(x0[0][c])) {
      EXPECT_TRUE(std::isnan(result[0][c]));
      saw_nan = true;
    } else {
      EXPECT_EQ(result[0][c], 0.0f);
    }
  }
  EXPECT_TRUE(saw_nan);
}

TEST(fit, empty_shapes) {
  const auto graph = graph_of(3, {0, 0, 0, 0}, {}, {});
  auto no_columns = fit(graph, params_of(0, {1.0, 1.0}, true));
  ASSERT_TRUE(no_columns.has_value());
  EXPECT_EQ(no_columns->rows, 3u);
  EXPECT_EQ(no_columns->cols, 0u);
  auto no_rows = fit(graph_of(0, {0}, {}, {}), params_of(5, {1.0, 1.0}, true));
  ASSERT_TRUE(no_rows.has_value());
  EXPECT_EQ(no_rows->rows, 0u);
  EXPECT_EQ(no_rows->cols, 5u);
}

TEST(fit, errors) {
  const auto graph = graph_of(4, {0, 0, 0, 0, 0}, {}, {});
  auto params = params_of(4, {}, false);
  params.node_features = MatrixF64{std::vector<double>(3), 0, 3, 1, 1, 1};
  auto rows = fit(graph, params);
  ASSERT_FALSE(rows.has_value());
  EXPECT_EQ(rows.error().display(), "Shape mismatch: Node features row count 3 does not match graph node count 4");

  auto overflow = fit(graph, params_of(std::uint64_t{1} << 63, {1.0}, false));
  ASSERT_FALSE(overflow.has_value());
  EXPECT_EQ(overflow.error().display(), "Shape mismatch: Capacity overflow");

  auto huge = fit(graph, params_of(std::uint64_t{1} << 40, {1.0}, false));
  ASSERT_FALSE(huge.has_value());
  EXPECT_TRUE(huge.error().is_out_of_memory());
}

TEST(fit, out_of_memory_in_work_matrices) {
  const auto graph = graph_of(2, {0, 1, 2}, {1, 0}, {1.0, 1.0});
  // Reservations of an undirected fit, in order: the symmetrised graph's
  // arrays, then the projection, accumulator and next matrix, then the
  // transition scales. Failing any one of them must surface as the error.
  for (std::uint64_t k = 1; k <= 12; ++k) {
    detail::fail_reservation_after(k);
    auto result = fit(graph, params_of(4, {1.0, 1.0, 1.0}, true));
    detail::fail_reservation_after(0);
    if (result.has_value()) break;
    EXPECT_TRUE(result.error().is_out_of_memory()) << k;
  }
}

TEST(fit, matches_serial_reference_on_random_graphs) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 6; ++trial) {
    const auto graph = random_graph(rng, 60 + trial * 37, 5, trial % 2 == 1);
    auto params = params_of(3 + trial * 11, {0.5, 0.0, 1.25, -1.0, 1e-50}, trial % 3 != 0, 100 + trial);
    if (trial >= 3) {
      params.node_features = MatrixF64{std::vector<double>(graph.num_nodes * 4), 0, graph.num_nodes, 4, 1,
                                       std::int64_t(graph.num_nodes)};
      for (auto& v : params.node_features->storage) v = rng() % 3 == 0 ? 0.0 : double(rng() % 100) / 7.0;
      params.feature_weight = 0.3;
    }
    EXPECT_TRUE(same_bits(fit_dense(graph, params), testing::reference_fit(graph, params))) << trial;
  }
}

// Run by ctest with RAYON_NUM_THREADS = 1, 2 and 8: each run must produce
// the reference's bytes, so all worker counts agree with one another.
TEST(fit_thread_count, large_fit_matches_reference) {
  std::mt19937_64 rng(5);
  const auto graph = random_graph(rng, 12000, 9, false);
  ASSERT_GE(graph.nnz(), 100000u);
  const auto params = params_of(16, {1.0, 0.5, 0.25, 0.125}, true, 99);
  EXPECT_TRUE(same_bits(fit_dense(graph, params), testing::reference_fit(graph, params)))
      << "workers: " << current_num_threads();
}

}  // namespace
}  // namespace graphripple
