// The JSON grammar below the structural characters, read as Python's json
// module reads it: strings with their escapes, numbers, the three named
// constants and the NaN/Infinity extensions. simdjson finds where tokens
// start; these functions decide what a token is and whether it is valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "telemetry_json/decimal_to_double.hpp"

namespace quelvar::json {

enum class TokenKind : std::uint8_t {
    Object,
    Array,
    String,
    Integer,  // an int in Python: any length, "-0" is the integer zero
    Float,    // a float in Python: has a fraction or an exponent
    True,
    False,
    Null,
    NaN,
    Infinity,
    NegativeInfinity,
};

// A scalar as the decoder keeps it: its kind and, for numbers, its text.
struct Scalar {
    TokenKind kind = TokenKind::Null;
    std::string_view number;
};

// Why a token is refused; the texts are short and fixed.
struct TokenError {
    const char* at;
    const char* reason;
    bool digit_limit = false;  // an integer longer than the limit
};

// A key decoded far enough to be compared with the decoder's keys, all
// short ASCII names: longer or non-ASCII keys never match, whatever else
// they hold.
struct ShortKey {
    static constexpr std::size_t CAPACITY = 16;
    char text[CAPACITY];
    std::size_t length = 0;
    bool comparable = true;

    std::string_view view() const { return comparable ? std::string_view(text, length) : std::string_view(); }
};

// Scans a string from the byte after its opening quote up to and including
// the closing quote, checking every escape and refusing raw control
// characters (the strict mode of json.loads). Lone surrogate escapes are
// valid, as they are in Python. UTF-8 is checked elsewhere, for the whole
// text at once. Returns the byte after the closing quote.
const char* scan_string(const char* p, const char* end, ShortKey* key, TokenError& error);

// Classifies the scalar token [begin, end) (simdjson's token runs to the next
// structural character and so may carry trailing whitespace). Integers
// longer than `max_int_digits` digits are refused as Python refuses to
// convert them (0: no limit).
bool scan_scalar(const char* begin, const char* end, std::size_t max_int_digits, Scalar& scalar, TokenError& error);

constexpr bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The usual number, -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]{1,4})? with
// at most 19 digits, read from its first byte up to the whitespace, comma or
// closing bracket that ends it, as Python converts it: digits below 2^53
// and a power of ten up to 10^22 are both exact, so one multiplication or
// division rounds correctly, as float() does; other digits take the tabled
// product (digits_to_double). "-0" is the integer zero, +0.0. False for any
// other token, and for the few whose rounding the product leaves open: they
// take the general route. The text must be followed by a byte that ends the
// number (a padded text's NUL does).
inline constexpr double POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool short_number(const char* p, double& out) {
    constexpr std::ptrdiff_t MAX_DIGITS = 19, MAX_EXPONENT_DIGITS = 4;
    constexpr std::uint64_t EXACT_DOUBLE = std::uint64_t{1} << 53;
    auto digit = [](char c) { return static_cast<unsigned>(c - '0') <= 9; };
    const bool negative = *p == '-';
    p += negative;
    const char* first = p;
    std::uint64_t value = 0;
    // Past 19 digits the value wraps, and the count refuses it below.
    if (*p == '0') {
        ++p;
    } else {
        while (digit(*p)) value = value * 10 + static_cast<unsigned>(*p++ - '0');
    }
    const std::ptrdiff_t integer_digits = p - first;
    std::ptrdiff_t fraction_digits = 0;
    if (*p == '.') {
        const char* fraction = ++p;
        while (digit(*p)) value = value * 10 + static_cast<unsigned>(*p++ - '0');
        fraction_digits = p - fraction;
        if (fraction_digits == 0) return false;
    }
    int exponent = 0;
    const bool has_exponent = *p == 'e' || *p == 'E';
    if (has_exponent) {
        ++p;
        const bool negative_exponent = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        const char* digits = p;
        while (digit(*p) && p - digits < MAX_EXPONENT_DIGITS) exponent = exponent * 10 + (*p++ - '0');
        if (p == digits) return false;
        if (negative_exponent) exponent = -exponent;
    }
    const bool ended = *p == ',' || *p == '}' || *p == ']' || is_whitespace(*p);
    if (!ended || integer_digits == 0 || integer_digits + fraction_digits > MAX_DIGITS) return false;
    const int q = exponent - static_cast<int>(fraction_digits);
    double magnitude;
    if (value <= EXACT_DOUBLE && q >= -22 && q <= 22) {
        magnitude =
            q < 0 ? static_cast<double>(value) / POWERS_OF_TEN[-q] : static_cast<double>(value) * POWERS_OF_TEN[q];
    } else if (!digits_to_double(value, q, magnitude)) {
        return false;
    }
    // An integer's zero has no sign.
    const bool integer = fraction_digits == 0 && !has_exponent;
    out = negative && !(integer && value == 0) ? -magnitude : magnitude;
    return true;
}

// The three lenient conversions of the dict path, applied to what json.loads
// would have built from the token.
std::optional<double> to_float(const Scalar& scalar);
std::optional<std::int64_t> to_int(const Scalar& scalar);
std::optional<bool> to_bool(const Scalar& scalar);

// Where strict UTF-8 fails, tolerating the three-byte forms of U+D800 to
// U+DFFF that Python's "surrogatepass" decoding accepts; npos when the text
// is valid.
inline constexpr std::size_t VALID_UTF8 = static_cast<std::size_t>(-1);
std::size_t invalid_utf8_offset(const unsigned char* text, std::size_t length);

}  // namespace quelvar::json
