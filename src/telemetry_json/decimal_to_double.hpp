// A JSON number's text as the double Python's float() makes of it, in time
// linear in the text whatever its digits and exponent: a client must not be
// able to make one number cost more than the bytes it sent.
#pragma once

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
// at most its first 768 significant digits: the digits after those only
// tell whether the value lies above them (see decimal_to_double.cpp).
double decimal_to_double(std::string_view text);

// w * 10^q for w below 10^19, as decimal_to_double gives it, when the
// tabled product settles the rounding (for all but a vanishing few); false
// leaves the number to decimal_to_double.
bool digits_to_double(std::uint64_t w, int q, double& out);

}  // namespace quelvar::json
