// Blocked fits over one prepared graph: fit_into against one fit of the
// whole column range, into row-major, padded, column-major and reversed
// destinations; PreparedFit's blocks are repeatable; failures leave the
// columns of unfitted blocks untouched.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "algorithm/fit.h"
#include "algorithm/fit_test_support.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

using testing::Dense;
using testing::random_graph;
using testing::same_bits;

// A caller's buffer of rows x cols floats laid out with the given element
// strides (in floats); reversed rows start at the end of the buffer.
struct Destination {
  std::vector<float> storage;
  StridedOutput out;

  Destination(std::uint64_t rows, std::uint64_t cols, std::int64_t row_stride, std::int64_t col_stride,
              bool reversed_rows)
      : storage(std::max<std::uint64_t>(1, rows * std::uint64_t(std::max(row_stride, col_stride)) + cols + 8),
                std::bit_cast<float>(0x7FC0DEADu)) {
    char* base = reinterpret_cast<char*>(storage.data());
    std::int64_t rs = row_stride * std::int64_t(sizeof(float));
    if (reversed_rows && rows > 0) {
      base += (std::int64_t(rows) - 1) * rs;
      rs = -rs;
    }
    out = StridedOutput{base, rows, cols, rs, col_stride * std::int64_t(sizeof(float))};
  }

  Dense dense() const {
    Dense result(out.rows, std::vector<float>(out.cols));
    for (std::uint64_t r = 0; r < out.rows; ++r)
      for (std::uint64_t c = 0; c < out.cols; ++c)
        std::memcpy(&result[r][c], out.data + std::int64_t(r) * out.row_stride + std::int64_t(c) * out.col_stride,
                    sizeof(float));
    return result;
  }
};

FitParams params_of(std::uint64_t dim, std::vector<double> weights, bool undirected) {
  FitParams params(dim);
  params.weights = std::move(weights);
  params.undirected = undirected;
  params.seed = 0xFFFFFFFFFFFFFFF0ull;
  return params;
}

Dense whole_fit(const CsrGraph& graph, const FitParams& params, const FitOptions& options) {
  auto result = fit(graph, params, options);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().display());
  return result ? testing::dense_of(*result) : Dense{};
}

TEST(fit_into, blocks_into_any_layout_equal_one_fit) {
  std::mt19937_64 rng(31);
  struct Case {
    std::uint64_t dim, start, stop;
    std::vector<double> weights;
    bool undirected;
    Direction direction;
    double degree_exponent;
    bool normalize;
    bool features;
  };
  const std::vector<Case> cases = {
      {13, 0, 13, {0.0, 1.0, 1.0}, true, Direction::out, 0.0, false, false},
      {13, 2, 11, {0.25, 0.0, 1.0, -0.5}, false, Direction::in, -0.5, false, true},
      {9, 0, 9, {1.0, 0.5, 0.0, 0.25}, true, Direction::out, 0.5, true, true},
      {17, 5, 17, {2.0}, false, Direction::out, 0.0, false, true},
      {8, 3, 3, {0.0, 1.0}, true, Direction::out, 0.0, false, false},
      {7, 0, 7, {}, true, Direction::out, 0.0, false, false},
  };
  int trial = 0;
  for (const Case& c : cases) {
    const auto graph = random_graph(rng, 30 + trial, 4, trial % 2 == 0);
    FitParams params = params_of(c.dim, c.weights, c.undirected);
    if (c.features) {
      params.node_features = MatrixF64{std::vector<double>(graph.num_nodes * 2), 0, graph.num_nodes, 2, 2, 1};
      for (auto& v : params.node_features->storage) v = double(rng() % 7) - 3.0;
    }
    FitOptions options;
    options.column_start = c.start;
    options.column_stop = c.stop;
    options.direction = c.direction;
    options.degree_exponent = c.degree_exponent;
    options.normalize = c.normalize;
    const Dense expected = whole_fit(graph, params, options);
    const std::uint64_t width = c.stop - c.start;
    for (std::uint64_t block : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{7}, c.dim, std::uint64_t{1000}}) {
      if (c.normalize && block < width) continue;
      const std::uint64_t n = graph.num_nodes;
      // row-major, rows padded, column-major, reversed rows
      const Destination layouts[] = {
          {n, width, std::int64_t(width), 1, false},
          {n, width, std::int64_t(width) + 5, 1, false},
          {n, width, 1, std::int64_t(n), false},
          {n, width, std::int64_t(width) + 1, 1, true},
      };
      for (const Destination& layout : layouts) {
        Destination d = layout;
        d.out.data = reinterpret_cast<char*>(d.storage.data()) +
                     (layout.out.data - reinterpret_cast<const char*>(layout.storage.data()));
        auto status = fit_into(graph, params, options, block, d.out);
        ASSERT_TRUE(status.has_value()) << status.error().display();
        EXPECT_TRUE(same_bits(d.dense(), expected))
            << "case " << trial << " block " << block << " strides " << d.out.row_stride << "/" << d.out.col_stride;
      }
    }
    ++trial;
  }
}

TEST(fit_into, prepared_blocks_are_repeatable_and_independent_of_order) {
  std::mt19937_64 rng(5);
  const auto graph = random_graph(rng, 60, 5, false);
  FitParams params = params_of(20, {0.5, 1.0, 0.0, 1.0}, true);
  FitOptions options;
  options.degree_exponent = -1.0;
  const Dense whole = whole_fit(graph, params, options);
  auto prepared = PreparedFit::prepare(graph, params, options);
  ASSERT_TRUE(prepared.has_value());
  for (auto [start, stop] : {std::pair{12, 20}, std::pair{0, 5}, std::pair{12, 20}, std::pair{5, 12}}) {
    auto block = prepared->fit_columns(std::uint64_t(start), std::uint64_t(stop));
    ASSERT_TRUE(block.has_value());
    Dense expected(whole.size());
    for (std::size_t r = 0; r < whole.size(); ++r) expected[r].assign(whole[r].begin() + start, whole[r].begin() + stop);
    EXPECT_TRUE(same_bits(testing::dense_of(*block), expected)) << start << ".." << stop;
  }
}

TEST(fit_into, unseeded_blocked_fits_draw_afresh_per_call) {
  // Weights [1]: the result is X0 itself. Unseeded blocked fits draw
  // afresh per call and still hold projection values in every block.
  std::mt19937_64 rng(9);
  const auto graph = random_graph(rng, 200, 2, false);
  FitParams params(24);
  params.weights = {1.0};
  Destination blocked(graph.num_nodes, 24, 24, 1, false);
  Destination blocked_again(graph.num_nodes, 24, 24, 1, false);
  ASSERT_TRUE(fit_into(graph, params, {}, 4, blocked.out).has_value());
  ASSERT_TRUE(fit_into(graph, params, {}, 4, blocked_again.out).has_value());
  const Dense a = blocked.dense(), b = blocked_again.dense();
  EXPECT_FALSE(same_bits(a, b));
  // Every entry is one of the three projection values.
  for (const auto& row : a)
    for (float v : row) EXPECT_TRUE(v == 0.0f || std::abs(v) == std::bit_cast<float>(0x3FDDB3D7u)) << v;
}

TEST(fit_into, concat_terms_equal_single_weight_fits) {
  // Each term block of a concat fit holds the bytes of the fit with that
  // weight alone; for Direction::both the out-terms come before the
  // in-terms. Column ranges and blocks index the concatenated width.
  std::mt19937_64 rng(77);
  struct Case {
    std::vector<double> weights;
    Direction direction;
    bool normalize;
    double degree_exponent;
  };
  const std::vector<Case> cases = {
      {{0.0, 1.0, 1.0}, Direction::out, false, 0.0},
      {{0.5, 0.0, -2.0, 1.0}, Direction::in, false, -0.5},
      {{1.0, 1.0, 0.0, 0.25}, Direction::both, true, 0.0},
      {{-1.5}, Direction::out, false, 0.0},
      {{0.0, 0.0, 3.0}, Direction::both, false, 0.5},
      {{0.0, 0.0}, Direction::out, false, 0.0},
  };
  const std::uint64_t dim = 6;
  int trial = 0;
  for (const Case& c : cases) {
    const auto graph = random_graph(rng, 25 + trial, 4, trial % 2 == 1);
    FitParams params = params_of(dim, c.weights, false);
    FitOptions single;
    single.direction = c.direction;
    single.normalize = c.normalize;
    single.degree_exponent = c.degree_exponent;
    FitOptions options = single;
    options.combine = Combine::concat;
    const std::uint64_t terms = count_terms(c.weights);
    const std::uint64_t halves = c.direction == Direction::both ? 2 : 1;
    ASSERT_EQ(total_columns(params, options), dim * terms * halves);
    Dense expected(graph.num_nodes);
    for (std::uint64_t half = 0; half < halves; ++half)
      for (std::size_t i = 0; i < c.weights.size(); ++i) {
        if (c.weights[i] == 0.0) continue;
        FitParams alone = params;
        alone.weights.assign(c.weights.size(), 0.0);
        alone.weights[i] = c.weights[i];
        const Dense term = whole_fit(graph, alone, single);
        for (std::size_t r = 0; r < term.size(); ++r)
          expected[r].insert(expected[r].end(), term[r].begin() + std::ptrdiff_t(half * dim),
                             term[r].begin() + std::ptrdiff_t((half + 1) * dim));
      }
    EXPECT_TRUE(same_bits(whole_fit(graph, params, options), expected)) << "case " << trial;
    const std::uint64_t total = dim * terms * halves;
    for (auto [start, stop] : {std::pair<std::uint64_t, std::uint64_t>{0, total}, {1, total - 1}, {dim, 2 * dim},
                               {2, 5}, {dim - 1, dim + 1}}) {
      if (stop > total || start > stop) continue;
      if (c.normalize && (start % dim || stop % dim || start == stop)) continue;
      FitOptions range = options;
      range.column_start = start;
      range.column_stop = stop;
      Dense wanted(expected.size());
      for (std::size_t r = 0; r < expected.size(); ++r)
        wanted[r].assign(expected[r].begin() + std::ptrdiff_t(start), expected[r].begin() + std::ptrdiff_t(stop));
      for (std::uint64_t block : {std::uint64_t{1}, std::uint64_t{4}, dim}) {
        if (c.normalize && block < dim) continue;
        Destination d(graph.num_nodes, stop - start, std::int64_t(stop - start) + 2, 1, false);
        auto status = fit_into(graph, params, range, block, d.out);
        ASSERT_TRUE(status.has_value()) << status.error().display();
        EXPECT_TRUE(same_bits(d.dense(), wanted)) << "case " << trial << " [" << start << ", " << stop
                                                  << ") block " << block;
      }
    }
    ++trial;
  }
  EXPECT_EQ(work_matrices({0.0, 1.0, 1.0}, Combine::concat), 3u);
  EXPECT_EQ(work_matrices({1.0, 1.0}, Combine::concat), 2u);
  EXPECT_EQ(work_matrices({2.0}, Combine::concat), 1u);
}

TEST(fit_into, a_failed_block_leaves_later_columns_untouched) {
  std::mt19937_64 rng(12);
  const auto graph = random_graph(rng, 40, 3, false);
  FitParams params = params_of(12, {0.0, 1.0, 1.0}, true);
  const Dense whole = whole_fit(graph, params, {});
  // Count the reservations of a clean blocked run, then refuse each in turn.
  bool got_through = false;
  for (std::uint64_t k = 1; k < 400 && !got_through; ++k) {
    Destination d(graph.num_nodes, 12, 12, 1, false);
    detail::fail_reservation_after(k);
    auto status = fit_into(graph, params, {}, 5, d.out);
    detail::fail_reservation_after(0);
    const Dense got = d.dense();
    if (status.has_value()) {
      EXPECT_TRUE(same_bits(got, whole));
      got_through = true;
      break;
    }
    EXPECT_NE(status.error().display().find("memory"), std::string::npos) << status.error().display();
    // Blocks [0, 5), [5, 10), [10, 12): each column is either the fit's or
    // still the canary, and the canaries form a suffix of blocks.
    bool canary_seen = false;
    for (std::uint64_t first : {0u, 5u, 10u}) {
      const bool canary = std::bit_cast<std::uint32_t>(got[0][first]) == 0x7FC0DEADu;
      EXPECT_TRUE(!canary_seen || canary) << "block at " << first << " written after a failed one";
      canary_seen = canary_seen || canary;
      for (std::uint64_t r = 0; r < got.size(); ++r)
        for (std::uint64_t c = first; c < std::min<std::uint64_t>(first + 5, 12); ++c) {
          if (canary)
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got[r][c]), 0x7FC0DEADu);
          else
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got[r][c]), std::bit_cast<std::uint32_t>(whole[r][c]));
        }
    }
  }
  EXPECT_TRUE(got_through);
}

}  // namespace
}  // namespace graphripple
