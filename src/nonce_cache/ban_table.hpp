// Banned addresses with their absolute expiry times (whole UNIX seconds).
// Entries live in dense arrays so that counting the active ones is a tight
// loop over the expiry times alone; the hash index maps an address to its
// position. An entry is active while now < expires_at; expired entries stay
// until they are removed, replaced or cleared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nonce_cache/siphash.hpp"
#include "nonce_cache/slot_index.hpp"

namespace quelvar {

class BanTable {
public:
    BanTable(std::size_t reserve, KeyedHash hash);

    std::size_t size() const noexcept { return expires_.size(); }

    // Inserts the address or replaces its expiry, whatever the old value.
    void set(std::string_view address, std::uint64_t expires_at);
    // Removes the entry if there is one, active or not.
    void remove(std::string_view address) noexcept;

    std::optional<std::uint64_t> expires_at(std::string_view address) const noexcept;
    bool is_active(std::string_view address, std::uint64_t now) const noexcept {
        if (expires_.empty()) return false;
        std::optional<std::uint64_t> expiry = expires_at(address);
        return expiry && now < *expiry;
    }
    std::uint64_t count_active(std::uint64_t now) const noexcept;

    // Forgets every entry; keeps the index's slots and the hash key.
    void clear() noexcept;

private:
    struct Key {
        std::string address;
        std::uint64_t hash;
    };

    std::size_t find_slot(std::string_view address, std::uint64_t hash) const noexcept;

    KeyedHash hash_;
    SlotIndex index_;  // payload: position in keys_ and expires_
    std::vector<Key> keys_;
    std::vector<std::uint64_t> expires_;
};

}  // namespace quelvar
