// Worker-count parsing: the variable rules, their precedence and the cap.
#include "pool/thread_count.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace graphripple {
namespace {

using Var = std::optional<std::string_view>;
constexpr Var UNSET = std::nullopt;

TEST(thread_count, parses_only_optional_plus_and_digits) {
  struct Case {
    std::string_view text;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"4", 4},
      {"+4", 4},
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++4", std::nullopt},
      {"-4", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"4x", std::nullopt},
      {"0x10", std::nullopt},
      {"\xef\xbc\x94", std::nullopt},  // a full-width digit is not a decimal digit
  };
  for (const Case& c : cases) EXPECT_EQ(parse_thread_count(c.text), c.expected) << '"' << c.text << '"';
}

TEST(thread_count, first_variable_then_second_then_processors) {
  struct Case {
    Var num_threads;
    Var rs_num_cpus;
    std::size_t processors;
    std::size_t expected;
  };
  const Case cases[] = {
      {"4", UNSET, 8, 4},
      {"+4", "3", 8, 4},
      {"0", UNSET, 8, 8},
      {"0", "3", 8, 8},  // a valid 0 means the default and hides the second variable
      {" 4", "3", 8, 3},
      {"-4", "3", 8, 3},
      {"4x", "3", 8, 3},
      {"", "3", 8, 3},
      {"18446744073709551616", "3", 8, 3},
      {UNSET, "3", 8, 3},
      {UNSET, "0", 8, 8},
      {UNSET, "abc", 8, 8},
      {"abc", "abc", 8, 8},
      {UNSET, UNSET, 8, 8},
      {UNSET, UNSET, 0, 1},
      {"0", UNSET, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decide_num_threads(c.num_threads, c.rs_num_cpus, c.processors), c.expected)
        << "RAYON_NUM_THREADS=" << c.num_threads.value_or("<unset>")
        << " RAYON_RS_NUM_CPUS=" << c.rs_num_cpus.value_or("<unset>") << " processors=" << c.processors;
  }
}

TEST(thread_count, caps_every_source_at_65535) {
  EXPECT_EQ(decide_num_threads("100000", UNSET, 2), 65535u);
  EXPECT_EQ(decide_num_threads("65535", UNSET, 2), 65535u);
  EXPECT_EQ(decide_num_threads("65534", UNSET, 2), 65534u);
  EXPECT_EQ(decide_num_threads(UNSET, "18446744073709551615", 2), 65535u);
  EXPECT_EQ(decide_num_threads(UNSET, UNSET, 100000), 65535u);
}

TEST(thread_count, processor_count_sees_at_least_this_thread) { EXPECT_GE(processor_count(), 1u); }

}  // namespace
}  // namespace graphripple
