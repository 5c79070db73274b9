// Banned addresses with their absolute expiry times (whole UNIX seconds).
// Entries live in dense arrays so that counting the active ones is a tight
// loop over the expiry times alone; the hash index maps an address to its
// position. An entry is active while now < expires_at; expired entries stay
// until they are removed, replaced or cleared.
//
// Every operation has a form that takes the address's hash, computed by the
// caller with this table's hash function (hash_of), so that callers can hash
// before they take the store lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "containers/byte_equal.hpp"
#include "containers/slot_index.hpp"
#include "hashing/siphash.hpp"
#include "state/ban_list.hpp"

namespace quelvar {

// The key of the process's ban table, drawn from the operating system's
// random source on first use and kept for the life of the process: it never
// has to change, and a fixed key lets callers hash addresses before they
// take the store lock.
const KeyedHash& process_ban_hash() noexcept;

class BanTable {
public:
    BanTable(std::size_t reserve, KeyedHash hash);

    std::size_t size() const noexcept { return expires_.size(); }
    std::uint64_t hash_of(std::string_view address) const noexcept { return hash_(address); }
    SipKey key() const noexcept { return hash_.key(); }

    // Inserts the address or replaces its expiry, whatever the old value.
    void set(std::string_view address, std::uint64_t expires_at) { set(address, hash_of(address), expires_at); }
    void set(std::string_view address, std::uint64_t hash, std::uint64_t expires_at) {
        if (const std::size_t slot = find_slot(address, hash); slot != SlotIndex::NOT_FOUND) {
            expires_[position_of(index_.payload(slot))] = expires_at;
        } else {
            insert_absent(address, hash, expires_at);
        }
    }
    // Sets every pair whose expiry is after `now`, in order, skipping the
    // others: an expired pair must not overwrite an entry that is still
    // active.
    void set_unexpired(const BanList& bans, std::uint64_t now);

    // Removes the entry if there is one, active or not.
    void remove(std::string_view address) noexcept { remove(address, hash_of(address)); }
    void remove(std::string_view address, std::uint64_t hash) noexcept;

    std::optional<std::uint64_t> expires_at(std::string_view address) const noexcept;
    bool is_active(std::string_view address, std::uint64_t now) const noexcept {
        return !expires_.empty() && is_active(address, hash_of(address), now);
    }
    bool is_active(std::string_view address, std::uint64_t hash, std::uint64_t now) const noexcept {
        if (expires_.empty()) return false;
        const std::size_t slot = find_slot(address, hash);
        return slot != SlotIndex::NOT_FOUND && now < expires_[position_of(index_.payload(slot))];
    }
    std::uint64_t count_active(std::uint64_t now) const noexcept;

    // Forgets every entry; keeps the index's slots and the hash key.
    void clear() noexcept;

private:
    // A payload is the entry's position (low 40 bits) and the top 24 bits of
    // its hash, which a lookup compares before it reads the entry's key.
    static constexpr unsigned POSITION_BITS = 40;
    static constexpr std::uint64_t POSITION_MASK = (std::uint64_t{1} << POSITION_BITS) - 1;
    static_assert(POSITION_BITS > SlotIndex::TAG_BITS && 64 - POSITION_BITS == 24);
    static std::uint64_t position_of(std::uint64_t payload) noexcept { return payload & POSITION_MASK; }
    static std::uint64_t payload_of(std::uint64_t position, std::uint64_t hash) noexcept {
        return position | (hash >> POSITION_BITS) << POSITION_BITS;
    }
    static bool same_check_bits(std::uint64_t payload, std::uint64_t hash) noexcept {
        return ((payload ^ hash) >> POSITION_BITS) == 0;
    }

    // How many pairs ahead set_unexpired starts loading a payload.
    static constexpr std::size_t PREFETCH_DISTANCE = 8;

    struct Key {
        std::string address;
        std::uint64_t hash;
    };

    bool holds(std::uint64_t payload, std::string_view address, std::uint64_t hash) const noexcept {
        return same_check_bits(payload, hash) && same_bytes(keys_[position_of(payload)].address, address);
    }
    // Most lookups end at the first slot of the first group whose tag
    // agrees: that one is tried inline, the full probe is a call.
    std::size_t find_slot(std::string_view address, std::uint64_t hash) const noexcept {
        const std::size_t slot = index_.first_candidate(hash);
        if (slot != SlotIndex::NOT_FOUND && holds(index_.payload(slot), address, hash)) [[likely]]
            return slot;
        return find_slot_probing(address, hash);
    }
    [[gnu::noinline]] std::size_t find_slot_probing(std::string_view address, std::uint64_t hash) const noexcept {
        return index_.find(hash, [&](std::uint64_t payload) { return holds(payload, address, hash); });
    }
    void insert_absent(std::string_view address, std::uint64_t hash, std::uint64_t expires_at);

    KeyedHash hash_;
    SlotIndex index_;  // payload: position in keys_ and expires_, with hash bits
    std::vector<Key> keys_;
    std::vector<std::uint64_t> expires_;
};

}  // namespace quelvar
