// What the state engine needs from the operating system: the wall clock, the
// monotonic clock and random bytes. Everything platform-specific of the
// engine lives in platform.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nonce_cache/clock.hpp"

namespace quelvar::platform {

// Whole seconds since 1970-01-01 00:00:00 UTC, sub-second part truncated;
// 0 when the clock is set before 1970.
std::uint64_t unix_now_secs() noexcept;

// The monotonic clock. A reading the platform reports as negative is taken
// as zero.
MonoTime monotonic_now() noexcept;

// Fills the buffer from the operating system's random source. A source that
// fails is an internal fault: hash keys must never be predictable.
void fill_random(void* buffer, std::size_t length) noexcept;

}  // namespace quelvar::platform

namespace quelvar {

class SystemClock final : public Clock {
public:
    std::uint64_t unix_now_secs() const noexcept override;
    MonoTime monotonic_now() const noexcept override;
};

extern const SystemClock SYSTEM_CLOCK;

}  // namespace quelvar
