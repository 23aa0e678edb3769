// Refill, rekeying and the draw that straddles two refills.
#include "random/reseeding_chacha.h"

#include <utility>

#include "error/internal_fault.h"

namespace graphripple {

ReseedingChaCha::ReseedingChaCha(const Seed& seed, ByteSource source) : source_(std::move(source)) {
  set_key(seed);
}

ReseedingChaCha ReseedingChaCha::from_source(ByteSource source) {
  Seed seed{};
  if (auto error = source(seed.data(), seed.size()))
    // Public contract: callers match this text (and OsRandomError::text).
    throw InternalFault("could not initialize thread_rng: " + error->text());
  return ReseedingChaCha(seed, std::move(source));
}

void ReseedingChaCha::set_key(const Seed& seed) {
  for (std::size_t w = 0; w < key_.size(); ++w) {
    key_[w] = std::uint32_t{seed[4 * w]} | std::uint32_t{seed[4 * w + 1]} << 8 |
              std::uint32_t{seed[4 * w + 2]} << 16 | std::uint32_t{seed[4 * w + 3]} << 24;
  }
  counter_ = 0;
}

void ReseedingChaCha::refill() {
  if (bytes_until_reseed_ <= 0) {
    Seed seed{};
    // On failure nothing changes: the budget stays spent, so the old key
    // can never produce another block.
    if (auto error = source_(seed.data(), seed.size()))
      throw InternalFault("Reseeding RNG failed: " + error->text());
    set_key(seed);
    bytes_until_reseed_ = threshold_ - REFILL_BYTES;
  } else {
    bytes_until_reseed_ -= REFILL_BYTES;
  }
  chacha12_blocks4(key_, counter_, buffer_.data());
  counter_ += 4;
  index_ = 0;
}

std::uint64_t ReseedingChaCha::next_u64_after_refill() {
  if (index_ == BUFFER_WORDS - 1) {
    // One word left: it becomes the low half, the new buffer's first word
    // the high half.
    const std::uint32_t low = buffer_[BUFFER_WORDS - 1];
    refill();
    index_ = 1;
    return low | std::uint64_t{buffer_[0]} << 32;
  }
  refill();
  index_ = 2;
  return buffer_[0] | std::uint64_t{buffer_[1]} << 32;
}

}  // namespace graphripple
