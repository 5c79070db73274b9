// What the state engine needs from the operating system: the wall clock and
// the monotonic clock. Everything platform-specific of the engine lives in
// platform.cpp.
#pragma once

#include <cstdint>

#include "state/clock.hpp"

namespace quelvar::platform {

// Whole seconds since 1970-01-01 00:00:00 UTC, sub-second part truncated;
// 0 when the clock is set before 1970.
std::uint64_t unix_now_secs() noexcept;

// The monotonic clock. A reading the platform reports as negative is taken
// as zero.
MonoTime monotonic_now() noexcept;

}  // namespace quelvar::platform

namespace quelvar {

class SystemClock final : public Clock {
public:
    std::uint64_t unix_now_secs() const noexcept override;
    MonoTime monotonic_now() const noexcept override;
};

extern const SystemClock SYSTEM_CLOCK;

}  // namespace quelvar
