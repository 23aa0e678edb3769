// The ChaCha block function reduced to 12 rounds (6 double rounds).
//
// thread_rng turns it into a stream: 64-bit block counter in input words 12
// and 13, a zero nonce in words 14 and 15. The scalar block is the
// reference; chacha12_blocks4 makes four consecutive blocks at once with
// SSE2 (part of every x86-64 processor) and is tested word for word
// against it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace graphripple {

/// The 256-bit key as eight little-endian words.
using ChaChaKey = std::array<std::uint32_t, 8>;

inline constexpr std::size_t CHACHA_BLOCK_WORDS = 16;

/// One 16-word output block for `counter` (the reference definition).
void chacha12_block(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out);

/// The blocks for counter, counter + 1, counter + 2, counter + 3 (modulo
/// 2^64), one after another in out[0, 64).
void chacha12_blocks4(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out);

namespace detail {
/// Four blocks through the scalar reference, for comparison in tests.
void chacha12_blocks4_scalar(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out);
}  // namespace detail

}  // namespace graphripple
