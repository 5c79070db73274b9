// An open-addressing hash index shared by the nonce buckets and the ban
// table. Slots come in groups of 16; each slot has one control byte (empty,
// deleted, or the low 7 bits of its entry's hash) and one 64-bit payload that
// the owning table interprets (an arena offset, an entry position). A lookup
// compares the 16 control bytes of a group at once and reads a payload only
// where the 7 hash bits agree, so it rarely touches a key that is not the
// one asked for. The index allocates only when it grows, never on a lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "runtime/memory.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quelvar {

class SlotIndex {
public:
    static constexpr std::size_t GROUP_WIDTH = 16;
    static constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(-1);
    // The low TAG_BITS of a hash are its slot's control byte; the bits above
    // pick the group. Owners that keep hash bits in a payload start there.
    static constexpr unsigned TAG_BITS = 7;
    static constexpr std::uint64_t TAG_MASK = (std::uint64_t{1} << TAG_BITS) - 1;

    // Room for `reserve` entries before the first growth.
    explicit SlotIndex(std::size_t reserve);
    SlotIndex(SlotIndex&&) noexcept = default;
    SlotIndex& operator=(SlotIndex&&) noexcept = default;
    SlotIndex(const SlotIndex&) = delete;
    SlotIndex& operator=(const SlotIndex&) = delete;

    std::size_t size() const noexcept { return size_; }

    // The slot of the entry with this hash for which matches(payload) holds,
    // or NOT_FOUND.
    template <class Matches>
    std::size_t find(std::uint64_t hash, Matches&& matches) const noexcept;

    // Records an entry the caller knows to be absent. When the index has to
    // grow to `slot_count` slots, hash_of(payload, slot_count) must give the
    // hash of every stored entry; only the bits that pick a group among
    // slot_count / 16 (bits 7 and up) are used, the 7-bit tag is kept from
    // the entry's control byte.
    template <class HashOf>
    void insert_absent(std::uint64_t hash, std::uint64_t payload, HashOf&& hash_of);

    // A hint for a caller that looks up many hashes in a row: starts loading
    // what a lookup of this hash reads first, the control bytes and the
    // payloads of its first group. Changes nothing and never faults.
    void prefetch(std::uint64_t hash) const noexcept {
        const std::size_t base = first_group(hash) * GROUP_WIDTH;
        __builtin_prefetch(control_ + base);
        __builtin_prefetch(payloads_ + base);
        __builtin_prefetch(payloads_ + base + GROUP_WIDTH / 2);
    }

    // The first slot of the hash's first group whose tag matches, or
    // NOT_FOUND: where a lookup of this hash most often ends. The entry
    // there may belong to another hash.
    std::size_t first_candidate(std::uint64_t hash) const noexcept {
        const std::size_t base = first_group(hash) * GROUP_WIDTH;
        const std::uint32_t hits = Group(control_ + base).match(tag_of(hash));
        return hits == 0 ? NOT_FOUND : base + static_cast<std::size_t>(__builtin_ctz(hits));
    }

    void erase(std::size_t slot) noexcept;
    std::uint64_t payload(std::size_t slot) const noexcept { return payloads_[slot]; }
    void set_payload(std::size_t slot, std::uint64_t payload) noexcept { payloads_[slot] = payload; }

    // Forgets every entry; keeps the allocated slots.
    void clear() noexcept;

private:
    // A control byte is a tag (top bit clear) or one of these two (top bit
    // set), so that one sign-bit mask finds the free slots of a group.
    static constexpr std::uint8_t FREE_BIT = 0x80;
    static constexpr std::uint8_t EMPTY = 0x80;
    static constexpr std::uint8_t DELETED = 0xFE;
    static_assert(TAG_MASK < FREE_BIT && (EMPTY & FREE_BIT) && (DELETED & FREE_BIT) && EMPTY != DELETED);
    static_assert(GROUP_WIDTH == 16, "a group is one 16-byte vector of control bytes, its hits a 16-bit mask");

    // The 16 control bytes of one group, compared at once.
    class Group {
    public:
        explicit Group(const std::uint8_t* control) noexcept;
        std::uint32_t match(std::uint8_t tag) const noexcept;
        std::uint32_t match_empty() const noexcept;
        std::uint32_t match_empty_or_deleted() const noexcept;

    private:
#if defined(__SSE2__)
        __m128i bytes_;
#else
        std::uint8_t bytes_[GROUP_WIDTH];
#endif
    };

    static std::uint8_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint8_t>(hash & TAG_MASK); }
    std::size_t first_group(std::uint64_t hash) const noexcept { return (hash >> TAG_BITS) & group_mask_; }
    // The first empty or deleted slot on this hash's probe sequence.
    std::size_t find_free(std::uint64_t hash) const noexcept;
    void place(std::size_t slot, std::uint64_t hash, std::uint64_t payload) noexcept;
    void allocate(std::size_t slot_count);
    template <class HashOf>
    void rebuild(std::size_t slot_count, HashOf& hash_of);

    static std::size_t slots_for(std::size_t entries) noexcept;
    static std::size_t capacity_of(std::size_t slot_count) noexcept { return slot_count - slot_count / 8; }

    // Payloads first, then the control bytes, in one block; the two
    // pointers lead into it.
    Block<unsigned char> block_;
    std::uint8_t* control_ = nullptr;
    std::uint64_t* payloads_ = nullptr;
    std::size_t slot_count_ = 0;
    std::size_t group_mask_ = 0;
    std::size_t size_ = 0;
    // Empty slots that may still be filled before the load limit of 7/8;
    // deleted slots do not count, so that some slot always stays empty and
    // every probe sequence ends.
    std::size_t growth_left_ = 0;
};

#if defined(__SSE2__)
inline SlotIndex::Group::Group(const std::uint8_t* control) noexcept
    : bytes_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(control))) {}

inline std::uint32_t SlotIndex::Group::match(std::uint8_t tag) const noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(tag)))));
}

inline std::uint32_t SlotIndex::Group::match_empty() const noexcept {
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(EMPTY)))));
}

// Empty and deleted are the two control values with the top bit set.
inline std::uint32_t SlotIndex::Group::match_empty_or_deleted() const noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes_));
}
#else
inline SlotIndex::Group::Group(const std::uint8_t* control) noexcept { std::memcpy(bytes_, control, GROUP_WIDTH); }

inline std::uint32_t SlotIndex::Group::match(std::uint8_t tag) const noexcept {
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < GROUP_WIDTH; ++i) mask |= static_cast<std::uint32_t>(bytes_[i] == tag) << i;
    return mask;
}

inline std::uint32_t SlotIndex::Group::match_empty() const noexcept { return match(EMPTY); }

inline std::uint32_t SlotIndex::Group::match_empty_or_deleted() const noexcept {
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < GROUP_WIDTH; ++i) mask |= static_cast<std::uint32_t>((bytes_[i] & FREE_BIT) != 0) << i;
    return mask;
}
#endif

inline std::size_t SlotIndex::find_free(std::uint64_t hash) const noexcept {
    std::size_t group = first_group(hash);
    for (std::size_t step = 1;; ++step) {
        const std::size_t base = group * GROUP_WIDTH;
        if (std::uint32_t free = Group(control_ + base).match_empty_or_deleted(); free != 0) {
            return base + static_cast<std::size_t>(__builtin_ctz(free));
        }
        group = (group + step) & group_mask_;
    }
}

inline void SlotIndex::place(std::size_t slot, std::uint64_t hash, std::uint64_t payload) noexcept {
    if (control_[slot] == EMPTY) --growth_left_;
    control_[slot] = tag_of(hash);
    payloads_[slot] = payload;
    ++size_;
}

template <class Matches>
[[gnu::always_inline]] inline std::size_t SlotIndex::find(std::uint64_t hash, Matches&& matches) const noexcept {
    const std::uint8_t tag = tag_of(hash);
    std::size_t group = first_group(hash);
    // Triangular steps over a power-of-two number of groups visit every group.
    for (std::size_t step = 1;; ++step) {
        const std::size_t base = group * GROUP_WIDTH;
        const Group control(control_ + base);
        for (std::uint32_t hits = control.match(tag); hits != 0; hits &= hits - 1) {
            const std::size_t slot = base + static_cast<std::size_t>(__builtin_ctz(hits));
            if (matches(payloads_[slot])) return slot;
        }
        if (control.match_empty() != 0) return NOT_FOUND;
        group = (group + step) & group_mask_;
    }
}

template <class HashOf>
void SlotIndex::insert_absent(std::uint64_t hash, std::uint64_t payload, HashOf&& hash_of) {
    std::size_t slot = find_free(hash);
    if (growth_left_ == 0 && control_[slot] == EMPTY) {
        // Double when the live entries fill more than half; otherwise only
        // deleted slots are in the way and rebuilding at the same size
        // clears them.
        const std::size_t capacity = capacity_of(slot_count_);
        rebuild(size_ + 1 > capacity / 2 ? slots_for(capacity + 1) : slot_count_, hash_of);
        slot = find_free(hash);
    }
    place(slot, hash, payload);
}

template <class HashOf>
void SlotIndex::rebuild(std::size_t slot_count, HashOf& hash_of) {
    SlotIndex old(std::move(*this));
    allocate(slot_count);
    for (std::size_t slot = 0; slot < old.slot_count_; ++slot) {
        if (old.control_[slot] & FREE_BIT) continue;  // empty or deleted
        const std::uint64_t payload = old.payloads_[slot];
        const std::uint64_t hash = (hash_of(payload, slot_count) & ~TAG_MASK) | old.control_[slot];
        place(find_free(hash), hash, payload);
    }
}

}  // namespace quelvar
