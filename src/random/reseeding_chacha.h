// ReseedingChaCha: the buffered ChaCha12 stream behind thread_rng.
//
// Four blocks (64 words) are made per refill and served as 64-bit draws,
// low word first. After every 65,536 bytes of output the key is replaced
// by 32 fresh bytes from the byte source, so a leaked state exposes at
// most one key's worth of past and future output.
// - Not thread-safe: one instance per thread (see thread_rng.h).
// - The byte source is a parameter so tests can drive the refill, straddle
//   and rekey rules with known bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "random/chacha12.h"
#include "os/os_random.h"

namespace graphripple {

class ReseedingChaCha {
 public:
  /// Fills a buffer with key bytes: nothing on success, or the error.
  using ByteSource = std::function<std::optional<OsRandomError>(std::uint8_t* data, std::size_t length)>;
  using Seed = std::array<std::uint8_t, 32>;

  /// Output budget of one key, in bytes.
  static constexpr std::int64_t RESEED_THRESHOLD = 65536;
  static constexpr std::size_t BUFFER_WORDS = 4 * CHACHA_BLOCK_WORDS;
  static constexpr std::int64_t REFILL_BYTES = BUFFER_WORDS * sizeof(std::uint32_t);

  /// Keyed with `seed`; later keys come from `source`.
  ReseedingChaCha(const Seed& seed, ByteSource source);

  /// Keyed with the first 32 bytes of `source`. Throws InternalFault
  /// "could not initialize thread_rng: OS Error: <code>" when it fails.
  static ReseedingChaCha from_source(ByteSource source);

  /// The next 64-bit draw. Throws InternalFault "Reseeding RNG failed:
  /// OS Error: <code>" when a due rekeying fails; the old key is never
  /// used again, so the next draw tries the rekeying once more.
  std::uint64_t next_u64() {
    if (index_ < BUFFER_WORDS - 1) [[likely]] {
      const std::uint64_t value = buffer_[index_] | std::uint64_t{buffer_[index_ + 1]} << 32;
      index_ += 2;
      return value;
    }
    return next_u64_after_refill();
  }

  /// The next single word. Mixed with next_u64 it can leave one word in the
  /// buffer, which the following next_u64 then pairs across a refill.
  std::uint32_t next_u32() {
    if (index_ >= BUFFER_WORDS) [[unlikely]]
      refill();
    return buffer_[index_++];
  }

 private:
  std::uint64_t next_u64_after_refill();
  void refill();
  void set_key(const Seed& seed);

  ByteSource source_;
  ChaChaKey key_{};
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, BUFFER_WORDS> buffer_{};
  std::size_t index_ = BUFFER_WORDS;  // BUFFER_WORDS: empty, the next draw refills
  std::int64_t threshold_ = RESEED_THRESHOLD;
  std::int64_t bytes_until_reseed_ = RESEED_THRESHOLD;
};

}  // namespace graphripple
