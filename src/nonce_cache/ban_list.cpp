#include "nonce_cache/ban_list.hpp"

namespace quelvar {

// The buffers a thread's last list left behind, if they were not too large
// to keep: up to about 32 768 pairs of IPv4 addresses.
struct SpareBanListStorage {
    static constexpr std::size_t MAX_KEPT_BYTES = 1 << 20;

    std::vector<BanList::Entry> entries;
    char* bytes = nullptr;
    std::size_t capacity = 0;

    ~SpareBanListStorage() { checked_free(bytes); }
};

namespace {
thread_local SpareBanListStorage SPARE;
}  // namespace

BanList::BanList(KeyedHash hash) noexcept : hash_(hash) {
    entries_.swap(SPARE.entries);
    bytes_ = std::exchange(SPARE.bytes, nullptr);
    capacity_ = std::exchange(SPARE.capacity, 0);
}

BanList::~BanList() {
    const std::size_t kept = entries_.capacity() * sizeof(Entry) + capacity_;
    if (SPARE.bytes == nullptr && SPARE.entries.capacity() == 0 && kept <= SpareBanListStorage::MAX_KEPT_BYTES) {
        entries_.clear();
        SPARE.entries.swap(entries_);
        SPARE.bytes = std::exchange(bytes_, nullptr);
        SPARE.capacity = std::exchange(capacity_, 0);
    }
    checked_free(bytes_);
}

}  // namespace quelvar
