// Every allocation the module makes for itself goes through checked_alloc,
// directly or through the replaced global operator new, so that exhausted
// memory is always reported with the size that was asked for and ends the
// process instead of surfacing as an exception.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace quelvar {

// Never returns null.
void* checked_alloc(std::size_t bytes);
void* checked_realloc(void* block, std::size_t bytes);
void checked_free(void* block) noexcept;

// An owned block of `capacity` elements from checked_alloc, grown in place
// with realloc. A move leaves the source empty (no block, capacity 0), so a
// class made of blocks and plain counters can default its moves.
template <class T>
class Block {
    static_assert(std::is_trivially_copyable_v<T>, "realloc moves the elements as bytes");

public:
    Block() noexcept = default;
    explicit Block(std::size_t capacity)
        : data_(static_cast<T*>(checked_alloc(capacity * sizeof(T)))), capacity_(capacity) {}
    ~Block() { checked_free(data_); }
    Block(Block&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    Block& operator=(Block&& other) noexcept {
        Block moved(std::move(other));
        std::swap(data_, moved.data_);
        std::swap(capacity_, moved.capacity_);
        return *this;
    }

    T* get() const noexcept { return data_; }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t capacity() const noexcept { return capacity_; }
    // Keeps the first min(old, new) elements.
    void resize(std::size_t capacity) {
        data_ = static_cast<T*>(checked_realloc(data_, capacity * sizeof(T)));
        capacity_ = capacity;
    }
    // Hands the block to `to`, leaving this one empty.
    void give_to(Block& to) noexcept { to = std::move(*this); }

private:
    T* data_ = nullptr;
    std::size_t capacity_ = 0;
};

}  // namespace quelvar
