// fill_os_random: the real source, the getrandom loop with injected system
// calls (interruptions, short reads, failures), and the Windows generators'
// chunking and fallback loop with injected generators.
#include "os/os_random.h"

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

// Scripted Windows generators: the preferred one returns the next status
// (filling the chunk when the status is not an error), the fallback the next
// verdict (filling the chunk when true). Both log the chunk lengths.
struct SystemRngScript {
  static inline std::vector<std::int32_t> statuses;
  static inline std::vector<bool> verdicts;
  static inline std::size_t next_status = 0, next_verdict = 0;
  static inline std::vector<std::uint32_t> preferred_calls, fallback_calls;
  static inline std::uint8_t fill = 0;

  static void reset(std::vector<std::int32_t> s, std::vector<bool> v) {
    statuses = std::move(s);
    verdicts = std::move(v);
    next_status = next_verdict = 0;
    preferred_calls.clear();
    fallback_calls.clear();
    fill = 0;
  }
  static void write(std::uint8_t* data, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; ++i) data[i] = ++fill;
  }
  static std::int32_t preferred(std::uint8_t* data, std::uint32_t length) {
    preferred_calls.push_back(length);
    const std::int32_t status = next_status < statuses.size() ? statuses[next_status++] : 0;
    if (static_cast<std::uint32_t>(status) <= 0xBFFFFFFFu) write(data, length);
    return status;
  }
  static bool fallback(std::uint8_t* data, std::uint32_t length) {
    fallback_calls.push_back(length);
    const bool ok = next_verdict < verdicts.size() ? verdicts[next_verdict++] : true;
    if (ok) write(data, length);
    return ok;
  }
};

struct SystemRngCase {
  const char* name;
  std::vector<std::int32_t> statuses;
  std::vector<bool> verdicts;
  std::size_t length;
  std::optional<std::uint32_t> error;
  std::vector<std::uint32_t> preferred_calls;
  std::vector<std::uint32_t> fallback_calls;
};

class system_rng_loop : public ::testing::TestWithParam<SystemRngCase> {};

// Chunks of at most 4 bytes stand in for the 4 GiB chunks of the real loop.
TEST_P(system_rng_loop, follows_the_script) {
  const SystemRngCase& c = GetParam();
  SystemRngScript::reset(c.statuses, c.verdicts);
  std::vector<std::uint8_t> buffer(c.length, 0);
  const auto error = detail::fill_with_system_rng(buffer.data(), buffer.size(), &SystemRngScript::preferred,
                                                  &SystemRngScript::fallback, 4);
  EXPECT_EQ(SystemRngScript::preferred_calls, c.preferred_calls);
  EXPECT_EQ(SystemRngScript::fallback_calls, c.fallback_calls);
  if (c.error) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, *c.error);
  } else {
    ASSERT_FALSE(error.has_value());
    for (std::size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], static_cast<std::uint8_t>(i + 1));
  }
}

constexpr auto ntstatus = [](std::uint32_t bits) { return static_cast<std::int32_t>(bits); };

INSTANTIATE_TEST_SUITE_P(
    os_random, system_rng_loop,
    ::testing::Values(
        SystemRngCase{"chunks_cover_the_buffer", {}, {}, 10, std::nullopt, {4, 4, 2}, {}},
        SystemRngCase{"empty_request_makes_no_call", {}, {}, 0, std::nullopt, {}, {}},
        // Informational (0x4...) and warning (0x8...) statuses are not errors.
        SystemRngCase{"warnings_go_on", {ntstatus(0x40000000), ntstatus(0xBFFFFFFF)}, {}, 8, std::nullopt, {4, 4},
                      {}},
        SystemRngCase{"error_falls_back_on_the_same_chunk", {0, ntstatus(0xC0000001)}, {true}, 10, std::nullopt,
                      {4, 4, 2}, {4}},
        SystemRngCase{"both_failing_reports_status_without_top_bit", {0, ntstatus(0xC000000D)}, {false}, 10,
                      0x4000000Du, {4, 4}, {4}},
        SystemRngCase{"largest_status_code", {ntstatus(0xFFFFFFFF)}, {false}, 3, 0x7FFFFFFFu, {3}, {3}}),
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
