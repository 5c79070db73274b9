// A converted ban list: (address, expires_at) pairs in input order, each with
// the hash of its address, computed before the store lock is taken so that
// the table's update under the lock hashes nothing. Addresses are hashed
// eight at a time as they arrive (siphash13_x8), while their bytes are
// still in the cache. The address bytes of all pairs share one buffer, so that a
// list of any length costs two allocations, and a thread keeps the buffers
// of its last list of moderate size for its next one: a service that
// hydrates the same few thousand bans again and again then does not get
// fresh pages from the system, and fault them in, on every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "containers/byte_copy.hpp"
#include "hashing/siphash.hpp"
#include "hashing/siphash_lanes.hpp"
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
    BanList(BanList&&) noexcept = default;
    BanList& operator=(BanList&&) = delete;

    // Room for `pairs` pairs of typical addresses before anything grows.
    void reserve(std::size_t pairs);

    void append(std::string_view address, std::uint64_t expires_at) {
        if (count_ == entries_.capacity() || bytes_.capacity() - used_ < address.size()) [[unlikely]] {
            grow(address.size());
        }
        // Members are read once and written once: the byte copy in between
        // may alias anything, and would make the compiler read them again.
        const std::size_t count = count_, used = used_;
        copy_bytes(bytes_.get() + used, address.data(), address.size());
        entries_[count] = Entry{used, 0, expires_at};
        used_ = used + address.size();
        count_ = count + 1;
        if ((count + 1) % GROUP == 0) hash_group(count + 1 - GROUP);
    }
    // Hashes the last pairs, short of a group; after it every pair has its
    // hash.
    void finish() noexcept {
        for (; hashed_ < count_; ++hashed_) entries_[hashed_].hash = hash_(address(hashed_));
    }
    bool finished() const noexcept { return hashed_ == count_; }

    SipKey key() const noexcept { return hash_.key(); }
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    std::string_view address(std::size_t index) const noexcept {
        const std::size_t begin = entries_[index].offset;
        const std::size_t end = index + 1 < count_ ? entries_[index + 1].offset : used_;
        return std::string_view(bytes_.get() + begin, end - begin);
    }
    // The hash of the address under the list's key; before finish() the
    // last pairs, short of a group, are hashed on demand.
    std::uint64_t hash(std::size_t index) const noexcept {
        return index < hashed_ ? entries_[index].hash : hash_(address(index));
    }
    // The same, for a finished list.
    std::uint64_t finished_hash(std::size_t index) const noexcept { return entries_[index].hash; }
    std::uint64_t expires_at(std::size_t index) const noexcept { return entries_[index].expires_at; }

    // An address runs from its offset to the next pair's offset. (Public so
    // that a thread's spare buffers can be typed.)
    struct Entry {
        std::size_t offset;
        std::uint64_t hash;
        std::uint64_t expires_at;
    };

private:
    // Pairs are hashed in groups of this many (siphash13_x8).
    static constexpr std::size_t GROUP = 8;
    void hash_group(std::size_t first) noexcept {
        const char* data[GROUP];
        std::size_t length[GROUP];
        std::uint64_t hashes[GROUP];
        for (std::size_t k = 0; k < GROUP; ++k) {
            const std::string_view bytes = address(first + k);
            data[k] = bytes.data();
            length[k] = bytes.size();
        }
        siphash13_x8(hash_.key(), data, length, hashes);
        for (std::size_t k = 0; k < GROUP; ++k) entries_[first + k].hash = hashes[k];
        hashed_ = first + GROUP;
    }
    // Makes room for one more pair with an address of `address_bytes`.
    void grow(std::size_t address_bytes);
    void grow_to(std::size_t entries, std::size_t bytes);

    KeyedHash hash_;
    Block<Entry> entries_;
    std::size_t count_ = 0;
    std::size_t hashed_ = 0;  // entries_[0, hashed_) carry their hash
    Block<char> bytes_;
    std::size_t used_ = 0;
};

}  // namespace quelvar
