#include "nonce_cache/siphash.hpp"

#include <bit>
#include <cstring>

#include "nonce_cache/platform.hpp"

namespace quelvar {
namespace {

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    inline void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    // One compression round per 8-byte word.
    inline void absorb(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

}  // namespace

std::uint64_t siphash13(SipKey key, const void* data, std::size_t length) noexcept {
    const auto* in = static_cast<const unsigned char*>(data);
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
               key.k1 ^ 0x7465646279746573ULL};

    const std::size_t whole = length & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(in + i));

    // The last word holds the remaining bytes and the length's low byte on top.
    std::uint64_t last = static_cast<std::uint64_t>(length) << 56;
    for (std::size_t i = 0; i < (length & 7); ++i) last |= static_cast<std::uint64_t>(in[whole + i]) << (8 * i);
    s.absorb(last);

    // Three finalisation rounds.
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

KeyedHash KeyedHash::random() noexcept {
    unsigned char bytes[16];
    platform::fill_random(bytes, sizeof bytes);
    return KeyedHash(SipKey{load_le64(bytes), load_le64(bytes + 8)});
}

}  // namespace quelvar
