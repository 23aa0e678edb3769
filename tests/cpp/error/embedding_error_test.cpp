// Display texts of EmbeddingError and the fallible reservations.
#include "error/embedding_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

std::string line(const std::string& text, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start);
}

TEST(embedding_error, shape_mismatch_has_prefix) {
  EXPECT_EQ(EmbeddingError::shape_mismatch("row_ptrs[0] must be 0, got 5").display(),
            "Shape mismatch: row_ptrs[0] must be 0, got 5");
}

TEST(embedding_error, out_of_memory_report_lines) {
  const auto error = EmbeddingError::out_of_memory(ReserveError::alloc_error(4000000000, 4));
  EXPECT_EQ(error.display(),
            "Out Of Memory (OOM): The system could not allocate enough memory.\n"
            "- Requested Memory: 3814.70 MB\n"
            "Try reducing the number of nodes or the embedding dimension.\n"
            "\n"
            "Raw Error:\n"
            "TryReserveError { kind: AllocError { layout: Layout { size: 4000000000, align: 4 (1 << 2) }, "
            "non_exhaustive: () } }");
  const auto overflow = EmbeddingError::out_of_memory(ReserveError::capacity_overflow()).display();
  EXPECT_EQ(line(overflow, 1), "- Requested Memory: Unknown");
  EXPECT_EQ(line(overflow, 5), "TryReserveError { kind: CapacityOverflow }");
}

struct MegabyteCase {
  std::uint64_t bytes;
  const char* shown;
};

class megabytes : public ::testing::TestWithParam<MegabyteCase> {};

TEST_P(megabytes, rounded_to_two_places_ties_to_even) {
  const auto text = EmbeddingError::out_of_memory(ReserveError::alloc_error(GetParam().bytes, 8)).display();
  EXPECT_EQ(line(text, 1), std::string("- Requested Memory: ") + GetParam().shown + " MB");
}

INSTANTIATE_TEST_SUITE_P(
    sizes, megabytes,
    ::testing::Values(MegabyteCase{131072, "0.12"},      // 0.125 exactly: tie to even
                      MegabyteCase{393216, "0.38"},      // 0.375 exactly: tie to even
                      MegabyteCase{1048576, "1.00"}, MegabyteCase{0, "0.00"},
                      MegabyteCase{4000000000, "3814.70"},
                      MegabyteCase{std::numeric_limits<std::uint64_t>::max(), "17592186044416.00"}));

TEST(fallible_alloc, unrepresentable_sizes_are_capacity_overflow) {
  std::vector<std::uint64_t> v;
  auto status = try_reserve(v, std::uint64_t{1} << 61);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(*status.error().reserve_error(), ReserveError::capacity_overflow());
  auto buffer = LargeBuffer<float>::try_zeroed(std::uint64_t{1} << 62);
  ASSERT_FALSE(buffer.has_value());
  EXPECT_EQ(*buffer.error().reserve_error(), ReserveError::capacity_overflow());
}

TEST(fallible_alloc, allocator_refusal_carries_the_request) {
  auto buffer = LargeBuffer<float>::try_zeroed(std::uint64_t{1} << 50);
  ASSERT_FALSE(buffer.has_value());
  EXPECT_EQ(*buffer.error().reserve_error(), ReserveError::alloc_error(std::uint64_t{1} << 52, 4));
}

TEST(fallible_alloc, buffers_are_zeroed_small_and_large) {
  for (std::uint64_t count : {1ull, 1000ull, 3ull << 20}) {
    auto buffer = LargeBuffer<float>::try_zeroed(count).value();
    ASSERT_EQ(buffer.size(), count);
    for (std::uint64_t i = 0; i < count; i += 4093) EXPECT_EQ(buffer[i], 0.0f);
    EXPECT_EQ(buffer[count - 1], 0.0f);
    buffer[count - 1] = 1.0f;  // writable to the end
    LargeBuffer<float> moved = std::move(buffer);
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(moved[count - 1], 1.0f);
  }
}

TEST(fallible_alloc, seam_refuses_exactly_the_kth_reservation) {
  detail::fail_reservation_after(2);
  std::vector<double> first, second, third;
  EXPECT_TRUE(try_reserve(first, 10).has_value());
  auto refused = try_reserve(second, 10);
  EXPECT_TRUE(try_reserve(third, 10).has_value());
  detail::fail_reservation_after(0);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(*refused.error().reserve_error(), ReserveError::alloc_error(80, 8));
}

}  // namespace
}  // namespace graphripple
