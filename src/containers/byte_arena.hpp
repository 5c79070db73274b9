// An append-only store of byte strings in one growing buffer. Each record is
// its length (LEB128, one byte below 128) followed by its bytes, and is named
// by its offset, which stays valid when the buffer moves as it grows. The
// arena is released as a whole: strings cannot be removed one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "containers/byte_copy.hpp"
#include "runtime/memory.hpp"

namespace quelvar {

class ByteArena {
public:
    // Room for `reserve_bytes` at first; the buffer never grows past
    // `max_bytes`, and a record that would need more is an allocation failure.
    ByteArena(std::size_t reserve_bytes, std::uint64_t max_bytes);
    ByteArena(ByteArena&&) noexcept = default;
    ByteArena& operator=(ByteArena&&) noexcept = default;

    // Copies the bytes in; returns the record's offset.
    std::uint64_t append(std::string_view bytes) {
        const std::size_t n = bytes.size();
        // A record below 128 bytes has a one-byte length.
        if (n >= 0x80 || data_.capacity() - used_ <= n) return append_slowly(bytes);
        const std::uint64_t offset = used_;
        unsigned char* const record = data_.get() + used_;
        record[0] = static_cast<unsigned char>(n);
        copy_bytes(record + 1, bytes.data(), n);
        used_ += n + 1;
        return offset;
    }

    std::string_view at(std::uint64_t offset) const noexcept {
        const unsigned char* p = data_.get() + offset;
        std::size_t length = *p & 0x7F;
        if (*p++ & 0x80) length = decode_long_length(length, p);
        return std::string_view(reinterpret_cast<const char*>(p), length);
    }

    // Forgets every record; keeps the buffer.
    void clear() noexcept { used_ = 0; }

private:
    static std::size_t decode_long_length(std::size_t low_bits, const unsigned char*& p) noexcept;
    void grow(std::size_t needed);
    std::uint64_t append_slowly(std::string_view bytes);

    Block<unsigned char> data_;
    std::size_t used_ = 0;
    std::uint64_t max_bytes_ = 0;
};

}  // namespace quelvar
