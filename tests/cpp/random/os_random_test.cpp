// fill_os_random: the real source, and the Linux and Windows loops with
// injected system calls (interruptions, short reads, failures, fallback).
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

// Scripted BCryptGenRandom / SystemFunction036.
struct WindowsScript {
  static inline std::vector<std::uint32_t> statuses;
  static inline std::vector<bool> fallback_results;
  static inline std::vector<std::uint32_t> preferred_lengths, fallback_lengths;
  static inline std::size_t next_status = 0, next_fallback = 0;

  static void reset(std::vector<std::uint32_t> s, std::vector<bool> f) {
    statuses = std::move(s);
    fallback_results = std::move(f);
    preferred_lengths.clear();
    fallback_lengths.clear();
    next_status = next_fallback = 0;
  }
  static std::uint32_t preferred(std::uint8_t* data, std::uint32_t length) {
    preferred_lengths.push_back(length);
    std::fill(data, data + length, std::uint8_t{0xAB});
    return next_status < statuses.size() ? statuses[next_status++] : 0;
  }
  static bool fallback(std::uint8_t* data, std::uint32_t length) {
    fallback_lengths.push_back(length);
    std::fill(data, data + length, std::uint8_t{0xCD});
    return next_fallback < fallback_results.size() ? fallback_results[next_fallback++] : true;
  }
};

struct WindowsCase {
  const char* name;
  std::vector<std::uint32_t> statuses;
  std::vector<bool> fallback_results;
  std::size_t length, max_chunk;
  std::optional<std::uint32_t> error;
  std::vector<std::uint32_t> preferred_lengths, fallback_lengths;
};

class windows_rng_loop : public ::testing::TestWithParam<WindowsCase> {};

TEST_P(windows_rng_loop, follows_the_script) {
  const WindowsCase& c = GetParam();
  WindowsScript::reset(c.statuses, c.fallback_results);
  std::vector<std::uint8_t> buffer(c.length, 0);
  const auto error = detail::fill_with_windows_rng(buffer.data(), buffer.size(), &WindowsScript::preferred,
                                                   &WindowsScript::fallback, c.max_chunk);
  EXPECT_EQ(WindowsScript::preferred_lengths, c.preferred_lengths);
  EXPECT_EQ(WindowsScript::fallback_lengths, c.fallback_lengths);
  ASSERT_EQ(error.has_value(), c.error.has_value());
  if (error) {
    EXPECT_EQ(error->code, *c.error);
  } else {
    EXPECT_TRUE(std::none_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; }));
  }
}

INSTANTIATE_TEST_SUITE_P(
    os_random, windows_rng_loop,
    ::testing::Values(
        WindowsCase{"chunks_up_to_the_limit", {}, {}, 10, 4, std::nullopt, {4, 4, 2}, {}},
        // 0xBFFFFFFF has only one severity bit set: not an error.
        WindowsCase{"warning_status_is_success", {0xBFFFFFFFu}, {}, 8, 8, std::nullopt, {8}, {}},
        WindowsCase{"error_status_uses_fallback", {0, 0xC0000001u}, {true}, 8, 4, std::nullopt, {4, 4}, {4}},
        WindowsCase{"failed_fallback_reports_status_without_top_bit", {0xC000000Du}, {false}, 8, 4, 0x4000000Du,
                    {4}, {4}},
        WindowsCase{"empty_request_makes_no_call", {}, {}, 0, 4, std::nullopt, {}, {}}),
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
