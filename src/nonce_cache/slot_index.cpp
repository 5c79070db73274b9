#include "nonce_cache/slot_index.hpp"

#include <cstring>

#include "runtime/memory.hpp"

namespace quelvar {

#if defined(__SSE2__)
SlotIndex::Group::Group(const std::uint8_t* control) noexcept
    : bytes_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(control))) {}

std::uint32_t SlotIndex::Group::match(std::uint8_t tag) const noexcept {
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(tag)))));
}

std::uint32_t SlotIndex::Group::match_empty() const noexcept {
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(EMPTY)))));
}

// Empty and deleted are the two control values with the top bit set.
std::uint32_t SlotIndex::Group::match_empty_or_deleted() const noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes_));
}
#else
SlotIndex::Group::Group(const std::uint8_t* control) noexcept { std::memcpy(bytes_, control, GROUP_WIDTH); }

std::uint32_t SlotIndex::Group::match(std::uint8_t tag) const noexcept {
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < GROUP_WIDTH; ++i) mask |= static_cast<std::uint32_t>(bytes_[i] == tag) << i;
    return mask;
}

std::uint32_t SlotIndex::Group::match_empty() const noexcept { return match(EMPTY); }

std::uint32_t SlotIndex::Group::match_empty_or_deleted() const noexcept {
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < GROUP_WIDTH; ++i) mask |= static_cast<std::uint32_t>(bytes_[i] >> 7) << i;
    return mask;
}
#endif

SlotIndex::SlotIndex(std::size_t reserve) { allocate(slots_for(reserve)); }

SlotIndex::~SlotIndex() { release(); }

SlotIndex::SlotIndex(SlotIndex&& other) noexcept
    : control_(std::exchange(other.control_, nullptr)),
      payloads_(std::exchange(other.payloads_, nullptr)),
      slot_count_(std::exchange(other.slot_count_, 0)),
      group_mask_(std::exchange(other.group_mask_, 0)),
      size_(std::exchange(other.size_, 0)),
      growth_left_(std::exchange(other.growth_left_, 0)) {}

SlotIndex& SlotIndex::operator=(SlotIndex&& other) noexcept {
    if (this != &other) {
        release();
        control_ = std::exchange(other.control_, nullptr);
        payloads_ = std::exchange(other.payloads_, nullptr);
        slot_count_ = std::exchange(other.slot_count_, 0);
        group_mask_ = std::exchange(other.group_mask_, 0);
        size_ = std::exchange(other.size_, 0);
        growth_left_ = std::exchange(other.growth_left_, 0);
    }
    return *this;
}

std::size_t SlotIndex::slots_for(std::size_t entries) noexcept {
    std::size_t slots = GROUP_WIDTH;
    while (capacity_of(slots) < entries) slots *= 2;
    return slots;
}

void SlotIndex::allocate(std::size_t slot_count) {
    control_ = static_cast<std::uint8_t*>(checked_alloc(slot_count));
    std::memset(control_, EMPTY, slot_count);
    // Payloads are read only where the control byte says the slot is full,
    // so they stay uninitialised (and untouched pages stay unresident).
    payloads_ = static_cast<std::uint64_t*>(checked_alloc(slot_count * sizeof(std::uint64_t)));
    slot_count_ = slot_count;
    group_mask_ = slot_count / GROUP_WIDTH - 1;
    size_ = 0;
    growth_left_ = capacity_of(slot_count);
}

void SlotIndex::release() noexcept {
    checked_free(control_);
    checked_free(payloads_);
    control_ = nullptr;
    payloads_ = nullptr;
}

std::size_t SlotIndex::find_free(std::uint64_t hash) const noexcept {
    std::size_t group = first_group(hash);
    for (std::size_t step = 1;; ++step) {
        const std::size_t base = group * GROUP_WIDTH;
        if (std::uint32_t free = Group(control_ + base).match_empty_or_deleted(); free != 0) {
            return base + static_cast<std::size_t>(__builtin_ctz(free));
        }
        group = (group + step) & group_mask_;
    }
}

void SlotIndex::place(std::size_t slot, std::uint64_t hash, std::uint64_t payload) noexcept {
    if (control_[slot] == EMPTY) --growth_left_;
    control_[slot] = tag_of(hash);
    payloads_[slot] = payload;
    ++size_;
}

void SlotIndex::erase(std::size_t slot) noexcept {
    --size_;
    // A probe stops at the first group with an empty slot. A group that still
    // has one has never been full since the last rebuild, so no probe ever
    // went past it and the slot can become empty again; otherwise it must
    // stay a marker that probes walk through.
    const std::size_t base = slot & ~(GROUP_WIDTH - 1);
    if (Group(control_ + base).match_empty() != 0) {
        control_[slot] = EMPTY;
        ++growth_left_;
    } else {
        control_[slot] = DELETED;
    }
}

void SlotIndex::clear() noexcept {
    std::memset(control_, EMPTY, slot_count_);
    size_ = 0;
    growth_left_ = capacity_of(slot_count_);
}

}  // namespace quelvar
