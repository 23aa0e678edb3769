// ChaCha12 blocks against checked vectors, and the SSE2 variant against the
// scalar reference.
#include "random/chacha12.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace graphripple {
namespace {

using Block = std::array<std::uint32_t, 16>;

ChaChaKey counting_key() {
  // Bytes 00 01 02 ... 1f as little-endian words.
  ChaChaKey key{};
  for (std::uint32_t w = 0; w < 8; ++w) key[w] = (4 * w) | (4 * w + 1) << 8 | (4 * w + 2) << 16 | (4 * w + 3) << 24;
  return key;
}

struct BlockCase {
  const char* name;
  ChaChaKey key;
  std::uint64_t counter;
  Block words;
};

class chacha12_block_vectors : public ::testing::TestWithParam<BlockCase> {};

TEST_P(chacha12_block_vectors, match_checked_words) {
  const BlockCase& c = GetParam();
  Block out{};
  chacha12_block(c.key, c.counter, out.data());
  EXPECT_EQ(out, c.words);
}

INSTANTIATE_TEST_SUITE_P(
    chacha12, chacha12_block_vectors,
    ::testing::Values(
        BlockCase{"zero_key", ChaChaKey{}, 0,
                  {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
                   0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac, 0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341}},
        BlockCase{"counting_key_counter_0", counting_key(), 0,
                  {0xfff931f2, 0x5ec67ad1, 0x25f30544, 0xaa40e9d7, 0x1f601349, 0xbc46bec2, 0xc3cac3e9, 0x361a1ad9,
                   0x08b34059, 0x9f7c85c2, 0x54e2d629, 0x9ad42885, 0x0a1b2b61, 0x165d76e6, 0xfbae85e5, 0x79883646}},
        BlockCase{"counting_key_counter_1", counting_key(), 1,
                  {0xa09afa6c, 0xe0723b83, 0x52155cdb, 0x4683d13d, 0xeb0c8e35, 0x48641b2e, 0x32309d04, 0x1685ee7e,
                   0xa35ec622, 0xd5b7aa58, 0xd9d2490d, 0xc0eb1b15, 0x1f26d4d9, 0x656ccc48, 0x3c2b8a7f, 0x888fe0e7}},
        BlockCase{"counter_low_word_all_ones", counting_key(), 0xFFFFFFFFull,
                  {0x5b04700e, 0xd1060e1d, 0x9d497301, 0xc036aad9, 0xc93e979d, 0xf19bf80e, 0x0e7cdd56, 0x6130e7f8,
                   0xc396e78f, 0x85f388a1, 0x125d0246, 0xaee1bc0e, 0x685714a6, 0xe92ec89b, 0x8dc92194, 0x5b74361f}},
        BlockCase{"counter_uses_both_words", counting_key(), 1311768467463790320ull,
                  {0x7964915e, 0x1a98e9ee, 0xc5c087c7, 0x10651031, 0x67f7781e, 0x61950f94, 0x794b64bd, 0x379e905e,
                   0x40582624, 0xa7d5cf5d, 0x95a0038e, 0xbddc6079, 0xea7c02b9, 0xed625611, 0x9f68c9c4, 0xe9d7d858}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(chacha12, four_blocks_equal_the_scalar_reference) {
  // Counters chosen so the four consecutive blocks cross the 2^32 boundary
  // of the low word and the 2^64 wrap of the whole counter.
  const std::uint64_t counters[] = {0, 1, 0xFFFFFFFEull, 0xFFFFFFFFull, 0x123456789ABCDEFull,
                                    0xFFFFFFFFFFFFFFFEull};
  ChaChaKey keys[] = {ChaChaKey{}, counting_key(),
                      {0xFFFFFFFF, 0x80000000, 1, 0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0x7FFFFFFF, 42}};
  for (const ChaChaKey& key : keys) {
    for (std::uint64_t counter : counters) {
      std::array<std::uint32_t, 64> fast{}, reference{};
      chacha12_blocks4(key, counter, fast.data());
      detail::chacha12_blocks4_scalar(key, counter, reference.data());
      EXPECT_EQ(fast, reference) << "counter " << counter;
    }
  }
}

}  // namespace
}  // namespace graphripple
