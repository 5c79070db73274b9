#include "state/ban_list.hpp"

#include <utility>

#include "runtime/memory.hpp"

namespace quelvar {
namespace {

// The buffers a thread's last list left behind, if they were not too large
// to keep: up to about 32 768 pairs of IPv4 addresses.
struct SpareStorage {
    static constexpr std::size_t MAX_KEPT_BYTES = 1 << 20;

    void* entries = nullptr;
    std::size_t entry_bytes = 0;
    char* bytes = nullptr;
    std::size_t byte_capacity = 0;

    ~SpareStorage() {
        checked_free(entries);
        checked_free(bytes);
    }
};

thread_local SpareStorage SPARE;

}  // namespace

BanList::BanList(KeyedHash hash) noexcept : hash_(hash) {
    entries_ = static_cast<Entry*>(std::exchange(SPARE.entries, nullptr));
    entry_capacity_ = std::exchange(SPARE.entry_bytes, 0) / sizeof(Entry);
    bytes_ = std::exchange(SPARE.bytes, nullptr);
    byte_capacity_ = std::exchange(SPARE.byte_capacity, 0);
}

BanList::BanList(BanList&& other) noexcept
    : hash_(other.hash_),
      entries_(std::exchange(other.entries_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      hashed_(std::exchange(other.hashed_, 0)),
      entry_capacity_(std::exchange(other.entry_capacity_, 0)),
      bytes_(std::exchange(other.bytes_, nullptr)),
      used_(std::exchange(other.used_, 0)),
      byte_capacity_(std::exchange(other.byte_capacity_, 0)) {}

BanList::~BanList() {
    const std::size_t entry_bytes = entry_capacity_ * sizeof(Entry);
    if (SPARE.entries == nullptr && SPARE.bytes == nullptr &&
        entry_bytes + byte_capacity_ <= SpareStorage::MAX_KEPT_BYTES) {
        SPARE.entries = std::exchange(entries_, nullptr);
        SPARE.entry_bytes = entry_bytes;
        SPARE.bytes = std::exchange(bytes_, nullptr);
        SPARE.byte_capacity = byte_capacity_;
    }
    checked_free(entries_);
    checked_free(bytes_);
}

void BanList::reserve(std::size_t pairs) {
    grow_to(pairs, pairs * TYPICAL_ADDRESS_BYTES);
}

void BanList::grow(std::size_t address_bytes) {
    grow_to(count_ == entry_capacity_ ? (count_ < 16 ? 16 : 2 * count_) : entry_capacity_,
            used_ + address_bytes > byte_capacity_ ? used_ + address_bytes : byte_capacity_);
}

void BanList::grow_to(std::size_t entries, std::size_t bytes) {
    if (entries > entry_capacity_) {
        entries_ = static_cast<Entry*>(checked_realloc(entries_, entries * sizeof(Entry)));
        entry_capacity_ = entries;
    }
    if (bytes > byte_capacity_) {
        std::size_t capacity = byte_capacity_ < 256 ? 256 : byte_capacity_;
        while (capacity < bytes) capacity *= 2;
        bytes_ = static_cast<char*>(checked_realloc(bytes_, capacity));
        byte_capacity_ = capacity;
    }
}

}  // namespace quelvar
