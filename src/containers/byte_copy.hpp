// Copying of short byte strings (tokens of about 22 bytes, addresses of 7
// to 39) without a call to memcpy: up to 32 bytes move as two overlapping
// loads and stores of 4, 8 or 16 bytes, each reading and writing only bytes
// inside the two ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelvar {

inline void copy_bytes(void* to, const void* from, std::size_t n) noexcept {
    auto* d = static_cast<unsigned char*>(to);
    const auto* s = static_cast<const unsigned char*>(from);
    auto copy_two = [&]<std::size_t W>() {
        unsigned char head[W], tail[W];
        std::memcpy(head, s, W);
        std::memcpy(tail, s + n - W, W);
        std::memcpy(d, head, W);
        std::memcpy(d + n - W, tail, W);
    };
    if (n >= 16 && n <= 32) {
        copy_two.template operator()<16>();
    } else if (n >= 8 && n < 16) {
        copy_two.template operator()<8>();
    } else if (n >= 4 && n < 8) {
        copy_two.template operator()<4>();
    } else if (n > 0 && n < 4) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    } else if (n > 32) {
        std::memcpy(d, s, n);
    }
}

}  // namespace quelvar
