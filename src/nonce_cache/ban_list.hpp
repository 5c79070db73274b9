// A converted ban list: (address, expires_at) pairs in input order. The
// address bytes of all pairs share one buffer, so that a list of any length
// costs two allocations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelvar {

class BanList {
public:
    // Room reserved per pair for its address: a dotted IPv4 address fits.
    static constexpr std::size_t TYPICAL_ADDRESS_BYTES = 16;

    void reserve(std::size_t pairs) {
        entries_.reserve(pairs);
        address_bytes_.reserve(pairs * TYPICAL_ADDRESS_BYTES);
    }
    void append(std::string_view address, std::uint64_t expires_at) {
        entries_.push_back(Entry{address_bytes_.size(), address.size(), expires_at});
        address_bytes_.append(address);
    }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    std::string_view address(std::size_t index) const noexcept {
        const Entry& entry = entries_[index];
        return std::string_view(address_bytes_).substr(entry.offset, entry.length);
    }
    std::uint64_t expires_at(std::size_t index) const noexcept { return entries_[index].expires_at; }

private:
    struct Entry {
        std::size_t offset;
        std::size_t length;
        std::uint64_t expires_at;
    };
    std::string address_bytes_;
    std::vector<Entry> entries_;
};

}  // namespace quelvar
