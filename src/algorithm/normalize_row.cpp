// Scaling a row to unit Euclidean norm, with a summation order fixed by
// the element index alone (see normalize_row in kernels.h).
//
// The sixteen partial sums map onto two eight-lane registers, so the AVX2
// form adds the same squares in the same order as the scalar one; only the
// common case (a normal total) is vectorised, the rescaling of rows whose
// squares overflow or underflow runs the scalar code on both paths.
#include <cmath>
#include <cstdint>
#include <limits>

#include "algorithm/kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define GRAPHRIPPLE_X86 1
#endif

namespace graphripple {

namespace {

constexpr std::uint64_t LANES = 16;

using detail::fold_partial_sums;
float fold(float (&partial)[LANES]) { return fold_partial_sums(partial); }

float sum_of_squares_scalar(const float* row, std::uint64_t length) {
  float partial[LANES] = {};
  for (std::uint64_t j = 0; j < length; ++j) {
    const float square = row[j] * row[j];
    partial[j % LANES] = square + partial[j % LANES];
  }
  return fold(partial);
}

bool normal_total(float total) {
  return total >= std::numeric_limits<float>::min() && total <= std::numeric_limits<float>::max();
}

void scale_by_scalar(float* row, std::uint64_t length, float factor) {
  for (std::uint64_t j = 0; j < length; ++j) row[j] = row[j] * factor;
}

// Step 5, and the zero and NaN rows of step 4, given a total that is not a
// normal float.
void normalize_unusual_row(float* row, std::uint64_t length, float total) {
  if (std::isnan(total)) {
    scale_by_scalar(row, length, 1.0f / std::sqrt(total));
    return;
  }
  float largest = 0.0f;
  for (std::uint64_t j = 0; j < length; ++j) largest = std::fmax(largest, std::fabs(row[j]));
  if (largest == 0.0f) return;
  for (std::uint64_t j = 0; j < length; ++j) row[j] = row[j] / largest;
  const float rescaled = sum_of_squares_scalar(row, length);
  scale_by_scalar(row, length, 1.0f / std::sqrt(rescaled));
}

}  // namespace

namespace detail {

float fold_partial_sums(float (&partial)[16]) {
  for (std::uint64_t width = LANES / 2; width >= 1; width /= 2)
    for (std::uint64_t l = 0; l < width; ++l) partial[l] = partial[l] + partial[l + width];
  return partial[0];
}

void normalize_row_scalar(float* row, std::uint64_t length) {
  const float total = sum_of_squares_scalar(row, length);
  if (!normal_total(total)) {
    normalize_unusual_row(row, length, total);
    return;
  }
  scale_by_scalar(row, length, 1.0f / std::sqrt(total));
}

#ifdef GRAPHRIPPLE_X86
__attribute__((target("avx2"))) void normalize_row_avx2(float* row, std::uint64_t length) {
  // Lanes 0-7 of the partial sums in `low`, 8-15 in `high`.
  __m256 low = _mm256_setzero_ps(), high = _mm256_setzero_ps();
  std::uint64_t j = 0;
  for (; j + LANES <= length; j += LANES) {
    const __m256 a = _mm256_loadu_ps(row + j), b = _mm256_loadu_ps(row + j + 8);
    low = _mm256_add_ps(_mm256_mul_ps(a, a), low);
    high = _mm256_add_ps(_mm256_mul_ps(b, b), high);
  }
  alignas(32) float partial[LANES];
  _mm256_store_ps(partial, low);
  _mm256_store_ps(partial + 8, high);
  for (; j < length; ++j) {
    const float square = row[j] * row[j];
    partial[j % LANES] = square + partial[j % LANES];
  }
  scale_to_unit_avx2(row, length, fold(partial));
}

__attribute__((target("avx2"))) void scale_to_unit_avx2(float* row, std::uint64_t length, float total) {
  if (!normal_total(total)) {
    normalize_unusual_row(row, length, total);
    return;
  }
  const float factor = 1.0f / std::sqrt(total);
  const __m256 f = _mm256_set1_ps(factor);
  std::uint64_t j = 0;
  for (; j + 8 <= length; j += 8) _mm256_storeu_ps(row + j, _mm256_mul_ps(_mm256_loadu_ps(row + j), f));
  scale_by_scalar(row + j, length - j, factor);
}
#else
void normalize_row_avx2(float* row, std::uint64_t length) { normalize_row_scalar(row, length); }
void scale_to_unit_avx2(float* row, std::uint64_t length, float total) {
  if (!normal_total(total)) {
    normalize_unusual_row(row, length, total);
    return;
  }
  scale_by_scalar(row, length, 1.0f / std::sqrt(total));
}
#endif

}  // namespace detail

void normalize_row(float* row, std::uint64_t length) {
  if (detail::cpu_has_avx2()) {
    detail::normalize_row_avx2(row, length);
  } else {
    detail::normalize_row_scalar(row, length);
  }
}

}  // namespace graphripple
