// The scaled row update and its SIMD variants.
//
// Each variant multiplies and adds lane by lane with separate instructions
// (no FMA), so every element is rounded exactly as the scalar formula
// rounds it, including NaN, infinities, signed zeros and subnormals.
#include <cstdint>

#include "algorithm/kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define GRAPHRIPPLE_X86 1
#endif

namespace graphripple {

namespace detail {

void add_scaled_row_scalar(float* dst, const float* src, float s, std::uint64_t length) {
  for (std::uint64_t j = 0; j < length; ++j) {
    const float product = src[j] * s;
    dst[j] = product + dst[j];
  }
}

#ifdef GRAPHRIPPLE_X86
void add_scaled_row_sse2(float* dst, const float* src, float s, std::uint64_t length) {
  const __m128 scale = _mm_set1_ps(s);
  std::uint64_t j = 0;
  for (; j + 8 <= length; j += 8) {
    const __m128 a = _mm_mul_ps(_mm_loadu_ps(src + j), scale);
    const __m128 b = _mm_mul_ps(_mm_loadu_ps(src + j + 4), scale);
    _mm_storeu_ps(dst + j, _mm_add_ps(a, _mm_loadu_ps(dst + j)));
    _mm_storeu_ps(dst + j + 4, _mm_add_ps(b, _mm_loadu_ps(dst + j + 4)));
  }
  add_scaled_row_scalar(dst + j, src + j, s, length - j);
}

__attribute__((target("avx2"))) void add_scaled_row_avx2(float* dst, const float* src, float s,
                                                          std::uint64_t length) {
  const __m256 scale = _mm256_set1_ps(s);
  std::uint64_t j = 0;
  for (; j + 16 <= length; j += 16) {
    const __m256 a = _mm256_mul_ps(_mm256_loadu_ps(src + j), scale);
    const __m256 b = _mm256_mul_ps(_mm256_loadu_ps(src + j + 8), scale);
    _mm256_storeu_ps(dst + j, _mm256_add_ps(a, _mm256_loadu_ps(dst + j)));
    _mm256_storeu_ps(dst + j + 8, _mm256_add_ps(b, _mm256_loadu_ps(dst + j + 8)));
  }
  for (; j + 8 <= length; j += 8) {
    const __m256 a = _mm256_mul_ps(_mm256_loadu_ps(src + j), scale);
    _mm256_storeu_ps(dst + j, _mm256_add_ps(a, _mm256_loadu_ps(dst + j)));
  }
  add_scaled_row_scalar(dst + j, src + j, s, length - j);
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#else
void add_scaled_row_sse2(float* dst, const float* src, float s, std::uint64_t length) {
  add_scaled_row_scalar(dst, src, s, length);
}
void add_scaled_row_avx2(float* dst, const float* src, float s, std::uint64_t length) {
  add_scaled_row_scalar(dst, src, s, length);
}
bool cpu_has_avx2() { return false; }
#endif

}  // namespace detail

void add_scaled_row(float* dst, const float* src, float s, std::uint64_t length) {
  if (detail::cpu_has_avx2()) {
    detail::add_scaled_row_avx2(dst, src, s, length);
  } else {
    detail::add_scaled_row_sse2(dst, src, s, length);
  }
}

void add_scaled_row(RowView dst, ConstRowView src, float s) {
  fault_unless(dst.length == src.length, "add_scaled_row: rows differ in length");
  if (dst.stride == 1 && src.stride == 1) {
    add_scaled_row(dst.data, src.data, s, dst.length);
    return;
  }
  for (std::uint64_t j = 0; j < dst.length; ++j) {
    float& d = dst.data[std::int64_t(j) * dst.stride];
    const float product = src.data[std::int64_t(j) * src.stride] * s;
    d = product + d;
  }
}

}  // namespace graphripple
