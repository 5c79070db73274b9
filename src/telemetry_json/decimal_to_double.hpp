// A JSON number's text as the double Python's float() makes of it, in time
// linear in the text whatever its digits and exponent: a client must not be
// able to make one number cost more than the bytes it sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quelvar::json {

// The nearest double to the decimal value of `text`, ties to the even
// significand: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, already
// checked. Past the largest double it is infinite, below half the smallest
// subnormal zero, both with the text's sign (as float() gives them; an int's
// conversion refuses the infinite ones instead).
//
// Most numbers take one 64-by-128-bit product with a tabled power of five.
// Only when the first 19 significant digits leave the rounding open is the
// value compared exactly with the midpoint between the two candidates, on
// at most its first KEPT_DIGITS significant digits: the digits after those
// only tell whether the value lies above them (see decimal_to_double.cpp).
double decimal_to_double(std::string_view text);

// 5^q for q in [SMALLEST_POWER, LARGEST_POWER] scaled by a power of two into
// [2^127, 2^128): truncated for q >= 0, and the reciprocal of 5^-q truncated
// for q < 0, plus one where 5^-q < 2^64 (so that a product with it is never
// below the exact one). Exposed for the core tests.
struct Power128 {
    std::uint64_t high;
    std::uint64_t low;
};
inline constexpr int SMALLEST_POWER = -342;  // 2^64 * 10^-343 is below half the smallest subnormal
inline constexpr int LARGEST_POWER = 308;    // 1 * 10^309 is above the largest double
extern const std::array<Power128, LARGEST_POWER - SMALLEST_POWER + 1> POWERS_OF_FIVE_128;

}  // namespace quelvar::json
