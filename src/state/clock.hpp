// The two clocks the state engine reads, behind an interface so that the
// engine can be driven by a hand-set clock in tests. The module's engine
// uses SystemClock (platform.hpp), which reads the platform clocks.
#pragma once

#include <compare>
#include <cstdint>

namespace quelvar {

// A reading of the monotonic clock. Only differences between two readings
// mean anything.
struct MonoTime {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // 0 to 999 999 999
    friend constexpr auto operator<=>(const MonoTime&, const MonoTime&) = default;
};

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // 0 to 999 999 999
    // Seconds first, then nanoseconds: exactly 60.000000000 s is not less than 60 s.
    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// later - earlier, or zero when `later` is in fact the earlier reading: the
// elapsed time between two readings is never negative and never wraps.
constexpr Duration elapsed_between(MonoTime earlier, MonoTime later) noexcept {
    if (later <= earlier) return Duration{};
    if (later.nanos >= earlier.nanos) return Duration{later.secs - earlier.secs, later.nanos - earlier.nanos};
    return Duration{later.secs - earlier.secs - 1, later.nanos + 1'000'000'000u - earlier.nanos};
}

class Clock {
public:
    // Whole seconds since 1970-01-01 00:00:00 UTC; 0 for any time before.
    virtual std::uint64_t unix_now_secs() const noexcept = 0;
    virtual MonoTime monotonic_now() const noexcept = 0;

protected:
    ~Clock() = default;
};

}  // namespace quelvar
