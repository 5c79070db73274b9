#include "nonce_cache/ban_table.hpp"

#include "nonce_cache/byte_equal.hpp"

namespace quelvar {

BanTable::BanTable(std::size_t reserve, KeyedHash hash) : hash_(hash), index_(reserve) {
    keys_.reserve(reserve);
    expires_.reserve(reserve);
}

std::size_t BanTable::find_slot(std::string_view address, std::uint64_t hash) const noexcept {
    return index_.find(hash, [&](std::uint64_t position) {
        const Key& key = keys_[position];
        return key.hash == hash && same_bytes(key.address, address);
    });
}

void BanTable::set(std::string_view address, std::uint64_t expires_at) {
    const std::uint64_t hash = hash_(address);
    if (std::size_t slot = find_slot(address, hash); slot != SlotIndex::NOT_FOUND) {
        expires_[index_.payload(slot)] = expires_at;
        return;
    }
    keys_.push_back(Key{std::string(address), hash});
    expires_.push_back(expires_at);
    // Each entry keeps its hash, so growing the index hashes nothing again.
    index_.insert_absent(hash, keys_.size() - 1, [this](std::uint64_t position) { return keys_[position].hash; });
}

void BanTable::remove(std::string_view address) noexcept {
    if (expires_.empty()) return;
    const std::size_t slot = find_slot(address, hash_(address));
    if (slot == SlotIndex::NOT_FOUND) return;
    const std::uint64_t position = index_.payload(slot);
    index_.erase(slot);
    // The last entry moves into the hole, and its slot is pointed there.
    const std::uint64_t last = keys_.size() - 1;
    if (position != last) {
        const std::size_t moved_slot =
            index_.find(keys_[last].hash, [last](std::uint64_t stored) { return stored == last; });
        index_.set_payload(moved_slot, position);
        keys_[position] = std::move(keys_[last]);
        expires_[position] = expires_[last];
    }
    keys_.pop_back();
    expires_.pop_back();
}

std::optional<std::uint64_t> BanTable::expires_at(std::string_view address) const noexcept {
    const std::size_t slot = find_slot(address, hash_(address));
    if (slot == SlotIndex::NOT_FOUND) return std::nullopt;
    return expires_[index_.payload(slot)];
}

std::uint64_t BanTable::count_active(std::uint64_t now) const noexcept {
    std::uint64_t active = 0;
    for (std::uint64_t expiry : expires_) active += expiry > now;
    return active;
}

void BanTable::clear() noexcept {
    index_.clear();
    keys_.clear();
    expires_.clear();
}

}  // namespace quelvar
