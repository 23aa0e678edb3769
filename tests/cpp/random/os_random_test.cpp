// fill_os_random: the real source, and the getrandom loop with injected
// system calls (interruptions, short reads, failures).
#include "random/os_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace graphripple {
namespace {

// Scripted getrandom: each call takes the next step. A step >= 0 writes
// min(step, length) bytes of `fill`; a negative step fails with errno = -step.
struct GetrandomScript {
  static inline std::vector<long> steps;
  static inline std::size_t next = 0;
  static inline std::vector<std::size_t> requested;
  static inline std::uint8_t fill = 0;

  static void reset(std::vector<long> s) {
    steps = std::move(s);
    next = 0;
    requested.clear();
    fill = 0;
  }
  static std::ptrdiff_t call(void* data, std::size_t length, unsigned int) {
    requested.push_back(length);
    const long step = next < steps.size() ? steps[next++] : static_cast<long>(length);
    if (step < 0) {
      errno = static_cast<int>(-step);
      return -1;
    }
    const std::size_t n = std::min(static_cast<std::size_t>(step), length);
    for (std::size_t i = 0; i < n; ++i) static_cast<std::uint8_t*>(data)[i] = ++fill;
    return static_cast<std::ptrdiff_t>(n);
  }
};

struct GetrandomCase {
  const char* name;
  std::vector<long> steps;
  std::size_t length;
  std::optional<std::uint32_t> error;
  std::vector<std::size_t> requested;
};

class getrandom_loop : public ::testing::TestWithParam<GetrandomCase> {};

TEST_P(getrandom_loop, follows_the_script) {
  const GetrandomCase& c = GetParam();
  GetrandomScript::reset(c.steps);
  std::vector<std::uint8_t> buffer(c.length, 0);
  const auto error = detail::fill_with_getrandom(buffer.data(), buffer.size(), &GetrandomScript::call);
  EXPECT_EQ(GetrandomScript::requested, c.requested);
  if (c.error) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, *c.error);
  } else {
    ASSERT_FALSE(error.has_value());
    // Every byte written exactly once, in order, across the short reads.
    for (std::size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], static_cast<std::uint8_t>(i + 1));
  }
}

INSTANTIATE_TEST_SUITE_P(
    os_random, getrandom_loop,
    ::testing::Values(GetrandomCase{"one_call", {}, 32, std::nullopt, {32}},
                      GetrandomCase{"short_reads_continue", {5, 10}, 32, std::nullopt, {32, 27, 17}},
                      GetrandomCase{"eintr_is_retried", {-EINTR, -EINTR, 3}, 8, std::nullopt, {8, 8, 8, 5}},
                      GetrandomCase{"other_errno_is_reported", {4, -EIO}, 32, EIO, {32, 28}},
                      GetrandomCase{"empty_request_makes_no_call", {}, 0, std::nullopt, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(os_random, error_text_is_the_decimal_code) {
  EXPECT_EQ(OsRandomError{0}.text(), "OS Error: 0");
  EXPECT_EQ(OsRandomError{4}.text(), "OS Error: 4");
  EXPECT_EQ(OsRandomError{0x7FFFFFFF}.text(), "OS Error: 2147483647");
}

TEST(os_random, real_source_fills_the_buffer) {
  // 64 KiB: all-zero output or a repeated call would be a broken source;
  // the chance of a 0 byte staying in place everywhere is nil.
  std::vector<std::uint8_t> a(1 << 16, 0), b(1 << 16, 0);
  ASSERT_FALSE(fill_os_random(a.data(), a.size()).has_value());
  ASSERT_FALSE(fill_os_random(b.data(), b.size()).has_value());
  EXPECT_NE(a, b);
  EXPECT_GT(std::count_if(a.begin(), a.end(), [](std::uint8_t x) { return x != 0; }), 60000);
  EXPECT_FALSE(fill_os_random(nullptr, 0).has_value());
}

}  // namespace
}  // namespace graphripple
