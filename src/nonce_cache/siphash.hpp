// SipHash-1-3: a keyed 64-bit hash of a byte string. With a secret random
// key, a client who chooses the strings (tokens, addresses) cannot predict
// which of them collide, so it cannot pile them onto one probe chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quelvar {

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

std::uint64_t siphash13(SipKey key, const void* data, std::size_t length) noexcept;

// A hash function with its own key; each table owns one.
class KeyedHash {
public:
    explicit KeyedHash(SipKey key) noexcept : key_(key) {}
    // A fresh key from the operating system's random source.
    static KeyedHash random() noexcept;

    std::uint64_t operator()(std::string_view bytes) const noexcept {
        return siphash13(key_, bytes.data(), bytes.size());
    }

private:
    SipKey key_;
};

}  // namespace quelvar
