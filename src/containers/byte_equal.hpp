// Equality of two byte strings, tuned for the short keys the tables hold
// (addresses of 7 to 39 bytes, tokens of about 22): up to 32 bytes are
// compared with a few overlapping 8-byte loads instead of a call to memcmp.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace quelvar {

inline std::uint64_t load_u64(const char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    if (n >= 8 && n <= 16) {
        return load_u64(x) == load_u64(y) && load_u64(x + n - 8) == load_u64(y + n - 8);
    }
    if (n > 16 && n <= 32) {
        return load_u64(x) == load_u64(y) && load_u64(x + 8) == load_u64(y + 8) &&
               load_u64(x + n - 16) == load_u64(y + n - 16) && load_u64(x + n - 8) == load_u64(y + n - 8);
    }
    return n == 0 || std::memcmp(x, y, n) == 0;
}

}  // namespace quelvar
