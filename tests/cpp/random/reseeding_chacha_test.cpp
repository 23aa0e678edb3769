// ReseedingChaCha: buffered draws, the straddling draw and rekeying, driven
// by a byte source that yields 0, 1, 2, ... so every key is known.
#include "random/reseeding_chacha.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "error/internal_fault.h"

namespace graphripple {
namespace {

// Hands out consecutive bytes and counts its calls; a call can be made to
// fail with `fail_code`.
struct CountingSource {
  struct State {
    std::uint8_t next = 0;
    int calls = 0;
    std::uint32_t fail_code = 0;
  };
  std::shared_ptr<State> state = std::make_shared<State>();

  ReseedingChaCha::ByteSource source() const {
    return [s = state](std::uint8_t* data, std::size_t length) -> std::optional<OsRandomError> {
      ++s->calls;
      if (s->fail_code != 0) return OsRandomError{s->fail_code};
      for (std::size_t i = 0; i < length; ++i) data[i] = s->next++;
      return std::nullopt;
    };
  }
};

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const InternalFault& fault) {
    return fault.what();
  }
  return "<no fault>";
}

// Draws 1 .. N of next_u64 (1-based) from a freshly keyed generator.
constexpr std::pair<int, std::uint64_t> KNOWN_DRAWS[] = {
    {1, 0x5ec67ad1fff931f2ull},    {2, 0xaa40e9d725f30544ull},    {3, 0xbc46bec21f601349ull},
    {32, 0x4b6266215a253879ull},   {33, 0x5d53767456e96aa5ull},   {34, 0xade94004dad147b0ull},
    {8192, 0xada43646eec878b2ull}, {8193, 0x9b55aba5225bd811ull}, {8194, 0x67de2508dc6f105dull},
    {16384, 0xc4a5fc0e6861a124ull}, {16385, 0x265d720409d61c53ull}};

TEST(reseeding_chacha, draws_match_checked_stream_across_refills_and_rekeys) {
  CountingSource bytes;
  ReseedingChaCha rng = ReseedingChaCha::from_source(bytes.source());
  int drawn = 0;
  for (const auto& [draw, expected] : KNOWN_DRAWS) {
    std::uint64_t value = 0;
    while (drawn < draw) {
      value = rng.next_u64();
      ++drawn;
    }
    EXPECT_EQ(value, expected) << "draw " << draw;
  }
}

TEST(reseeding_chacha, rekeys_first_at_the_257th_refill) {
  // 32 draws per refill: 256 refills are 8192 draws on the creation key.
  CountingSource bytes;
  ReseedingChaCha rng = ReseedingChaCha::from_source(bytes.source());
  for (int i = 0; i < 8192; ++i) rng.next_u64();
  EXPECT_EQ(bytes.state->calls, 1);
  EXPECT_EQ(rng.next_u64(), 0x9b55aba5225bd811ull);
  EXPECT_EQ(bytes.state->calls, 2);
  for (int i = 8193; i < 16384; ++i) rng.next_u64();
  EXPECT_EQ(bytes.state->calls, 2);
  rng.next_u64();
  EXPECT_EQ(bytes.state->calls, 3);
}

TEST(reseeding_chacha, given_seed_is_the_first_key) {
  ReseedingChaCha::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
  CountingSource later;
  ReseedingChaCha rng(seed, later.source());
  EXPECT_EQ(rng.next_u64(), 0x5ec67ad1fff931f2ull);
  EXPECT_EQ(later.state->calls, 0);
}

TEST(reseeding_chacha, draw_with_one_word_left_pairs_it_with_the_next_refill) {
  CountingSource bytes;
  ReseedingChaCha rng = ReseedingChaCha::from_source(bytes.source());
  rng.next_u32();                               // word 0
  for (int i = 0; i < 31; ++i) rng.next_u64();  // words 1 .. 62
  // Low half: word 63 (high half of draw 32); high half: word 0 of the next
  // refill (low half of draw 33).
  EXPECT_EQ(rng.next_u64(), 0x56e96aa54b626621ull);
  // Then words 1 and 2 of that refill: high half of draw 33, low of draw 34.
  EXPECT_EQ(rng.next_u64(), 0xdad147b05d537674ull);
}

TEST(reseeding_chacha, failed_creation_is_a_fault_with_the_os_code) {
  CountingSource bytes;
  bytes.state->fail_code = 13;
  EXPECT_EQ(message_of([&] { ReseedingChaCha::from_source(bytes.source()); }),
            "could not initialize thread_rng: OS Error: 13");
}

TEST(reseeding_chacha, failed_rekey_is_a_fault_and_the_old_key_is_never_reused) {
  CountingSource bytes;
  ReseedingChaCha rng = ReseedingChaCha::from_source(bytes.source());
  for (int i = 0; i < 8192; ++i) rng.next_u64();
  bytes.state->fail_code = 5;
  EXPECT_EQ(message_of([&] { rng.next_u64(); }), "Reseeding RNG failed: OS Error: 5");
  EXPECT_EQ(message_of([&] { rng.next_u64(); }), "Reseeding RNG failed: OS Error: 5");
  // Once the source works again the draw comes from the fresh key.
  bytes.state->fail_code = 0;
  EXPECT_EQ(rng.next_u64(), 0x9b55aba5225bd811ull);
}

}  // namespace
}  // namespace graphripple
