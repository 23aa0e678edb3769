// The matrix plan and the extended options of a fit: every weight pattern
// against the serial reference, column blocks against slices of the full
// fit, row normalisation, degree scaling, the in-direction and the
// edge-weight transforms.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "algorithm/edge_weights.h"
#include "algorithm/fit.h"
#include "algorithm/fit_test_support.h"
#include "algorithm/kernels.h"
#include "algorithm/projection_matrix.h"
#include "algorithm/reference_fit.h"
#include "pool/worker_pool.h"

namespace graphripple {
namespace {

using testing::Dense;
using testing::random_graph;
using testing::same_bits;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

FitParams params_of(std::uint64_t dim, std::vector<double> weights, bool undirected, std::uint64_t seed) {
  FitParams params(dim);
  params.weights = std::move(weights);
  params.undirected = undirected;
  params.seed = seed;
  return params;
}

void add_features(FitParams& params, std::uint64_t n, std::mt19937_64& rng) {
  params.node_features = MatrixF64{std::vector<double>(n * 3), 0, n, 3, 3, 1};
  for (auto& v : params.node_features->storage) v = rng() % 3 == 0 ? 0.0 : double(rng() % 100) / 9.0 - 4.0;
  params.feature_weight = 0.6;
}

Dense fit_dense(const CsrGraph& graph, const FitParams& params, const FitOptions& options) {
  auto result = fit(graph, params, options);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().display());
  if (!result) return {};
  return testing::dense_of(result.value());
}

// One case per branch of the plan: nothing to accumulate, X0 alone, one
// propagated term, adjacent terms (deferred first accumulation), terms
// further apart (three matrices), trailing zeros, NaN, -0.0 and a weight
// that rounds to 0.0f.
const std::vector<std::vector<double>> PLAN_WEIGHTS = {
    {},           {0.0},        {2.0},        {0.0, 1.0},       {0.0, 0.0, 1.0}, {0.0, 1.0, 1.0},
    {0, 0, 1, 1}, {1.0, 0, 0},  {0, 1, 0, 1}, {NaN},            {0.0, NaN},      {-0.0, 0.0, 1.5},
    {-0.0},       {1e-50},      {0, 1e-50},   {0.5, -1.0, 0.25}, {1, 0, 0, 0, 2}, {0, 0, 1, 0.5, 0, 0},
};

TEST(fit_plan, every_weight_pattern_matches_the_reference) {
  std::mt19937_64 rng(21);
  int trial = 0;
  for (const auto& weights : PLAN_WEIGHTS) {
    for (bool undirected : {true, false}) {
      for (bool features : {false, true}) {
        const auto graph = random_graph(rng, 50 + trial % 30, 4, trial % 3 == 0);
        auto params = params_of(13 + trial % 4 * 8, weights, undirected, 500 + trial);
        if (features) add_features(params, graph.num_nodes, rng);
        EXPECT_TRUE(same_bits(fit_dense(graph, params, {}), testing::reference_fit(graph, params)))
            << "trial " << trial << " weights " << ::testing::PrintToString(weights);
        ++trial;
      }
    }
  }
}

TEST(fit_plan, every_width_takes_the_same_bytes_on_both_paths) {
  // Widths around the SIMD pass sizes (8, 16, 32, 64 columns).
  std::mt19937_64 rng(19);
  const auto graph = random_graph(rng, 70, 5, true);
  for (std::uint64_t dim = 1; dim <= 137; dim += (dim < 72 ? 1 : 13)) {
    for (bool normalize : {false, true}) {
      FitOptions options;
      options.normalize = normalize;
      const auto params = params_of(dim, {0.5, 1.0, 0.0, 1.0}, true, dim);
      detail::set_force_portable_propagation(true);
      const Dense portable = fit_dense(graph, params, options);
      detail::set_force_portable_propagation(false);
      EXPECT_TRUE(same_bits(portable, fit_dense(graph, params, options))) << "dim " << dim;
    }
  }
}

TEST(fit_plan, portable_propagation_gives_the_same_bytes) {
  std::mt19937_64 rng(8);
  const auto graph = random_graph(rng, 90, 5, true);
  for (const auto& weights : PLAN_WEIGHTS) {
    for (bool normalize : {false, true}) {
      FitOptions options;
      options.normalize = normalize;
      const auto params = params_of(70, weights, true, 3);
      detail::set_force_portable_propagation(true);
      const Dense portable = fit_dense(graph, params, options);
      detail::set_force_portable_propagation(false);
      EXPECT_TRUE(same_bits(portable, fit_dense(graph, params, options)));
      EXPECT_TRUE(same_bits(portable, testing::reference_fit(graph, params, options)));
    }
  }
}

TEST(fit_blocks, blocks_equal_slices_of_the_full_fit) {
  std::mt19937_64 rng(4);
  int trial = 0;
  for (std::uint64_t dim : {1u, 9u, 31u, 70u}) {
    for (bool undirected : {true, false}) {
      for (bool features : {false, true}) {
        const auto graph = random_graph(rng, 40 + trial, 4, trial % 2 == 0);
        auto params = params_of(dim, {0.25, 0.0, 1.0, -0.5}, undirected, 77 + trial);
        if (features) add_features(params, graph.num_nodes, rng);
        FitOptions full;
        full.degree_exponent = trial % 3 == 0 ? -0.5 : 0.0;
        full.direction = !undirected && trial % 2 == 1 ? Direction::in : Direction::out;
        const Dense whole = fit_dense(graph, params, full);
        const std::uint64_t bounds[] = {0, 1, 7, dim - 1, dim};
        for (std::uint64_t start : bounds) {
          for (std::uint64_t stop : bounds) {
            if (start > stop || stop > dim) continue;
            FitOptions block = full;
            block.column_start = start;
            block.column_stop = stop;
            Dense expected(whole.size());
            for (std::size_t r = 0; r < whole.size(); ++r)
              expected[r].assign(whole[r].begin() + std::ptrdiff_t(start), whole[r].begin() + std::ptrdiff_t(stop));
            auto result = fit(graph, params, block);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(result->cols, stop - start);
            EXPECT_TRUE(same_bits(testing::dense_of(*result), expected))
                << "dim " << dim << " columns [" << start << ", " << stop << ") trial " << trial;
          }
        }
        ++trial;
      }
    }
  }
}

TEST(projection_columns, windows_equal_slices_of_the_whole_matrix) {
  // 11 rows: two groups of four on the vector path, three on the scalar one.
  for (std::uint64_t cols : {1u, 8u, 21u, 64u}) {
    const MatrixF32 whole = build_projection_matrix(11, cols, 42).value();
    for (std::uint64_t start = 0; start <= cols; start += 3) {
      for (std::uint64_t stop : {start, std::min(cols, start + 1), std::min(cols, start + 9), cols}) {
        const MatrixF32 window = build_projection_columns(11, start, stop, 42).value();
        ASSERT_EQ(window.cols, stop - start);
        for (std::uint64_t r = 0; r < 11; ++r)
          for (std::uint64_t c = start; c < stop; ++c)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(window.at(r, c - start)), std::bit_cast<std::uint32_t>(whole.at(r, c)))
                << cols << " [" << start << ", " << stop << ") row " << r;
      }
    }
  }
}

TEST(fit_options, normalisation_degree_and_direction_match_the_reference) {
  std::mt19937_64 rng(13);
  int trial = 0;
  for (const auto& weights : PLAN_WEIGHTS) {
    FitOptions options;
    options.normalize = trial % 2 == 0;
    options.degree_exponent = trial % 3 == 0 ? 0.0 : trial % 3 == 1 ? -0.5 : 1.25;
    const bool undirected = trial % 4 >= 2;
    if (!undirected && trial % 5 != 0) options.direction = Direction::in;
    const auto graph = random_graph(rng, 64, 4, trial % 5 == 1);
    auto params = params_of(24 + trial % 3 * 9, weights, undirected, 900 + trial);
    if (trial % 3 == 2) add_features(params, graph.num_nodes, rng);
    EXPECT_TRUE(same_bits(fit_dense(graph, params, options), testing::reference_fit(graph, params, options)))
        << "trial " << trial;
    ++trial;
  }
}

TEST(fit_options, normalised_propagations_have_unit_rows) {
  // [0, 1] with normalisation is X1 with unit rows; rows of isolated nodes
  // stay zero.
  std::mt19937_64 rng(2);
  const auto graph = random_graph(rng, 80, 3, false);
  FitOptions options;
  options.normalize = true;
  const Dense x1 = fit_dense(graph, params_of(40, {0.0, 1.0}, true, 5), options);
  const auto rows = testing::rows_of(graph, true);
  for (std::size_t r = 0; r < x1.size(); ++r) {
    double norm = 0.0;
    for (float v : x1[r]) norm += double(v) * double(v);
    if (rows[r].empty()) {
      EXPECT_EQ(norm, 0.0);
    } else {
      EXPECT_NEAR(std::sqrt(norm), 1.0, 1e-6) << r;
    }
  }
}

TEST(fit_options, degree_exponent_scales_starting_rows) {
  // A star: the centre has 3 entries, the leaves 1, node 4 none. With
  // weights [1] the result is X0 with row i times f32(deg(i) ** beta).
  const auto graph = testing::graph_of(5, {0, 3, 3, 3, 3, 3}, {1, 2, 3}, {1.0, 1.0, 1.0});
  const auto params = params_of(16, {1.0}, true, 9);
  FitOptions options;
  options.degree_exponent = -0.5;
  const Dense plain = fit_dense(graph, params, {});
  const Dense scaled = fit_dense(graph, params, options);
  const float centre = static_cast<float>(std::pow(3.0, -0.5));
  for (std::size_t j = 0; j < 16; ++j) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(scaled[0][j]), std::bit_cast<std::uint32_t>((plain[0][j] * centre) + 0.0f));
    EXPECT_EQ(scaled[1][j], plain[1][j]);
    EXPECT_EQ(scaled[4][j], plain[4][j]);
  }
}

TEST(transition, transposed_rows_hold_predecessors_with_zero_weights_kept) {
  // 0 -> 1 (2.0), 0 -> 2 (0.0), 2 -> 1 (4.0): A^T row 1 = {0: 2, 2: 4}, row 2 = {0: 0}.
  const auto graph = testing::graph_of(3, {0, 2, 2, 3}, {1, 2, 1}, {2.0, 0.0, 4.0});
  const auto t = TransitionMatrix::from_transposed(graph).value();
  EXPECT_EQ(std::vector<std::uint64_t>(t.row_ptrs, t.row_ptrs + 4), (std::vector<std::uint64_t>{0, 0, 2, 3}));
  EXPECT_EQ(t.narrow_cols, (std::vector<std::uint32_t>{0, 2, 0}));
  EXPECT_EQ(t.scales, (std::vector<float>{1.0f, 2.0f, 0.0f}));
}

TEST(edge_weights, transforms_and_the_log1p_refusal) {
  auto graph = testing::graph_of(3, {0, 2, 2, 3}, {1, 2, 1}, {2.5, 0.0, -0.0});
  auto binary = graph;
  EXPECT_FALSE(transform_edge_weights(binary, EdgeWeight::binary));
  EXPECT_EQ(binary.values, (std::vector<double>{1.0, 1.0, 1.0}));
  auto logged = graph;
  EXPECT_FALSE(transform_edge_weights(logged, EdgeWeight::log1p));
  EXPECT_EQ(logged.values[0], std::log1p(2.5));
  EXPECT_TRUE(std::signbit(logged.values[2]));  // log1p(-0.0) = -0.0

  for (double bad : {-1.5, NaN}) {
    auto refused = graph;
    refused.values[2] = bad;
    const auto message = transform_edge_weights(refused, EdgeWeight::log1p);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "edge_weight='log1p' needs non-negative edge weights, but the weight of edge 2 -> 1 is " +
                            std::string(std::isnan(bad) ? "nan" : "-1.5"));
    EXPECT_EQ(refused.values[0], 2.5);  // untouched
  }
}

TEST(normalize_row, fixed_order_on_every_path) {
  std::mt19937 rng(17);
  const float specials[] = {0.0f, -0.0f, 1e30f, -1e-30f, 1e-42f, 3.0f, -7.5f};
  std::uniform_real_distribution<float> uniform(-3.0f, 3.0f);
  for (std::size_t length = 0; length <= 70; ++length) {
    for (int variant = 0; variant < 6; ++variant) {
      std::vector<float> row(length);
      for (auto& v : row) v = variant >= 3 && rng() % 3 == 0 ? specials[rng() % std::size(specials)] : uniform(rng);
      if (variant == 5 && length > 0) row[rng() % length] = std::numeric_limits<float>::quiet_NaN();
      std::vector<float> expected = row, scalar = row, avx2 = row, dispatched = row;
      testing::reference_normalize(expected);
      detail::normalize_row_scalar(scalar.data(), length);
      detail::normalize_row_avx2(avx2.data(), length);
      normalize_row(dispatched.data(), length);
      for (const auto* got : {&scalar, &avx2, &dispatched})
        EXPECT_TRUE(same_bits({*got}, {expected})) << "length " << length << " variant " << variant;
    }
  }
}

TEST(normalize_row, zero_tiny_huge_and_infinite_rows) {
  auto normalized = [](std::vector<float> row) {
    normalize_row(row.data(), row.size());
    return row;
  };
  EXPECT_EQ(normalized({3.0f, 4.0f}), (std::vector<float>{0.6f, 0.8f}));
  const auto zeros = normalized({0.0f, -0.0f, 0.0f});
  EXPECT_TRUE(std::signbit(zeros[1]));  // left exactly as it was
  EXPECT_EQ(zeros, (std::vector<float>{0.0f, 0.0f, 0.0f}));
  // Squares that overflow or underflow still give a unit row.
  for (float scale : {1e30f, 1e-30f, 1e-42f}) {
    const auto row = normalized({3.0f * scale, -4.0f * scale});
    EXPECT_NEAR(row[0], 0.6f, 1e-6f) << scale;
    EXPECT_NEAR(row[1], -0.8f, 1e-6f) << scale;
  }
  for (float bad : {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
    for (float v : normalized({1.0f, bad, 2.0f})) EXPECT_TRUE(std::isnan(v));
}

// Run by ctest with RAYON_NUM_THREADS = 1, 2 and 8, like the plain large fit.
TEST(fit_thread_count, options_fit_matches_reference) {
  std::mt19937_64 rng(6);
  const auto graph = random_graph(rng, 9000, 8, false);
  for (bool undirected : {true, false}) {
    auto params = params_of(20, {0.0, 1.0, 0.0, 0.5}, undirected, 31);
    FitOptions options;
    options.normalize = true;
    options.degree_exponent = -0.5;
    if (!undirected) options.direction = Direction::in;
    EXPECT_TRUE(same_bits(fit_dense(graph, params, options), testing::reference_fit(graph, params, options)))
        << "workers: " << current_num_threads();
  }
}

}  // namespace
}  // namespace graphripple
