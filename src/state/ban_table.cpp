#include "state/ban_table.hpp"

#include "runtime/fault.hpp"

namespace quelvar {

const KeyedHash& process_ban_hash() noexcept {
    static const KeyedHash hash = KeyedHash::random();
    return hash;
}

BanTable::BanTable(std::size_t reserve, KeyedHash hash) : hash_(hash), index_(reserve) {
    keys_.reserve(reserve);
    expires_.reserve(reserve);
}

void BanTable::insert_absent(std::string_view address, std::uint64_t hash, std::uint64_t expires_at) {
    const std::uint64_t position = keys_.size();
    // 2^40 entries would need tens of terabytes of keys; the arrays could
    // not have grown this far.
    if (position > POSITION_MASK) allocation_failure(sizeof(Key) * (position + 1));
    keys_.push_back(Key{std::string(address), hash});
    expires_.push_back(expires_at);
    // Each entry keeps its hash, so growing the index hashes nothing again.
    index_.insert_absent(hash, payload_of(position, hash),
                         [this](std::uint64_t payload, std::size_t) { return keys_[position_of(payload)].hash; });
}

void BanTable::set_unexpired(const BanList& bans, std::uint64_t now) {
    const std::size_t n = bans.size();
    if (bans.key() != hash_.key() || !bans.finished()) {
        for (std::size_t i = 0; i < n; ++i) {
            if (bans.expires_at(i) > now) set(bans.address(i), bans.expires_at(i));
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        // A lookup reads a control group and a payload, each a likely cache
        // miss once the table outgrows the nearest caches. Their loads are
        // started a few pairs ahead, so that they overlap with the work on
        // the pairs in between instead of stalling it.
        if (i + PREFETCH_DISTANCE < n) index_.prefetch(bans.finished_hash(i + PREFETCH_DISTANCE));
        const std::uint64_t expires_at = bans.expires_at(i);
        if (expires_at > now) set(bans.address(i), bans.finished_hash(i), expires_at);
    }
}

void BanTable::remove(std::string_view address, std::uint64_t hash) noexcept {
    if (expires_.empty()) return;
    const std::size_t slot = find_slot(address, hash);
    if (slot == SlotIndex::NOT_FOUND) return;
    const std::uint64_t position = position_of(index_.payload(slot));
    index_.erase(slot);
    // The last entry moves into the hole, and its slot is pointed there.
    const std::uint64_t last = keys_.size() - 1;
    if (position != last) {
        const std::uint64_t last_hash = keys_[last].hash;
        const std::size_t moved_slot =
            index_.find(last_hash, [last](std::uint64_t payload) { return position_of(payload) == last; });
        index_.set_payload(moved_slot, payload_of(position, last_hash));
        keys_[position] = std::move(keys_[last]);
        expires_[position] = expires_[last];
    }
    keys_.pop_back();
    expires_.pop_back();
}

std::optional<std::uint64_t> BanTable::expires_at(std::string_view address) const noexcept {
    if (expires_.empty()) return std::nullopt;
    const std::size_t slot = find_slot(address, hash_of(address));
    if (slot == SlotIndex::NOT_FOUND) return std::nullopt;
    return expires_[position_of(index_.payload(slot))];
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
