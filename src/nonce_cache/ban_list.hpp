// A converted ban list: (address, expires_at) pairs in input order, each with
// the hash of its address, computed before the store lock is taken so that
// the table's update under the lock hashes nothing. Addresses are hashed
// four at a time as they arrive (siphash13_x4), while their bytes are still
// in the cache. The address bytes of all pairs share one buffer, so that a
// list of any length costs two allocations, and a thread keeps the buffers
// of its last list of moderate size for its next one: a service that
// hydrates the same few thousand bans again and again then does not get
// fresh pages from the system, and fault them in, on every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "nonce_cache/byte_copy.hpp"
#include "nonce_cache/siphash.hpp"
#include "nonce_cache/siphash_x4.hpp"
#include "runtime/memory.hpp"

namespace quelvar {

class BanList {
public:
    // Room reserved per pair for its address: a dotted IPv4 address fits.
    static constexpr std::size_t TYPICAL_ADDRESS_BYTES = 16;

    // Addresses are hashed with `hash`; a table with another key hashes
    // them again itself.
    explicit BanList(KeyedHash hash) noexcept;
    ~BanList();
    BanList(BanList&& other) noexcept
        : hash_(other.hash_),
          entries_(std::move(other.entries_)),
          hashed_(std::exchange(other.hashed_, 0)),
          bytes_(std::exchange(other.bytes_, nullptr)),
          used_(std::exchange(other.used_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    BanList& operator=(BanList&&) = delete;
    BanList(const BanList&) = delete;
    BanList& operator=(const BanList&) = delete;

    void reserve(std::size_t pairs) {
        entries_.reserve(pairs);
        if (pairs * TYPICAL_ADDRESS_BYTES > capacity_) grow_bytes(pairs * TYPICAL_ADDRESS_BYTES);
    }
    void append(std::string_view address, std::uint64_t expires_at) {
        if (capacity_ - used_ < address.size()) grow_bytes(used_ + address.size());
        copy_bytes(bytes_ + used_, address.data(), address.size());
        entries_.push_back(Entry{used_, 0, expires_at});
        used_ += address.size();
        if (entries_.size() % 4 == 0) hash_four(entries_.size() - 4);
    }
    // Hashes the last pairs, short of a group of four; after it every pair
    // has its hash.
    void finish() noexcept {
        for (; hashed_ < entries_.size(); ++hashed_) entries_[hashed_].hash = hash_(address(hashed_));
    }
    bool finished() const noexcept { return hashed_ == entries_.size(); }

    SipKey key() const noexcept { return hash_.key(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    std::string_view address(std::size_t index) const noexcept {
        const std::size_t begin = entries_[index].offset;
        const std::size_t end = index + 1 < entries_.size() ? entries_[index + 1].offset : used_;
        return std::string_view(bytes_ + begin, end - begin);
    }
    // The hash of the address under the list's key; before finish() the
    // last pairs, short of a group of four, are hashed on demand.
    std::uint64_t hash(std::size_t index) const noexcept {
        return index < hashed_ ? entries_[index].hash : hash_(address(index));
    }
    // The same, for a finished list.
    std::uint64_t finished_hash(std::size_t index) const noexcept { return entries_[index].hash; }
    std::uint64_t expires_at(std::size_t index) const noexcept { return entries_[index].expires_at; }

private:
    friend struct SpareBanListStorage;
    // An address runs from its offset to the next pair's offset.
    struct Entry {
        std::size_t offset;
        std::uint64_t hash;
        std::uint64_t expires_at;
    };

    void hash_four(std::size_t first) noexcept {
        const char* data[4];
        std::size_t length[4];
        std::uint64_t hashes[4];
        for (std::size_t k = 0; k < 4; ++k) {
            const std::string_view bytes = address(first + k);
            data[k] = bytes.data();
            length[k] = bytes.size();
        }
        siphash13_x4(hash_.key(), data, length, hashes);
        for (std::size_t k = 0; k < 4; ++k) entries_[first + k].hash = hashes[k];
        hashed_ = first + 4;
    }

    void grow_bytes(std::size_t needed) {
        std::size_t capacity = capacity_ < 256 ? 256 : capacity_;
        while (capacity < needed) capacity *= 2;
        bytes_ = static_cast<char*>(checked_realloc(bytes_, capacity));
        capacity_ = capacity;
    }

    KeyedHash hash_;
    std::vector<Entry> entries_;
    std::size_t hashed_ = 0;  // entries_[0, hashed_) carry their hash
    char* bytes_ = nullptr;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quelvar
