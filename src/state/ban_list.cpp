#include "state/ban_list.hpp"

namespace quelvar {
namespace {

// The buffers a thread's last list left behind, if they were not too large
// to keep: up to about 32 768 pairs of IPv4 addresses.
struct SpareStorage {
    static constexpr std::size_t MAX_KEPT_BYTES = 1 << 20;

    Block<BanList::Entry> entries;
    Block<char> bytes;
};

thread_local SpareStorage SPARE;

}  // namespace

BanList::BanList(KeyedHash hash) noexcept : hash_(hash) {
    SPARE.entries.give_to(entries_);
    SPARE.bytes.give_to(bytes_);
}

BanList::~BanList() {
    const std::size_t kept_bytes = entries_.capacity() * sizeof(Entry) + bytes_.capacity();
    if (SPARE.entries.get() == nullptr && SPARE.bytes.get() == nullptr && kept_bytes <= SpareStorage::MAX_KEPT_BYTES) {
        entries_.give_to(SPARE.entries);
        bytes_.give_to(SPARE.bytes);
    }
}

void BanList::reserve(std::size_t pairs) { grow_to(pairs, pairs * TYPICAL_ADDRESS_BYTES); }

void BanList::grow(std::size_t address_bytes) {
    grow_to(count_ == entries_.capacity() ? (count_ < 16 ? 16 : 2 * count_) : entries_.capacity(),
            used_ + address_bytes > bytes_.capacity() ? used_ + address_bytes : bytes_.capacity());
}

void BanList::grow_to(std::size_t entries, std::size_t bytes) {
    if (entries > entries_.capacity()) entries_.resize(entries);
    if (bytes > bytes_.capacity()) {
        std::size_t capacity = bytes_.capacity() < 256 ? 256 : bytes_.capacity();
        while (capacity < bytes) capacity *= 2;
        bytes_.resize(capacity);
    }
}

}  // namespace quelvar
