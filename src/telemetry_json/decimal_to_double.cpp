#include "telemetry_json/decimal_to_double.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace quelvar::json {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t FRACTION_MASK = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t INFINITY_BITS = std::uint64_t{0x7FF} << 52;
constexpr std::uint64_t SIGN_BIT = std::uint64_t{1} << 63;

// A midpoint between two adjacent doubles is (2m+1) * 2^e with m < 2^53 and
// e >= -1075: an integer below 2^1024 < 10^309, or (2m+1) * 5^-e / 10^-e,
// whose significant digits are those of (2m+1) * 5^-e < 2^54 * 5^1075 <
// 10^768. So a midpoint has at most 768 significant digits, and one can
// never lie strictly between N * 10^Q and (N+1) * 10^Q for an N of 768
// digits: past its first 768 significant digits, a number's digits only
// say whether it lies above them.
constexpr std::size_t KEPT_DIGITS = 768;

// The value of a number lies in [10^(magnitude-1), 10^magnitude). Outside
// these bounds it is infinite (>= 10^309) or zero (< 10^-324, below half
// the smallest subnormal) without a look at its digits.
constexpr std::int64_t LARGEST_MAGNITUDE = 309;
constexpr std::int64_t SMALLEST_MAGNITUDE = -323;

// The exact comparisons scale one side by 5^k, k at most this (the kept
// digits of a number at the smallest magnitude), and hold integers no
// longer than the kept digits (10^3 < 2^10) or a 54-bit midpoint times the
// largest such power (5^3 < 2^7).
constexpr std::size_t LARGEST_FIVE_EXPONENT = KEPT_DIGITS - SMALLEST_MAGNITUDE;
constexpr std::size_t EXACT_BITS = std::max(KEPT_DIGITS * 10 / 3 + 1, 54 + LARGEST_FIVE_EXPONENT * 7 / 3 + 1);
constexpr std::size_t EXACT_LIMBS = EXACT_BITS / 64 + 2;  // and a product's top limb

// A nonnegative integer in `N` 64-bit limbs, least significant first, the
// top limb in use nonzero; the limbs above are not kept. Callers keep within
// N: the bounds above. The same code computes the tables at compile time.
template <std::size_t N>
struct Wide {
    std::array<std::uint64_t, N> limbs;
    std::size_t size;

    constexpr Wide() = default;
    // Copies take the limbs in use only.
    constexpr Wide(const Wide& other) : size(other.size) {
        for (std::size_t i = 0; i < size; ++i) limbs[i] = other.limbs[i];
    }
    constexpr Wide& operator=(const Wide& other) {
        size = other.size;
        for (std::size_t i = 0; i < size; ++i) limbs[i] = other.limbs[i];
        return *this;
    }

    static constexpr Wide of(std::uint64_t value) {
        Wide w;
        w.limbs[0] = value;
        w.size = value != 0 ? 1 : 0;
        return w;
    }

    constexpr std::uint64_t limb(std::size_t i) const { return i < size ? limbs[i] : 0; }

    constexpr std::size_t bit_length() const {
        return size == 0 ? 0 : 64 * size - static_cast<std::size_t>(std::countl_zero(limbs[size - 1]));
    }

    // *this = *this * factor + addend, factor nonzero.
    constexpr void multiply_add(std::uint64_t factor, std::uint64_t addend) {
        std::uint64_t carry = addend;
        for (std::size_t i = 0; i < size; ++i) {
            const u128 product = static_cast<u128>(limbs[i]) * factor + carry;
            limbs[i] = static_cast<std::uint64_t>(product);
            carry = static_cast<std::uint64_t>(product >> 64);
        }
        if (carry != 0) limbs[size++] = carry;
    }

    // *this * other, row by row; the first row sets what the others add to.
    constexpr Wide times(const std::uint64_t* other, std::size_t other_size) const {
        Wide product;
        product.size = 0;
        if (size == 0 || other_size == 0) return product;
        for (std::size_t i = 0; i < size; ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < other_size; ++j) {
                const std::uint64_t below = i == 0 ? 0 : product.limbs[i + j];
                const u128 sum = static_cast<u128>(limbs[i]) * other[j] + below + carry;
                product.limbs[i + j] = static_cast<std::uint64_t>(sum);
                carry = static_cast<std::uint64_t>(sum >> 64);
            }
            product.limbs[i + other_size] = carry;
        }
        product.size = size + other_size;
        while (product.limbs[product.size - 1] == 0) --product.size;
        return product;
    }

    constexpr void shift_left(std::size_t bits) {
        if (size == 0 || bits == 0) return;
        const std::size_t words = bits / 64, rest = bits % 64;
        std::size_t top = size + words;
        if (rest != 0) {
            const std::uint64_t spill = limbs[size - 1] >> (64 - rest);
            if (spill != 0) limbs[top++] = spill;
            for (std::size_t i = size - 1; i > 0; --i)
                limbs[i + words] = limbs[i] << rest | limbs[i - 1] >> (64 - rest);
            limbs[words] = limbs[0] << rest;
        } else {
            for (std::size_t i = size; i-- > 0;) limbs[i + words] = limbs[i];
        }
        for (std::size_t i = 0; i < words; ++i) limbs[i] = 0;
        size = top;
    }

    // *this = floor(*this / divisor), divisor nonzero.
    constexpr void divide(std::uint64_t divisor) {
        std::uint64_t remainder = 0;
        for (std::size_t i = size; i-- > 0;) {
            const u128 dividend = static_cast<u128>(remainder) << 64 | limbs[i];
            limbs[i] = static_cast<std::uint64_t>(dividend / divisor);
            remainder = static_cast<std::uint64_t>(dividend % divisor);
        }
        while (size > 0 && limbs[size - 1] == 0) --size;
    }

    friend constexpr int compare(const Wide& a, const Wide& b) {
        if (a.size != b.size) return a.size < b.size ? -1 : 1;
        for (std::size_t i = a.size; i-- > 0;) {
            if (a.limbs[i] != b.limbs[i]) return a.limbs[i] < b.limbs[i] ? -1 : 1;
        }
        return 0;
    }
};

// The table's powers reach 5^342 (795 bits); its reciprocals are taken
// from floor(2^RECIPROCAL_BITS / 5^k), which holds their 128 bits.
constexpr std::size_t RECIPROCAL_BITS = 960;
using TableWide = Wide<RECIPROCAL_BITS / 64 + 1>;

// The 128 bits from the top one down, truncated (shifted up when shorter).
constexpr u128 top_128_bits(const TableWide& value) {
    const std::size_t length = value.bit_length();
    if (length <= 128) {
        const u128 low = static_cast<u128>(value.limb(1)) << 64 | value.limb(0);
        return low << (128 - length);
    }
    const std::size_t from = length - 128, word = from / 64, bit = from % 64;
    u128 bits = static_cast<u128>(value.limb(word + 1)) << 64 | value.limb(word);
    if (bit != 0) bits = bits >> bit | static_cast<u128>(value.limb(word + 2)) << (128 - bit);
    return bits;
}

// 5^27 is the largest power of five in 64 bits.
constexpr std::size_t FIVE_STEP = 27;

constexpr auto SMALL_POWERS_OF_FIVE = [] {
    std::array<std::uint64_t, FIVE_STEP + 1> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i <= FIVE_STEP; ++i) powers[i] = powers[i - 1] * 5;
    return powers;
}();
static_assert(SMALL_POWERS_OF_FIVE[FIVE_STEP] == 7450580596923828125u);

// Every number of this many decimal digits fits in 64 bits.
constexpr std::size_t WORD_DIGITS = 19;

constexpr auto POWERS_OF_TEN = [] {
    std::array<std::uint64_t, WORD_DIGITS + 1> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i <= WORD_DIGITS; ++i) powers[i] = powers[i - 1] * 10;
    return powers;
}();

using ExactWide = Wide<EXACT_LIMBS>;

// 5^(27 j) for j up to what LARGEST_FIVE_EXPONENT needs, exact, one after
// the other in one array.
constexpr std::size_t LARGE_POWERS = LARGEST_FIVE_EXPONENT / FIVE_STEP + 1;

constexpr std::size_t large_power_limbs() {
    ExactWide power = ExactWide::of(1);
    std::size_t total = 0;
    for (std::size_t j = 0; j < LARGE_POWERS; ++j) {
        total += power.size;
        power.multiply_add(SMALL_POWERS_OF_FIVE[FIVE_STEP], 0);
    }
    return total;
}

struct LargePowers {
    std::array<std::uint64_t, large_power_limbs()> limbs{};
    std::array<std::size_t, LARGE_POWERS + 1> start{};
};

constexpr LargePowers LARGE_POWERS_OF_FIVE = [] {
    LargePowers table;
    ExactWide power = ExactWide::of(1);
    std::size_t at = 0;
    for (std::size_t j = 0; j < LARGE_POWERS; ++j) {
        table.start[j] = at;
        for (std::size_t i = 0; i < power.size; ++i) table.limbs[at++] = power.limbs[i];
        power.multiply_add(SMALL_POWERS_OF_FIVE[FIVE_STEP], 0);
    }
    table.start[LARGE_POWERS] = at;
    return table;
}();

ExactWide times_power_of_five(ExactWide value, std::size_t exponent) {
    value.multiply_add(SMALL_POWERS_OF_FIVE[exponent % FIVE_STEP], 0);
    const std::size_t j = exponent / FIVE_STEP;
    if (j == 0) return value;
    const std::size_t start = LARGE_POWERS_OF_FIVE.start[j];
    return value.times(&LARGE_POWERS_OF_FIVE.limbs[start], LARGE_POWERS_OF_FIVE.start[j + 1] - start);
}

// 5^q for q in [SMALLEST_POWER, LARGEST_POWER] scaled by a power of two into
// [2^127, 2^128): truncated for q >= 0; for q < 0 the reciprocal of 5^-q,
// truncated, plus one where 5^-q < 2^64.
struct Power128 {
    std::uint64_t high;
    std::uint64_t low;
};
constexpr int SMALLEST_POWER = -342;  // 2^64 * 10^-343 is below half the smallest subnormal
constexpr int LARGEST_POWER = 308;    // 1 * 10^309 is above the largest double

constexpr std::array<Power128, LARGEST_POWER - SMALLEST_POWER + 1> POWERS_OF_FIVE_128 = [] {
    std::array<Power128, LARGEST_POWER - SMALLEST_POWER + 1> table{};
    auto split = [](u128 value) {
        return Power128{static_cast<std::uint64_t>(value >> 64), static_cast<std::uint64_t>(value)};
    };
    TableWide power = TableWide::of(1);
    for (int q = 0; q <= LARGEST_POWER; ++q) {
        table[static_cast<std::size_t>(q - SMALLEST_POWER)] = split(top_128_bits(power));
        power.multiply_add(5, 0);
    }
    // floor(floor(x / 5^k) / 5) = floor(x / 5^(k+1)), and the top 128 bits
    // of floor(2^RECIPROCAL_BITS / 5^k) are floor(2^(b + 127) / 5^k) for
    // the b bits of 5^k.
    TableWide reciprocal = TableWide::of(1);
    reciprocal.shift_left(RECIPROCAL_BITS);
    for (int k = 1; k <= -SMALLEST_POWER; ++k) {
        reciprocal.divide(5);
        const bool fits_64 = k <= static_cast<int>(FIVE_STEP);
        table[static_cast<std::size_t>(-k - SMALLEST_POWER)] = split(top_128_bits(reciprocal) + (fits_64 ? 1 : 0));
    }
    return table;
}();

// A number's text as digits: the first (up to) 19 significant ones as an
// integer and where they end, how many there are up to the last nonzero
// one, and its magnitude.
struct Decimal {
    bool negative = false;
    std::uint64_t head = 0;
    std::size_t head_digits = 0;
    const char* head_end = nullptr;  // after the head's last digit
    std::size_t significant = 0;     // 0: the value is zero
    std::int64_t magnitude = 0;      // the value is in [10^(magnitude-1), 10^magnitude)
};

constexpr bool is_digit(char c) { return static_cast<unsigned>(c - '0') <= 9; }

Decimal read_decimal(std::string_view text) {
    Decimal d;
    const char* p = text.data();
    const char* const end = p + text.size();
    d.negative = *p == '-';
    p += d.negative;
    // One pass: leading zeros skipped, the first 19 significant digits
    // gathered, the rest only stepped over.
    std::uint64_t head = 0;
    std::size_t head_digits = 0;
    const char* first = nullptr;
    const char* head_end = nullptr;
    auto gather = [&](const char* q) {
        const std::size_t before = head_digits;
        for (; q < end && is_digit(*q) && head_digits < WORD_DIGITS; ++q, ++head_digits) {
            head = head * 10 + static_cast<unsigned>(*q - '0');
        }
        if (head_digits != before) head_end = q;
        return q;
    };
    auto step_over = [end](const char* q) {
        while (q < end && is_digit(*q)) ++q;
        return q;
    };
    while (p < end && *p == '0') ++p;
    if (p < end && is_digit(*p)) first = p;
    p = step_over(gather(p));
    const char* const integer_end = p;
    const char* fraction = p;
    if (p < end && *p == '.') {
        fraction = ++p;
        if (first == nullptr) {
            while (p < end && *p == '0') ++p;
            if (p < end && is_digit(*p)) first = p;
        }
        p = step_over(gather(p));
    }
    const char* const fraction_end = p;
    std::int64_t exponent = 0;
    if (p < end) {  // 'e' or 'E'
        ++p;
        const bool negative_exponent = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        // Beyond 2^40 the value is zero or infinite all the same: the digits
        // past that need no look (the grammar is checked).
        while (p < end && *p == '0') ++p;
        for (; p < end && exponent < (std::int64_t{1} << 40); ++p) exponent = exponent * 10 + (*p - '0');
        if (negative_exponent) exponent = -exponent;
    }
    if (first == nullptr) return d;  // zero

    const bool in_integer = first < integer_end;
    d.head = head;
    d.head_digits = head_digits;
    d.head_end = head_end;
    d.magnitude = (in_integer ? integer_end - first : fraction - first) + exponent;
    d.significant = head_digits;
    const std::size_t all_digits =
        static_cast<std::size_t>(in_integer ? (integer_end - first) + (fraction_end - fraction) : fraction_end - first);
    if (all_digits > head_digits) {
        // More digits than the head holds: count them up to the last nonzero one.
        const char* last = fraction_end - 1;
        while (*last == '0' || *last == '.') --last;
        d.significant = static_cast<std::size_t>(last - first + 1 - (in_integer && last >= fraction ? 1 : 0));
    }
    return d;
}

// value * 10^q to the nearest double, as its bits without the sign, for a
// nonzero 64-bit value and q in [SMALLEST_POWER, LARGEST_POWER]: the
// product with the tabled power of five, of which 55 bits are exact save in
// one case, where `certain` is false and the nearest may be the next double
// up (the product only falls short of the exact one).
struct Candidate {
    std::uint64_t bits;
    bool certain;
};

Candidate nearest_double(std::uint64_t value, int q) {
    const int leading = std::countl_zero(value);
    value <<= leading;
    const Power128& power = POWERS_OF_FIVE_128[static_cast<std::size_t>(q - SMALLEST_POWER)];
    const u128 first = static_cast<u128>(value) * power.high;
    std::uint64_t high = static_cast<std::uint64_t>(first >> 64), low = static_cast<std::uint64_t>(first);
    if ((high & 0x1FF) == 0x1FF) {  // the 9 bits below the 55 may carry: the next 64 bits of the power
        const std::uint64_t second = static_cast<std::uint64_t>((static_cast<u128>(value) * power.low) >> 64);
        low += second;
        high += low < second;
    }
    // For q in [0, 55] the power is exact, for q in [-27, -1] its reciprocal
    // is within one unit in 2^128.
    const bool certain = low != ~std::uint64_t{0} || (q >= -27 && q <= 55);
    const int upper = static_cast<int>(high >> 63);
    const int shift = upper + 64 - 52 - 3;
    std::uint64_t mantissa = high >> shift;
    // floor(log2(5^q)) + q + 63 (ceil for q < 0) from a fixed-point log2(10), then biased
    int exponent = ((152170 + 65536) * q >> 16) + 63 + upper - leading + 1023;
    if (exponent <= 0) {  // subnormal; a tie would take some 750 digits
        if (-exponent + 1 >= 64) return {0, certain};
        mantissa >>= -exponent + 1;
        mantissa += mantissa & 1;
        mantissa >>= 1;
        // Rounding up may reach the smallest normal.
        exponent = mantissa < (std::uint64_t{1} << 52) ? 0 : 1;
        return {static_cast<std::uint64_t>(exponent) << 52 | (mantissa & FRACTION_MASK), certain};
    }
    // Exactly halfway, possible only where 5^|q| is small: to the even one.
    if (low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == high)
        mantissa &= ~std::uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << 52)) {
        mantissa = std::uint64_t{1} << 52;
        ++exponent;
    }
    if (exponent >= 0x7FF) return {INFINITY_BITS, certain};
    return {static_cast<std::uint64_t>(exponent) << 52 | (mantissa & FRACTION_MASK), certain};
}

// The number as digits * 10^exponent, on its first KEPT_DIGITS significant
// digits; `more` when a nonzero digit follows them.
struct ExactDecimal {
    ExactWide digits;
    std::int64_t exponent;
    bool more;
};

ExactDecimal exact_decimal(const Decimal& d) {
    ExactDecimal exact;
    exact.digits = ExactWide::of(d.head);
    exact.more = d.significant > KEPT_DIGITS;
    if (d.significant <= d.head_digits) {  // the head holds them all
        exact.exponent = d.magnitude - static_cast<std::int64_t>(d.head_digits);
        return exact;
    }
    const std::size_t count = std::min(d.significant, KEPT_DIGITS);
    exact.exponent = d.magnitude - static_cast<std::int64_t>(count);
    std::uint64_t chunk = 0;
    std::size_t in_chunk = 0;
    const char* p = d.head_end;
    for (std::size_t taken = d.head_digits; taken < count; ++p) {
        if (*p == '.') continue;
        chunk = chunk * 10 + static_cast<unsigned>(*p - '0');
        ++taken;
        if (++in_chunk == WORD_DIGITS) {
            exact.digits.multiply_add(POWERS_OF_TEN[WORD_DIGITS], chunk);
            chunk = 0, in_chunk = 0;
        }
    }
    if (in_chunk != 0) exact.digits.multiply_add(POWERS_OF_TEN[in_chunk], chunk);
    return exact;
}

// Where the number lies against the midpoint between the double of `bits`
// and the next one up: -1 below, 0 on it, 1 above.
int against_midpoint(const ExactDecimal& number, std::uint64_t bits) {
    const std::uint64_t field = bits >> 52, fraction = bits & FRACTION_MASK;
    const std::uint64_t significand = field == 0 ? fraction : fraction | std::uint64_t{1} << 52;
    const std::int64_t binary_exponent = field == 0 ? -1074 : static_cast<std::int64_t>(field) - 1075;
    // digits * 10^e against (2 significand + 1) * 2^(binary_exponent - 1),
    // both brought to integers times a power of two.
    const ExactWide midpoint = ExactWide::of(2 * significand + 1);
    const bool whole = number.exponent >= 0;
    const auto fives = static_cast<std::size_t>(whole ? number.exponent : -number.exponent);
    ExactWide left = whole ? times_power_of_five(number.digits, fives) : number.digits;
    ExactWide right = whole ? midpoint : times_power_of_five(midpoint, fives);
    std::int64_t left_twos = whole ? number.exponent : 0;
    std::int64_t right_twos = binary_exponent - 1 - (whole ? 0 : number.exponent);
    const std::int64_t common = std::min(left_twos, right_twos);
    left_twos -= common, right_twos -= common;
    // Lengths that differ decide at once; equal ones bound the shifted side.
    const std::int64_t left_length = static_cast<std::int64_t>(left.bit_length()) + left_twos;
    const std::int64_t right_length = static_cast<std::int64_t>(right.bit_length()) + right_twos;
    int order;
    if (left_length != right_length) {
        order = left_length < right_length ? -1 : 1;
    } else {
        left.shift_left(static_cast<std::size_t>(left_twos));
        right.shift_left(static_cast<std::size_t>(right_twos));
        order = compare(left, right);
    }
    return order == 0 && number.more ? 1 : order;
}

std::uint64_t nearest_bits(const Decimal& d) {
    const int q = static_cast<int>(d.magnitude - static_cast<std::int64_t>(d.head_digits));
    const Candidate low = nearest_double(d.head, q);
    const Candidate high = d.significant > WORD_DIGITS ? nearest_double(d.head + 1, q) : low;
    // The value lies in [head, head + 1) * 10^q: its nearest double lies
    // between those of the two ends.
    const std::uint64_t top = std::min(high.bits + (high.certain ? 0 : 1), INFINITY_BITS);
    std::uint64_t bits = low.bits;
    if (bits == top) return bits;
    const ExactDecimal exact = exact_decimal(d);
    while (bits < top) {
        const int order = against_midpoint(exact, bits);
        if (order < 0) break;
        if (order == 0) {
            bits += bits & 1;  // to the even significand
            break;
        }
        ++bits;
    }
    return bits;
}

}  // namespace

bool digits_to_double(std::uint64_t w, int q, double& out) {
    if (w == 0 || q < SMALLEST_POWER) {
        out = 0.0;
    } else if (q > LARGEST_POWER) {
        out = std::bit_cast<double>(INFINITY_BITS);
    } else {
        const Candidate nearest = nearest_double(w, q);
        if (!nearest.certain) return false;
        out = std::bit_cast<double>(nearest.bits);
    }
    return true;
}

double decimal_to_double(std::string_view text) {
    const Decimal d = read_decimal(text);
    std::uint64_t bits;
    if (d.significant == 0 || d.magnitude < SMALLEST_MAGNITUDE) {
        bits = 0;
    } else if (d.magnitude > LARGEST_MAGNITUDE) {
        bits = INFINITY_BITS;
    } else {
        bits = nearest_bits(d);
    }
    return std::bit_cast<double>(d.negative ? bits | SIGN_BIT : bits);
}

}  // namespace quelvar::json
