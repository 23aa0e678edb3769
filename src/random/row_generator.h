// RowGenerator: the small deterministic generator behind every matrix row.
//
// Four 64-bit words stepped by xoshiro256++, seeded by expanding one 64-bit
// number through SplitMix64. The projection makes one per row from
// base + row index, so a seed yields the same matrix on every machine and
// for every split of the rows among threads.
// - Called once per matrix entry: everything here is inline.
// - Never shared between threads; lives in the task that fills one row.
#pragma once

#include <bit>
#include <cstdint>

namespace graphripple {

struct RowGenerator {
  std::uint64_t s0, s1, s2, s3;

  /// State from four consecutive SplitMix64 outputs for `seed`. SplitMix64
  /// is a bijection of its counter, so the four words are never all zero.
  static constexpr RowGenerator from_seed(std::uint64_t seed) {
    constexpr std::uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ull;
    auto mix = [](std::uint64_t x) {
      std::uint64_t z = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      return z ^ (z >> 31);
    };
    return RowGenerator{mix(seed + 1 * GOLDEN_GAMMA), mix(seed + 2 * GOLDEN_GAMMA),
                        mix(seed + 3 * GOLDEN_GAMMA), mix(seed + 4 * GOLDEN_GAMMA)};
  }

  /// One xoshiro256++ step.
  constexpr std::uint64_t next_u64() {
    const std::uint64_t result = std::rotl(s0 + s3, 23) + s0;
    const std::uint64_t t = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t;
    s3 = std::rotl(s3, 45);
    return result;
  }

  /// The top 24 bits of one draw, the integer behind next_f32.
  constexpr std::uint32_t next_u24() { return static_cast<std::uint32_t>(next_u64() >> 40); }

  /// Uniform in [0, 1): a multiple of 2^-24, exact in single precision.
  constexpr float next_f32() { return static_cast<float>(next_u24()) * 0x1p-24f; }
};

}  // namespace graphripple
