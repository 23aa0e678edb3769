// The row kernels: SIMD paths against the scalar definition, and the
// propagation rules on small hand-checked rows.
#include "algorithm/kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/reference_graph.h"

namespace graphripple {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> special_row(std::mt19937& rng, std::size_t length) {
  const float specials[] = {0.0f, -0.0f, INF, -INF, NaN, std::numeric_limits<float>::denorm_min(),
                            -1e-40f, 1e38f, -3.0f, 1.0f};
  std::uniform_real_distribution<float> uniform(-4.0f, 4.0f);
  std::vector<float> row(length);
  for (auto& v : row) v = rng() % 4 == 0 ? specials[rng() % std::size(specials)] : uniform(rng);
  return row;
}

// Identical bits, except that any two NaNs match: compilers treat float
// addition and multiplication as commutative, so which operand's NaN payload
// survives is not something the code can fix.
bool same_value(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
bool same_bits(const float* a, const float* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (!same_value(a[i], b[i])) return false;
  return true;
}
bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && same_bits(a.data(), b.data(), a.size());
}

TEST(add_scaled_row, simd_paths_match_scalar_bit_for_bit) {
  std::mt19937 rng(7);
  const float scales[] = {0.0f, -0.0f, 0.333333343f, -2.5f, INF, NaN, 1e-45f, 3e38f};
  for (std::size_t length : {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 64, 100, 128, 257}) {
    for (float s : scales) {
      const auto src = special_row(rng, length);
      const auto dst = special_row(rng, length);
      auto expected = dst;
      detail::add_scaled_row_scalar(expected.data(), src.data(), s, length);
      auto sse = dst;
      detail::add_scaled_row_sse2(sse.data(), src.data(), s, length);
      EXPECT_TRUE(same_bits(expected, sse)) << "sse2, length " << length << ", s " << s;
      if (detail::cpu_has_avx2()) {
        auto avx = dst;
        detail::add_scaled_row_avx2(avx.data(), src.data(), s, length);
        EXPECT_TRUE(same_bits(expected, avx)) << "avx2, length " << length << ", s " << s;
      }
    }
  }
}

TEST(add_scaled_row, rounds_product_and_sum_separately) {
  // With a fused multiply-add, a*b + c for these values would keep the low
  // bits of the product and give a different float.
  const float a = 1.0f + 0x1p-23f, b = 1.0f + 0x1p-23f, c = -(1.0f + 0x1p-22f);
  float dst = c;
  add_scaled_row(&dst, &a, b, 1);
  EXPECT_EQ(dst, 0.0f);
  EXPECT_NE(std::fma(a, b, c), 0.0f);
}

TEST(add_scaled_row, strided_rows) {
  float dst[6] = {1, 100, 2, 100, 3, 100};
  const float src[3] = {30, 20, 10};
  add_scaled_row(RowView{dst, 3, 2}, ConstRowView{src + 2, 3, -1}, 0.5f);
  EXPECT_EQ(dst[0], 6.0f);
  EXPECT_EQ(dst[2], 12.0f);
  EXPECT_EQ(dst[4], 18.0f);
  EXPECT_EQ(dst[1], 100.0f);
}

CsrGraph graph_of(std::uint64_t n, std::vector<std::uint64_t> row_ptrs, std::vector<std::uint64_t> cols,
                  std::vector<double> values) {
  return CsrGraph{std::move(row_ptrs), std::move(cols), std::move(values), n};
}

MatrixF32 matrix_of(std::uint64_t rows, std::uint64_t cols, const std::vector<float>& values) {
  auto m = MatrixF32::try_zeroed(rows, cols).value();
  std::copy(values.begin(), values.end(), m.data.data());
  return m;
}

// Every propagation path on the same input: the definition over the graph,
// and the transition-matrix path in its portable and SIMD forms, starting
// from a `next` full of garbage (that path overwrites it).
MatrixF32 propagate_both(const CsrGraph& graph, const MatrixF32& current) {
  auto by_graph = MatrixF32::try_zeroed(current.rows, current.cols).value();
  propagate(by_graph, graph, current);
  const auto transition = TransitionMatrix::from_graph(graph).value();
  for (bool portable : {true, false}) {
    detail::set_force_portable_propagation(portable);
    auto fast = matrix_of(current.rows, current.cols, std::vector<float>(current.rows * current.cols, 42.0f));
    propagate(fast, transition, current, nullptr, 0.0f);
    EXPECT_TRUE(same_bits(by_graph.data.data(), fast.data.data(), current.rows * current.cols))
        << (portable ? "portable" : "simd") << " path, dim " << current.cols;
  }
  detail::set_force_portable_propagation(false);
  return by_graph;
}

TEST(propagate, scales_by_rounded_reciprocal_of_entry_count) {
  // Row 0: (1, 3.0), (2, 1.0): deg 2, scales 1.5 and 0.5, column 1 first.
  // Row 1: three entries of 1.0, each scaled by f32(1/3).
  // Row 2: no entries.
  const auto graph = graph_of(3, {0, 2, 5, 5}, {1, 2, 0, 1, 2}, {3.0, 1.0, 1.0, 1.0, 1.0});
  const auto current = matrix_of(3, 2, {1.0f, 2.0f, 10.0f, 20.0f, 100.0f, 200.0f});
  const auto next = propagate_both(graph, current);
  EXPECT_EQ(next.at(0, 0), 1.5f * 10.0f + 0.5f * 100.0f);
  EXPECT_EQ(next.at(0, 1), 1.5f * 20.0f + 0.5f * 200.0f);
  const float third = std::bit_cast<float>(0x3EAAAAABu);
  EXPECT_EQ(third, 1.0f / 3.0f);
  const float expected = ((0.0f + 1.0f * third) + 10.0f * third) + 100.0f * third;
  EXPECT_EQ(next.at(1, 0), expected);
  EXPECT_EQ(next.at(2, 0), 0.0f);
  EXPECT_EQ(next.at(2, 1), 0.0f);
}

TEST(propagate, zero_weight_entries_count_and_turn_infinity_into_nan) {
  const auto graph = graph_of(3, {0, 2, 2, 2}, {1, 2}, {0.0, 1.0});
  const auto current = matrix_of(3, 2, {0, 0, 5.0f, INF, 4.0f, 4.0f});
  const auto next = propagate_both(graph, current);
  EXPECT_EQ(next.at(0, 0), 2.0f);  // halved by the zero entry
  EXPECT_TRUE(std::isnan(next.at(0, 1)));
}

TEST(propagate, infinite_or_huge_edge_weights) {
  const auto graph = graph_of(2, {0, 1, 2}, {1, 0}, {std::numeric_limits<double>::infinity(), 1e40});
  const auto current = matrix_of(2, 2, {0.0f, 1.0f, 0.0f, -1.0f});
  const auto next = propagate_both(graph, current);
  EXPECT_TRUE(std::isnan(next.at(0, 0)));  // 0 * inf
  EXPECT_EQ(next.at(0, 1), -INF);
  EXPECT_EQ(next.at(1, 1), INF);  // 1e40 rounds to +inf in float32
}

TEST(propagate, all_paths_and_fused_accumulation_agree_on_random_graphs) {
  std::mt19937 rng(3);
  for (std::uint64_t dim : {1, 7, 8, 9, 19, 63, 64, 65, 72, 130, 200}) {
    const std::uint64_t n = 40;
    std::vector<std::uint64_t> row_ptrs{0}, cols;
    std::vector<double> values;
    for (std::uint64_t r = 0; r < n; ++r) {
      for (std::uint64_t c = 0; c < n; ++c)
        if (rng() % 5 == 0) {
          cols.push_back(c);
          values.push_back(rng() % 7 == 0 ? 0.0 : double(int(rng() % 9) - 4) / 3.0);
        }
      row_ptrs.push_back(cols.size());
    }
    const auto graph = graph_of(n, row_ptrs, cols, values);
    const auto current = matrix_of(n, dim, special_row(rng, n * dim));
    const auto start = special_row(rng, n * dim);

    auto separate_acc = matrix_of(n, dim, start);
    auto separate_next = propagate_both(graph, current);
    accumulate(separate_acc, separate_next, -0.75f);

    for (bool portable : {true, false}) {
      detail::set_force_portable_propagation(portable);
      auto fused_acc = matrix_of(n, dim, start);
      auto fused_next = MatrixF32::try_zeroed(n, dim).value();
      propagate(fused_next, TransitionMatrix::from_graph(graph).value(), current, &fused_acc, -0.75f);
      EXPECT_TRUE(same_bits(separate_acc.data.data(), fused_acc.data.data(), n * dim)) << dim;
      EXPECT_TRUE(same_bits(separate_next.data.data(), fused_next.data.data(), n * dim)) << dim;
    }
    detail::set_force_portable_propagation(false);
  }
}

TEST(transition_matrix, merged_rows_match_the_stored_symmetrisation) {
  std::mt19937 rng(9);
  for (int trial = 0; trial < 20; ++trial) {
    const std::uint64_t n = 1 + rng() % 30;
    std::vector<std::uint64_t> row_ptrs{0}, cols;
    std::vector<double> values;
    const double choices[] = {1.0, -1.0, 0.0, -0.0, 2.5, std::nan(""), 1e40, 3.0};
    for (std::uint64_t r = 0; r < n; ++r) {
      for (std::uint64_t c = 0; c < n; ++c)
        if (rng() % 4 == 0) {
          cols.push_back(c);
          values.push_back(choices[rng() % std::size(choices)]);
        }
      row_ptrs.push_back(cols.size());
    }
    const auto graph = graph_of(n, row_ptrs, cols, values);
    const auto symmetrized = test::symmetrized_graph(graph).value();
    const auto stored = TransitionMatrix::from_graph(symmetrized).value();
    const auto merged = TransitionMatrix::from_symmetrized(SymmetrizedRows::prepare(graph).value()).value();
    ASSERT_EQ(std::vector<std::uint64_t>(stored.row_ptrs, stored.row_ptrs + n + 1), merged.owned_row_ptrs);
    EXPECT_EQ(stored.narrow_cols, merged.narrow_cols);
    EXPECT_TRUE(same_bits(stored.scales, merged.scales));
  }
}

TEST(accumulate, adds_weighted_rows) {
  auto acc = matrix_of(2, 3, {1, 1, 1, 1, 1, 1});
  const auto current = matrix_of(2, 3, {1, 2, 3, INF, 0, NaN});
  accumulate(acc, current, 2.0f);
  EXPECT_EQ(acc.at(0, 2), 7.0f);
  EXPECT_EQ(acc.at(1, 0), INF);
  EXPECT_EQ(acc.at(1, 1), 1.0f);
  EXPECT_TRUE(std::isnan(acc.at(1, 2)));
}

}  // namespace
}  // namespace graphripple
