#include "telemetry_json/json_tokens.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "telemetry_json/decimal_to_double.hpp"

namespace quelvar::json {
namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool equals(const char* begin, const char* end, std::string_view word) {
    return static_cast<std::size_t>(end - begin) == word.size() && std::memcmp(begin, word.data(), word.size()) == 0;
}

// Up to 18 digits always fit a signed 64-bit integer.
constexpr std::size_t EXACT_DIGITS = 18;

std::int64_t small_integer(std::string_view text) {
    const bool negative = text.front() == '-';
    std::int64_t value = 0;
    for (char c : text.substr(negative ? 1 : 0)) value = value * 10 + (c - '0');
    return negative ? -value : value;
}

std::size_t integer_digits(std::string_view text) { return text.size() - (text.front() == '-' ? 1 : 0); }

}  // namespace

const char* scan_string(const char* p, const char* end, ShortKey* key, TokenError& error) {
    auto keep = [key](unsigned code) {
        if (key == nullptr || !key->comparable) return;
        if (code > 0x7F || key->length == ShortKey::CAPACITY) {
            key->comparable = false;
            return;
        }
        key->text[key->length++] = static_cast<char>(code);
    };
    while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') return p + 1;
        if (c == '\\') {
            if (end - p < 2) break;
            unsigned code;
            switch (p[1]) {
                case '"':
                case '\\':
                case '/': code = static_cast<unsigned char>(p[1]); break;
                case 'b': code = '\b'; break;
                case 'f': code = '\f'; break;
                case 'n': code = '\n'; break;
                case 'r': code = '\r'; break;
                case 't': code = '\t'; break;
                case 'u': {
                    if (end - p < 6) {
                        error = {p, "invalid \\uXXXX escape"};
                        return nullptr;
                    }
                    code = 0;
                    for (int k = 2; k < 6; ++k) {
                        const int digit = hex_value(p[k]);
                        if (digit < 0) {
                            error = {p, "invalid \\uXXXX escape"};
                            return nullptr;
                        }
                        code = code * 16 + static_cast<unsigned>(digit);
                    }
                    keep(code);
                    p += 6;
                    continue;
                }
                default: error = {p, "invalid escape"}; return nullptr;
            }
            keep(code);
            p += 2;
            continue;
        }
        if (c < 0x20) {
            error = {p, "invalid control character in string"};
            return nullptr;
        }
        keep(c);
        ++p;
    }
    error = {p, "unterminated string"};
    return nullptr;
}

bool scan_scalar(const char* begin, const char* end, std::size_t max_int_digits, Scalar& scalar, TokenError& error) {
    while (end > begin && is_whitespace(end[-1])) --end;
    if (begin == end) {
        error = {begin, "expecting value"};
        return false;
    }
    auto word = [&](std::string_view text, TokenKind kind) {
        if (!equals(begin, end, text)) {
            error = {begin, "expecting value"};
            return false;
        }
        scalar.kind = kind;
        return true;
    };
    switch (*begin) {
        case '"': {
            const char* after = scan_string(begin + 1, end, nullptr, error);
            if (after == nullptr) return false;
            if (after != end) {
                error = {after, "extra data after string"};
                return false;
            }
            scalar.kind = TokenKind::String;
            return true;
        }
        case 't': return word("true", TokenKind::True);
        case 'f': return word("false", TokenKind::False);
        case 'n': return word("null", TokenKind::Null);
        case 'N': return word("NaN", TokenKind::NaN);
        case 'I': return word("Infinity", TokenKind::Infinity);
        case '-':
            if (end - begin > 1 && begin[1] == 'I') return word("-Infinity", TokenKind::NegativeInfinity);
            break;
        default:
            if (!is_digit(*begin)) {
                error = {begin, "expecting value"};
                return false;
            }
    }
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
    const char* p = begin;
    if (*p == '-') ++p;
    if (p < end && *p == '0') {
        ++p;
    } else if (p < end && is_digit(*p)) {
        while (p < end && is_digit(*p)) ++p;
    } else {
        error = {begin, "expecting value"};
        return false;
    }
    const char* integer_end = p;
    if (p < end && *p == '.') {
        ++p;
        if (p == end || !is_digit(*p)) {
            error = {p, "invalid number"};
            return false;
        }
        while (p < end && is_digit(*p)) ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) {
            error = {p, "invalid number"};
            return false;
        }
        while (p < end && is_digit(*p)) ++p;
    }
    if (p != end) {
        error = {p, "invalid number"};
        return false;
    }
    scalar.number = std::string_view(begin, static_cast<std::size_t>(end - begin));
    scalar.kind = integer_end == end ? TokenKind::Integer : TokenKind::Float;
    if (scalar.kind == TokenKind::Integer && max_int_digits != 0 && integer_digits(scalar.number) > max_int_digits) {
        error = {begin, "integer exceeds the limit on digits for conversion", true};
        return false;
    }
    return true;
}

std::optional<double> to_float(const Scalar& scalar) {
    switch (scalar.kind) {
        case TokenKind::Integer: {
            // An int converts as PyLong_AsDouble converts it: correctly
            // rounded, half to even, and a failure past the largest double.
            const std::string_view text = scalar.number;
            if (integer_digits(text) <= EXACT_DIGITS) {
                // The integer zero is +0.0 even when written "-0".
                return static_cast<double>(small_integer(text));
            }
            const double value = decimal_to_double(text);
            if (std::isinf(value)) return std::nullopt;
            return value;
        }
        case TokenKind::Float: return decimal_to_double(scalar.number);
        case TokenKind::True: return 1.0;
        case TokenKind::False: return 0.0;
        case TokenKind::NaN: return std::numeric_limits<double>::quiet_NaN();
        case TokenKind::Infinity: return std::numeric_limits<double>::infinity();
        case TokenKind::NegativeInfinity: return -std::numeric_limits<double>::infinity();
        default: return std::nullopt;
    }
}

std::optional<std::int64_t> to_int(const Scalar& scalar) {
    switch (scalar.kind) {
        case TokenKind::Integer: {
            const std::string_view text = scalar.number;
            if (integer_digits(text) <= EXACT_DIGITS) return small_integer(text);
            std::int64_t value;
            const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (status != std::errc()) return std::nullopt;
            return value;
        }
        case TokenKind::True: return 1;
        case TokenKind::False: return 0;
        default: return std::nullopt;
    }
}

std::optional<bool> to_bool(const Scalar& scalar) {
    if (scalar.kind == TokenKind::True) return true;
    if (scalar.kind == TokenKind::False) return false;
    return std::nullopt;
}

std::size_t invalid_utf8_offset(const unsigned char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = text[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t size;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            size = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            size = 3;
            if (c == 0xE0) low = 0xA0;  // overlong otherwise
        } else if (c >= 0xF0 && c <= 0xF4) {
            size = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;  // above U+10FFFF otherwise
        } else {
            return i;
        }
        if (length - i < size) return i;
        if (text[i + 1] < low || text[i + 1] > high) return i;
        for (std::size_t k = 2; k < size; ++k) {
            if (text[i + k] < 0x80 || text[i + k] > 0xBF) return i;
        }
        i += size;
    }
    return VALID_UTF8;
}

}  // namespace quelvar::json
