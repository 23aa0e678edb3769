// Bit-for-bit comparison of floating-point results in tests.
//
// Two values match when their bits are equal, except that any NaN matches
// any NaN: which NaN an operation yields is not part of any result the
// system promises, while the sign of a zero is.
#pragma once

#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>

namespace graphripple::test {

template <std::floating_point T>
bool same_bits(T a, T b) {
  using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
}

}  // namespace graphripple::test
