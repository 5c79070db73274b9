// SipHash-1-3: a keyed 64-bit hash of a byte string. With a secret random
// key, a client who chooses the strings (tokens, addresses) cannot predict
// which of them collide, so it cannot pile them onto one probe chain.
//
// The function is inline because it sits on every hot path of the engine
// (one or two hashes per nonce check, one per address): inlined, the
// message's length and the surrounding loop are visible to the compiler.
// siphash13_pair hashes one message under two keys with the two states
// interleaved, which costs little more than one hash on a core that can
// run independent additions side by side.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quelvar {

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    friend constexpr bool operator==(const SipKey&, const SipKey&) = default;
};

namespace sip_detail {

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
    return value;
}

// The last, partial word of a message: its final `length & 7` bytes in
// little-endian order, with the length's low byte on top. Reads only bytes
// of the message: a whole word ending at the message's end when the
// message is at least 8 bytes long, otherwise two overlapping 4-byte loads
// or single bytes.
inline std::uint64_t last_word(const unsigned char* in, std::size_t length) noexcept {
    const std::size_t tail = length & 7;
    std::uint64_t word = 0;
    if (tail != 0) {
        if (length >= 8) {
            word = load_le64(in + length - 8) >> (64 - 8 * tail);
        } else if (tail >= 4) {
            word = load_le32(in) | static_cast<std::uint64_t>(load_le32(in + tail - 4)) << (8 * (tail - 4));
        } else {
            word = static_cast<std::uint64_t>(in[0]) | static_cast<std::uint64_t>(in[tail / 2]) << (8 * (tail / 2)) |
                   static_cast<std::uint64_t>(in[tail - 1]) << (8 * (tail - 1));
        }
    }
    return word | static_cast<std::uint64_t>(length) << 56;
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    explicit State(SipKey key) noexcept
        : v0(key.k0 ^ 0x736f6d6570736575ULL),
          v1(key.k1 ^ 0x646f72616e646f6dULL),
          v2(key.k0 ^ 0x6c7967656e657261ULL),
          v3(key.k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
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
    void absorb(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }

    // Three finalisation rounds.
    std::uint64_t finish() noexcept {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

}  // namespace sip_detail

inline std::uint64_t siphash13(SipKey key, const void* data, std::size_t length) noexcept {
    const auto* in = static_cast<const unsigned char*>(data);
    sip_detail::State s(key);
    const std::size_t whole = length & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(sip_detail::load_le64(in + i));
    s.absorb(sip_detail::last_word(in, length));
    return s.finish();
}

struct HashPair {
    std::uint64_t first;
    std::uint64_t second;
};

// siphash13 of one message under two keys at once.
inline HashPair siphash13_pair(SipKey first, SipKey second, const void* data, std::size_t length) noexcept {
    const auto* in = static_cast<const unsigned char*>(data);
    sip_detail::State a(first), b(second);
    const std::size_t whole = length & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        const std::uint64_t word = sip_detail::load_le64(in + i);
        a.absorb(word);
        b.absorb(word);
    }
    const std::uint64_t last = sip_detail::last_word(in, length);
    a.absorb(last);
    b.absorb(last);
    return HashPair{a.finish(), b.finish()};
}

// A hash function with its own key; each table owns one.
class KeyedHash {
public:
    explicit KeyedHash(SipKey key) noexcept : key_(key) {}
    // A fresh key from the operating system's random source.
    static KeyedHash random() noexcept;

    std::uint64_t operator()(std::string_view bytes) const noexcept {
        return siphash13(key_, bytes.data(), bytes.size());
    }
    SipKey key() const noexcept { return key_; }

private:
    SipKey key_;
};

}  // namespace quelvar
