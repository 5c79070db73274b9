#include "containers/byte_arena.hpp"

#include <cstring>

#include "runtime/fault.hpp"
#include "runtime/memory.hpp"

namespace quelvar {

ByteArena::ByteArena(std::size_t reserve_bytes, std::uint64_t max_bytes)
    : data_(reserve_bytes), max_bytes_(max_bytes) {
    // Faulted in now rather than page by page by the appends that follow.
    std::memset(data_.get(), 0, reserve_bytes);
}

std::size_t ByteArena::decode_long_length(std::size_t low_bits, const unsigned char*& p) noexcept {
    std::size_t length = low_bits;
    unsigned shift = 7;
    for (;;) {
        const unsigned char byte = *p++;
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return length;
        shift += 7;
    }
}

void ByteArena::grow(std::size_t needed) {
    // Tokens are at most a str's length, far below 2^63, so the sum cannot wrap.
    const std::uint64_t total = static_cast<std::uint64_t>(used_) + needed;
    if (total > max_bytes_) allocation_failure(static_cast<std::size_t>(total));
    std::uint64_t capacity = data_.capacity() < 64 ? 64 : data_.capacity();
    while (capacity < total) capacity *= 2;
    if (capacity > max_bytes_) capacity = max_bytes_;
    // realloc of a large block remaps its pages instead of copying them.
    data_.resize(static_cast<std::size_t>(capacity));
}

std::uint64_t ByteArena::append_slowly(std::string_view bytes) {
    // A length takes at most 10 bytes of LEB128.
    if (data_.capacity() - used_ < bytes.size() + 10) grow(bytes.size() + 10);
    const std::uint64_t offset = used_;
    unsigned char* p = data_.get() + used_;
    std::size_t length = bytes.size();
    while (length >= 0x80) {
        *p++ = static_cast<unsigned char>(length | 0x80);
        length >>= 7;
    }
    *p++ = static_cast<unsigned char>(length);
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    used_ = static_cast<std::size_t>(p - data_.get()) + bytes.size();
    return offset;
}

}  // namespace quelvar
