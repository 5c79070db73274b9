// The store's reader-writer lock: one 32-bit word, taken and released with
// one atomic instruction each when nobody waits. A writer holds bit 0, each
// reader adds READER, and a thread that has to wait sets WAITING and sleeps
// on the word (std::atomic::wait, a futex on Linux) until a release that
// finds WAITING set wakes every sleeper to try again.
//
// Like glibc's default reader-writer lock, which it replaces, it lets
// readers in whenever no writer holds it. Why replace it: glibc's release of
// a writer takes two locked instructions, each of which waits until every
// store before it has reached the cache, so a release after an insert that
// missed the cache stalled for the miss twice.
#pragma once

#include <atomic>
#include <cstdint>

namespace quelvar {

class RwLock {
public:
    void lock() noexcept {
        std::uint32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, WRITER, std::memory_order_acquire, std::memory_order_relaxed)) {
            lock_slowly();
        }
    }
    void unlock() noexcept {
        // Nobody else holds the lock while a writer does: the word is WRITER,
        // perhaps with WAITING.
        if (state_.exchange(0, std::memory_order_release) & WAITING) state_.notify_all();
    }

    void lock_shared() noexcept {
        std::uint32_t seen = state_.load(std::memory_order_relaxed);
        if ((seen & WRITER) != 0 || !state_.compare_exchange_strong(seen, seen + READER, std::memory_order_acquire,
                                                                    std::memory_order_relaxed)) {
            lock_shared_slowly();
        }
    }
    void unlock_shared() noexcept {
        // The last reader out wakes the sleepers, who can only be writers
        // waiting for the readers to leave, or readers that saw a writer.
        if (state_.fetch_sub(READER, std::memory_order_release) == (READER | WAITING)) state_.notify_all();
    }

private:
    static constexpr std::uint32_t WRITER = 1;
    static constexpr std::uint32_t READER = 2;
    static constexpr std::uint32_t WAITING = 0x8000'0000;

    void lock_slowly() noexcept {
        for (;;) {
            std::uint32_t seen = state_.load(std::memory_order_relaxed);
            if ((seen & ~WAITING) == 0) {
                // Free. WAITING stays, so that this writer's release wakes
                // the others still asleep.
                if (state_.compare_exchange_weak(seen, seen | WRITER, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            sleep_while(seen);
        }
    }

    void lock_shared_slowly() noexcept {
        for (;;) {
            std::uint32_t seen = state_.load(std::memory_order_relaxed);
            if ((seen & WRITER) == 0) {
                if (state_.compare_exchange_weak(seen, seen + READER, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            sleep_while(seen);
        }
    }

    // Marks the word WAITING and sleeps until it differs from what was seen
    // (a release always changes it), or returns at once if it already did.
    void sleep_while(std::uint32_t seen) noexcept {
        if ((seen & WAITING) == 0 && !state_.compare_exchange_strong(seen, seen | WAITING, std::memory_order_relaxed,
                                                                     std::memory_order_relaxed)) {
            return;
        }
        state_.wait(seen | WAITING, std::memory_order_relaxed);
    }

    std::atomic<std::uint32_t> state_{0};
};

}  // namespace quelvar
