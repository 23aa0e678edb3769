// build_projection_matrix: checked digests and row patterns, agreement with
// a plain serial reference, the seed arithmetic between rows, the error
// order, and the single thread_rng draw of an unseeded call.
#include "algorithm/projection_matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "error/fallible_alloc.h"
#include "random/row_generator.h"
#include "random/thread_rng.h"
#include "support/sha256.h"

namespace graphripple {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

MatrixF32 build(std::uint64_t rows, std::uint64_t cols, std::optional<std::uint64_t> seed) {
  auto matrix = build_projection_matrix(rows, cols, seed);
  if (!matrix) ADD_FAILURE() << matrix.error().display();
  return std::move(matrix).value();
}

// The definition, entry by entry, with the float comparisons.
std::vector<float> reference(std::uint64_t rows, std::uint64_t cols, std::uint64_t base) {
  std::vector<float> out(rows * cols, 0.0f);
  for (std::uint64_t i = 0; i < rows; ++i) {
    RowGenerator g = RowGenerator::from_seed(base + i);
    for (std::uint64_t j = 0; j < cols; ++j) {
      const float r = g.next_f32();
      if (r < PROJECTION_DENSITY) {
        out[i * cols + j] = PROJECTION_VALUE;
      } else if (r < 2.0f * PROJECTION_DENSITY) {
        out[i * cols + j] = -PROJECTION_VALUE;
      }
    }
  }
  return out;
}

std::vector<float> entries(const MatrixF32& m) { return {m.data.data(), m.data.data() + m.rows * m.cols}; }

// Row r as "+", "-" and "0"; any other value shows as "?".
std::string pattern(const MatrixF32& m, std::uint64_t r, std::uint64_t count) {
  std::string out;
  for (std::uint64_t j = 0; j < count; ++j) {
    const float v = m.at(r, j);
    out += v == PROJECTION_VALUE ? '+' : v == -PROJECTION_VALUE ? '-' : (v == 0.0f && !std::signbit(v)) ? '0' : '?';
  }
  return out;
}

struct DigestCase {
  std::uint64_t rows, cols, seed;
  const char* sha256;
  const char* row0;
  std::uint64_t plus, minus;
};

class projection_digests : public ::testing::TestWithParam<DigestCase> {};

TEST_P(projection_digests, match_checked_matrices) {
  const DigestCase& c = GetParam();
  const MatrixF32 m = build(c.rows, c.cols, c.seed);
  ASSERT_EQ(m.rows, c.rows);
  ASSERT_EQ(m.cols, c.cols);
  EXPECT_EQ(test::sha256_hex(m.data.data(), c.rows * c.cols * sizeof(float)), c.sha256);
  EXPECT_EQ(pattern(m, 0, std::strlen(c.row0)), c.row0);
  const std::vector<float> all = entries(m);
  EXPECT_EQ(std::uint64_t(std::count(all.begin(), all.end(), PROJECTION_VALUE)), c.plus);
  EXPECT_EQ(std::uint64_t(std::count(all.begin(), all.end(), -PROJECTION_VALUE)), c.minus);
}

INSTANTIATE_TEST_SUITE_P(
    projection_matrix, projection_digests,
    ::testing::Values(
        DigestCase{4, 16, 0, "574c2907746b8029f7df1f9428fbf3ec5909decb7f1e4d7163602bb5c8d0624e", "-00+0+00-+-++++0",
                   17, 7},
        DigestCase{100, 64, 42, "877a022e5798d750f8d140763e7866c251a4a5278c2d73345455018e5dd3594a",
                   "0-0000+0-0000+00-+00+0000+0000+0", 1095, 1088},
        DigestCase{3, 7, U64_MAX, "cbfda1482005577c92f1dc0602f6a84a670b84f83b946f286cf0cf76809af0a2", "000-000", 3,
                   3},
        DigestCase{1000, 128, 123456789, "dfc7ac9b600cac6eb3db5f0bc6b28b0a7a45cb36e83c7cb10cd7dd02c538d560",
                   "00000+0+---0+-0++0--+0000+0++-00", 21349, 21469}));

TEST(projection_matrix, seed_zero_rows_begin_with_known_patterns) {
  const MatrixF32 m = build(2, 16, 0);
  EXPECT_EQ(pattern(m, 0, 16), "-00+0+00-+-++++0");
  EXPECT_EQ(pattern(m, 1, 16), "00+0-000++00+0++");
  EXPECT_EQ(pattern(build(1, 16, 42), 0, 16), "0-0000+0-0000+00");
}

TEST(projection_matrix, equals_serial_reference_for_every_shape) {
  // Row counts around the four-row groups and column counts around the
  // eight-column tiles of the vector path.
  for (std::uint64_t rows : {1, 2, 3, 4, 5, 7, 8, 9, 13}) {
    for (std::uint64_t cols : {1, 2, 7, 8, 9, 15, 16, 17, 31, 33}) {
      for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{99}, U64_MAX - 2}) {
        EXPECT_EQ(entries(build(rows, cols, seed)), reference(rows, cols, seed))
            << rows << " x " << cols << " seed " << seed;
      }
    }
  }
}

TEST(projection_matrix, row_i_with_seed_s_is_row_i_minus_1_with_seed_s_plus_1) {
  const MatrixF32 a = build(9, 40, 1000);
  const MatrixF32 b = build(9, 40, 1001);
  for (std::uint64_t i = 1; i < 9; ++i) EXPECT_EQ(pattern(a, i, 40), pattern(b, i - 1, 40)) << "row " << i;
  // The row seed wraps modulo 2^64.
  EXPECT_EQ(pattern(build(2, 40, U64_MAX), 1, 40), pattern(build(1, 40, 0), 0, 40));
}

TEST(projection_matrix, wider_matrix_extends_every_row) {
  const MatrixF32 narrow = build(6, 5, 77);
  for (std::uint64_t cols : {5, 6, 8, 13, 64}) {
    const MatrixF32 wide = build(6, cols, 77);
    for (std::uint64_t i = 0; i < 6; ++i) EXPECT_EQ(pattern(wide, i, 5), pattern(narrow, i, 5)) << cols;
  }
}

TEST(projection_matrix, same_seed_gives_same_matrix_on_any_thread_and_split) {
  // Calls from several threads at once share the worker pool; however the
  // rows are split among workers the bits must equal the serial reference.
  const std::vector<float> expected = reference(257, 96, 5);
  constexpr int CALLERS = 4;
  std::vector<std::vector<float>> got(CALLERS);
  std::vector<std::thread> callers;
  for (int t = 0; t < CALLERS; ++t) {
    callers.emplace_back([&got, t] {
      for (int repeat = 0; repeat < 3; ++repeat) got[t] = entries(build(257, 96, 5));
    });
  }
  for (auto& caller : callers) caller.join();
  for (int t = 0; t < CALLERS; ++t) EXPECT_EQ(got[t], expected) << "caller " << t;
}

TEST(projection_matrix, unseeded_calls_use_one_thread_rng_draw_each) {
  ReseedingChaCha::Seed key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  detail::replace_thread_rng(ReseedingChaCha(key, &fill_os_random));
  // The first two draws of this key are known.
  EXPECT_EQ(entries(build(5, 12, std::nullopt)), reference(5, 12, 0x5ec67ad1fff931f2ull));
  EXPECT_EQ(entries(build(5, 12, std::nullopt)), reference(5, 12, 0xaa40e9d725f30544ull));
  // Empty matrices draw too.
  const MatrixF32 empty = build(0, 12, std::nullopt);
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 12u);
  build(12, 0, std::nullopt);
  // So the next draw is the fifth: words 8 and 9 of the first block.
  EXPECT_EQ(thread_rng().next_u64(), 0x9f7c85c208b34059ull);
}

TEST(projection_matrix, unseeded_calls_differ) {
  EXPECT_NE(entries(build(8, 64, std::nullopt)), entries(build(8, 64, std::nullopt)));
}

struct ErrorCase {
  const char* name;
  std::uint64_t rows, cols;
  bool out_of_memory;
  std::string text;
};

class projection_errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(projection_errors, fail_before_touching_thread_rng) {
  const ErrorCase& c = GetParam();
  ReseedingChaCha::Seed key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  detail::replace_thread_rng(ReseedingChaCha(key, &fill_os_random));

  const auto result = build_projection_matrix(c.rows, c.cols, std::nullopt);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().is_out_of_memory(), c.out_of_memory);
  EXPECT_EQ(result.error().display().substr(0, c.text.size()), c.text);
  EXPECT_EQ(thread_rng().next_u64(), 0x5ec67ad1fff931f2ull);
}

INSTANTIATE_TEST_SUITE_P(
    projection_matrix, projection_errors,
    ::testing::Values(
        ErrorCase{"entry_count_overflows", std::uint64_t{1} << 32, std::uint64_t{1} << 32, false,
                  "Shape mismatch: Capacity overflow"},
        ErrorCase{"byte_count_overflows", std::uint64_t{1} << 31, std::uint64_t{1} << 31, true,
                  "Out Of Memory (OOM): The system could not allocate enough memory.\n"
                  "- Requested Memory: Unknown"},
        ErrorCase{"empty_shape_too_large", 0, U64_MAX, false,
                  "Shape mismatch: ShapeError/Overflow: arithmetic overflow"},
        ErrorCase{"empty_shape_too_large_other_way", std::uint64_t{1} << 63, 0, false,
                  "Shape mismatch: ShapeError/Overflow: arithmetic overflow"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(projection_matrix, refused_storage_reports_its_byte_count) {
  detail::fail_reservation_after(1);
  const auto result = build_projection_matrix(1000, 256, 3);
  detail::fail_reservation_after(0);
  ASSERT_FALSE(result.has_value());
  ASSERT_NE(result.error().reserve_error(), nullptr);
  EXPECT_EQ(*result.error().reserve_error(), ReserveError::alloc_error(1000 * 256 * 4, 4));
}

TEST(projection_matrix, largest_empty_shape_is_accepted) {
  const MatrixF32 m = build(0, std::uint64_t(std::numeric_limits<std::int64_t>::max()), 1);
  EXPECT_EQ(m.rows, 0u);
}

}  // namespace
}  // namespace graphripple
