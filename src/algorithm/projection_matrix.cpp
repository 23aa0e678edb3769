// build_projection_matrix: the random sign projection, row by row.
//
// Row i is the stream of RowGenerator::from_seed(base + i): one draw per
// entry, kept as its top 24 bits k and compared against the integer forms of
// PROJECTION_DENSITY and 2 * PROJECTION_DENSITY, which select exactly the
// draws whose float value r = k * 2^-24 lies below them.
// - The matrix starts zero-filled; the scalar loop writes only non-zero
//   entries.
// - A column window [start, stop) keeps entries start .. stop - 1 of each
//   full row: the first `start` draws are made and discarded, so a block of
//   columns has the bits of the same columns of the whole matrix.
// - With AVX2, four rows advance together, one generator per 64-bit lane,
//   and 4 x 8 tiles of finished entries are transposed and stored whole;
//   the scalar loop handles the remaining rows, and every row on processors
//   without AVX2. Both give the same bits.
#include "algorithm/projection_matrix.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "algorithm/row_loop.h"
#include "error/internal_fault.h"
#include "pool/worker_pool.h"
#include "random/row_generator.h"
#include "random/thread_rng.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define GRAPHRIPPLE_PROJECTION_AVX2 1
#endif

namespace graphripple {

namespace {

// r < PROJECTION_DENSITY exactly when k < PLUS_LIMIT, and
// r < 2 * PROJECTION_DENSITY exactly when k < NONZERO_LIMIT: r is exact, so
// each limit is the smallest k whose k * 2^-24 reaches the float bound.
constexpr std::uint32_t PLUS_LIMIT = 2796203;
constexpr std::uint32_t NONZERO_LIMIT = 5592406;
static_assert(float(PLUS_LIMIT - 1) * 0x1p-24f < PROJECTION_DENSITY);
static_assert(float(PLUS_LIMIT) * 0x1p-24f >= PROJECTION_DENSITY);
static_assert(float(NONZERO_LIMIT - 1) * 0x1p-24f < 2.0f * PROJECTION_DENSITY);
static_assert(float(NONZERO_LIMIT) * 0x1p-24f >= 2.0f * PROJECTION_DENSITY);

constexpr std::uint32_t VALUE_BITS = std::bit_cast<std::uint32_t>(PROJECTION_VALUE);
constexpr std::uint32_t SIGN_BIT = 0x80000000u;

// Columns [skip, skip + cols) of the row drawn from `seed`: the first
// `skip` draws are made and discarded.
void fill_row_scalar(float* row, std::uint64_t skip, std::uint64_t cols, std::uint64_t seed) {
  RowGenerator generator = RowGenerator::from_seed(seed);
  for (std::uint64_t j = 0; j < skip; ++j) generator.next_u64();
  for (std::uint64_t j = 0; j < cols; ++j) {
    const std::uint32_t k = generator.next_u24();
    // The sign is chosen without a branch; the only data-dependent branch
    // left skips the store of a zero entry.
    const std::uint32_t bits = VALUE_BITS | (k < PLUS_LIMIT ? 0u : SIGN_BIT);
    if (k < NONZERO_LIMIT) std::memcpy(row + j, &bits, sizeof bits);
  }
}

#ifdef GRAPHRIPPLE_PROJECTION_AVX2

__attribute__((target("avx2"))) inline __m256i rotl64(__m256i x, int n) {
  return _mm256_or_si256(_mm256_slli_epi64(x, n), _mm256_srli_epi64(x, 64 - n));
}

// Four RowGenerators side by side, lane l holding row l of the group.
struct RowGenerator4 {
  __m256i s0, s1, s2, s3;

  /// Lane l seeded with seeds[l].
  __attribute__((target("avx2"))) static RowGenerator4 from_seeds(const std::uint64_t (&seeds)[4]) {
    alignas(32) std::uint64_t words[4][4];
    for (int lane = 0; lane < 4; ++lane) {
      const RowGenerator g = RowGenerator::from_seed(seeds[lane]);
      words[0][lane] = g.s0;
      words[1][lane] = g.s1;
      words[2][lane] = g.s2;
      words[3][lane] = g.s3;
    }
    return RowGenerator4{_mm256_load_si256(reinterpret_cast<const __m256i*>(words[0])),
                         _mm256_load_si256(reinterpret_cast<const __m256i*>(words[1])),
                         _mm256_load_si256(reinterpret_cast<const __m256i*>(words[2])),
                         _mm256_load_si256(reinterpret_cast<const __m256i*>(words[3]))};
  }

  /// The entry bits (+value, -value or 0) of the next column of each row,
  /// in the low half of each 64-bit lane; the high half is zero.
  __attribute__((target("avx2"))) __m256i next_entries() {
    const __m256i result = _mm256_add_epi64(rotl64(_mm256_add_epi64(s0, s3), 23), s0);
    const __m256i t = _mm256_slli_epi64(s1, 17);
    s2 = _mm256_xor_si256(s2, s0);
    s3 = _mm256_xor_si256(s3, s1);
    s1 = _mm256_xor_si256(s1, s2);
    s0 = _mm256_xor_si256(s0, s3);
    s2 = _mm256_xor_si256(s2, t);
    s3 = rotl64(s3, 45);
    // k < 2^24, so signed 32-bit compares on the low halves are exact.
    const __m256i k = _mm256_srli_epi64(result, 40);
    const __m256i plus = _mm256_cmpgt_epi32(_mm256_set1_epi64x(PLUS_LIMIT), k);
    const __m256i nonzero = _mm256_cmpgt_epi32(_mm256_set1_epi64x(NONZERO_LIMIT), k);
    const __m256i magnitude = _mm256_and_si256(nonzero, _mm256_set1_epi64x(VALUE_BITS));
    const __m256i sign = _mm256_andnot_si256(plus, _mm256_and_si256(nonzero, _mm256_set1_epi64x(SIGN_BIT)));
    return _mm256_or_si256(magnitude, sign);
  }

  /// Discards the next `count` entries of each row: the state steps of
  /// next_entries without its output.
  __attribute__((target("avx2"))) void skip(std::uint64_t count) {
    for (std::uint64_t j = 0; j < count; ++j) {
      const __m256i t = _mm256_slli_epi64(s1, 17);
      s2 = _mm256_xor_si256(s2, s0);
      s3 = _mm256_xor_si256(s3, s1);
      s1 = _mm256_xor_si256(s1, s2);
      s0 = _mm256_xor_si256(s0, s3);
      s2 = _mm256_xor_si256(s2, t);
      s3 = rotl64(s3, 45);
    }
  }
};

// Rows [row, row + 4), columns [skip, skip + cols) of the full rows: tiles
// of 8 columns, then the column tail. Row r is drawn from base + r, or from
// base + drawn_rows[r].
__attribute__((target("avx2"))) void fill_four_rows_avx2(float* data, std::uint64_t row, std::uint64_t skip,
                                                         std::uint64_t cols, std::uint64_t base,
                                                         const std::uint64_t* drawn_rows) {
  std::uint64_t seeds[4];
  for (std::uint64_t r = 0; r < 4; ++r) seeds[r] = base + (drawn_rows != nullptr ? drawn_rows[row + r] : row + r);
  RowGenerator4 generators = RowGenerator4::from_seeds(seeds);
  generators.skip(skip);
  float* rows[4] = {data + row * cols, data + (row + 1) * cols, data + (row + 2) * cols,
                    data + (row + 3) * cols};
  for (std::uint64_t j = 0; j < cols; j += 8) {
    // Columns j .. j+7 of the four rows: pair adjacent columns into 64-bit
    // lanes, then transpose the 4 x 4 matrix of pairs.
    __m256i pairs[4];
    for (int p = 0; p < 4; ++p) {
      const __m256i even = generators.next_entries();
      const __m256i odd = generators.next_entries();
      pairs[p] = _mm256_or_si256(even, _mm256_slli_epi64(odd, 32));
    }
    const __m256i lo01 = _mm256_unpacklo_epi64(pairs[0], pairs[1]);
    const __m256i hi01 = _mm256_unpackhi_epi64(pairs[0], pairs[1]);
    const __m256i lo23 = _mm256_unpacklo_epi64(pairs[2], pairs[3]);
    const __m256i hi23 = _mm256_unpackhi_epi64(pairs[2], pairs[3]);
    __m256i tile[4] = {_mm256_permute2x128_si256(lo01, lo23, 0x20), _mm256_permute2x128_si256(hi01, hi23, 0x20),
                       _mm256_permute2x128_si256(lo01, lo23, 0x31), _mm256_permute2x128_si256(hi01, hi23, 0x31)};
    if (cols - j >= 8) {
      // One plain store per eight entries. It rewrites the zero entries of
      // the tile with the zeros already there; a masked store that skips
      // them is microcoded on common processors and made the whole fill
      // about 1.7 times slower.
      for (int r = 0; r < 4; ++r) _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows[r] + j), tile[r]);
    } else {
      // The last partial tile: its generators have run past the row end,
      // which is harmless because they are discarded after this tile.
      alignas(32) std::uint32_t bits[4][8];
      for (int r = 0; r < 4; ++r) _mm256_store_si256(reinterpret_cast<__m256i*>(bits[r]), tile[r]);
      for (int r = 0; r < 4; ++r) {
        for (std::uint64_t c = 0; c < cols - j; ++c) {
          if (bits[r][c] != 0) std::memcpy(rows[r] + j + c, &bits[r][c], sizeof(float));
        }
      }
    }
  }
}

bool has_avx2() {
  static const bool supported = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return supported;
}

#endif  // GRAPHRIPPLE_PROJECTION_AVX2

// Rows [lo, hi) of a rows x cols matrix whose row i has seed base + i (or
// base + drawn_rows[i]) and holds columns [skip, skip + cols) of the full
// row.
void fill_rows(float* data, std::uint64_t lo, std::uint64_t hi, std::uint64_t skip, std::uint64_t cols,
               std::uint64_t base, const std::uint64_t* drawn_rows) {
  std::uint64_t row = lo;
#ifdef GRAPHRIPPLE_PROJECTION_AVX2
  if (has_avx2()) {
    for (; hi - row >= 4; row += 4) fill_four_rows_avx2(data, row, skip, cols, base, drawn_rows);
  }
#endif
  for (; row < hi; ++row)
    fill_row_scalar(data + row * cols, skip, cols, base + (drawn_rows != nullptr ? drawn_rows[row] : row));
}

}  // namespace

Expected<MatrixF32> build_projection_matrix(std::uint64_t rows, std::uint64_t cols,
                                            std::optional<std::uint64_t> seed) {
  return build_projection_columns(rows, 0, cols, seed);
}

Expected<MatrixF32> build_projection_columns(std::uint64_t rows, std::uint64_t start, std::uint64_t stop,
                                             std::optional<std::uint64_t> seed, const std::uint64_t* drawn_rows) {
  fault_unless(start <= stop, "build_projection_columns: start above stop");
  const std::uint64_t cols = stop - start;
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(rows, cols, &count)) return EmbeddingError::shape_mismatch("Capacity overflow");

  auto storage = MatrixF32::try_zeroed(rows, cols);
  if (!storage) return std::move(storage).error();
  MatrixF32 matrix = std::move(storage).value();

  // With both extents non-zero the byte count already fits; an empty matrix
  // can still have one extent too large for a signed 64-bit shape.
  std::uint64_t shape_product = 0;
  if (__builtin_mul_overflow(std::max<std::uint64_t>(rows, 1), std::max<std::uint64_t>(cols, 1), &shape_product) ||
      shape_product > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return EmbeddingError::shape_mismatch("ShapeError/Overflow: arithmetic overflow");

  // Drawn even for an empty matrix, so every unseeded call advances the
  // thread's stream the same way.
  const std::uint64_t base = seed ? *seed : thread_rng().next_u64();

  float* data = matrix.data.data();
  auto fill = [data, start, cols, base, drawn_rows](std::size_t lo, std::size_t hi) {
    fill_rows(data, lo, hi, start, cols, base, drawn_rows);
  };
  // The discarded draws cost about as much as the kept ones.
  std::uint64_t work = 0;
  if (__builtin_mul_overflow(rows, stop, &work)) work = std::numeric_limits<std::uint64_t>::max();
  if (count > 0) for_row_ranges(rows, work, RangeBody(fill));
  return matrix;
}

}  // namespace graphripple
