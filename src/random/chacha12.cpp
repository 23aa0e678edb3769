// ChaCha12 blocks: the scalar reference and the four-lane SSE2 variant.
#include "random/chacha12.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace graphripple {

namespace {

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t SIGMA[4] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};
constexpr int DOUBLE_ROUNDS = 6;

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b; d ^= a; d = std::rotl(d, 16);
  c += d; b ^= c; b = std::rotl(b, 12);
  a += b; d ^= a; d = std::rotl(d, 8);
  c += d; b ^= c; b = std::rotl(b, 7);
}

#if defined(__SSE2__)
template <int N>
inline __m128i rotl_lanes(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
}

inline void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b); d = rotl_lanes<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl_lanes<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b); d = rotl_lanes<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl_lanes<7>(_mm_xor_si128(b, c));
}
#endif

// The column and diagonal rounds, for scalar words or four blocks in SIMD
// lanes alike (quarter_round is overloaded for both).
template <class Word>
inline void double_rounds(Word (&x)[16]) {
  for (int round = 0; round < DOUBLE_ROUNDS; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
}

#if defined(__SSE2__)
// Lane b of every vector belongs to block b: the rounds run on all four
// blocks at once, and a 4x4 transpose per group of words restores the
// block-after-block output order.
void blocks4_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out) {
  __m128i input[16];
  for (int w = 0; w < 4; ++w) input[w] = _mm_set1_epi32(static_cast<int>(SIGMA[w]));
  for (int w = 0; w < 8; ++w) input[4 + w] = _mm_set1_epi32(static_cast<int>(key[w]));
  std::uint32_t low[4], high[4];
  for (int b = 0; b < 4; ++b) {
    const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
    low[b] = static_cast<std::uint32_t>(c);
    high[b] = static_cast<std::uint32_t>(c >> 32);
  }
  input[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
  input[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
  input[14] = _mm_setzero_si128();
  input[15] = _mm_setzero_si128();

  __m128i x[16];
  for (int w = 0; w < 16; ++w) x[w] = input[w];
  double_rounds(x);
  for (int w = 0; w < 16; w += 4) {
    const __m128i a = _mm_add_epi32(x[w], input[w]);
    const __m128i b = _mm_add_epi32(x[w + 1], input[w + 1]);
    const __m128i c = _mm_add_epi32(x[w + 2], input[w + 2]);
    const __m128i d = _mm_add_epi32(x[w + 3], input[w + 3]);
    const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
    const __m128i cd_lo = _mm_unpacklo_epi32(c, d), cd_hi = _mm_unpackhi_epi32(c, d);
    auto* o = reinterpret_cast<__m128i*>(out + w);
    _mm_storeu_si128(o + 0 * 4, _mm_unpacklo_epi64(ab_lo, cd_lo));  // block 0
    _mm_storeu_si128(o + 1 * 4, _mm_unpackhi_epi64(ab_lo, cd_lo));  // block 1
    _mm_storeu_si128(o + 2 * 4, _mm_unpacklo_epi64(ab_hi, cd_hi));  // block 2
    _mm_storeu_si128(o + 3 * 4, _mm_unpackhi_epi64(ab_hi, cd_hi));  // block 3
  }
}
#endif

}  // namespace

void chacha12_block(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out) {
  std::uint32_t input[16] = {SIGMA[0], SIGMA[1], SIGMA[2], SIGMA[3],
                             key[0],   key[1],   key[2],   key[3],
                             key[4],   key[5],   key[6],   key[7],
                             static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
                             0,        0};
  std::uint32_t x[16];
  for (int w = 0; w < 16; ++w) x[w] = input[w];
  double_rounds(x);
  for (int w = 0; w < 16; ++w) out[w] = x[w] + input[w];
}

void chacha12_blocks4(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out) {
#if defined(__SSE2__)
  blocks4_sse2(key, counter, out);
#else
  detail::chacha12_blocks4_scalar(key, counter, out);
#endif
}

namespace detail {
void chacha12_blocks4_scalar(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out) {
  for (std::uint64_t b = 0; b < 4; ++b) chacha12_block(key, counter + b, out + b * CHACHA_BLOCK_WORDS);
}
}  // namespace detail

}  // namespace graphripple
