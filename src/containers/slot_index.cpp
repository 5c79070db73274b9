#include "containers/slot_index.hpp"

#include <cstring>

namespace quelvar {

SlotIndex::SlotIndex(std::size_t reserve) {
    allocate(slots_for(reserve));
    // The reserved slots are about to be filled at random: their pages are
    // faulted in here, at once, rather than one by one by the inserts that
    // follow (each fault would cost an insert a microsecond under the store
    // lock). A grown index is written all over by its rebuild anyway.
    std::memset(payloads_, 0, slot_count_ * sizeof(std::uint64_t));
}

std::size_t SlotIndex::slots_for(std::size_t entries) noexcept {
    std::size_t slots = GROUP_WIDTH;
    while (capacity_of(slots) < entries) slots *= 2;
    return slots;
}

void SlotIndex::allocate(std::size_t slot_count) {
    // Payloads and control bytes share one block, so that a large index is
    // one mapping that goes back to the system whole when the index grows or
    // is dropped. Payloads are read only where the control byte says the slot
    // is full, so they stay uninitialised (and untouched pages unresident).
    block_ = Block<unsigned char>(slot_count * (sizeof(std::uint64_t) + 1));
    payloads_ = reinterpret_cast<std::uint64_t*>(block_.get());
    control_ = block_.get() + slot_count * sizeof(std::uint64_t);
    std::memset(control_, EMPTY, slot_count);
    slot_count_ = slot_count;
    group_mask_ = slot_count / GROUP_WIDTH - 1;
    size_ = 0;
    growth_left_ = capacity_of(slot_count);
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
