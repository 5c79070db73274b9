// The two clocks the state engine reads, behind an interface so that the
// engine can be driven by a hand-set clock in tests. The module's engine
// uses SystemClock (platform.hpp): a CoarseFirstClock on the platform clocks.
#pragma once

#include <compare>
#include <cstdint>

namespace quelvar {

inline constexpr std::uint32_t NANOS_PER_SECOND = 1'000'000'000;

// A reading of the monotonic clock. Only differences between two readings
// mean anything.
struct MonoTime {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // 0 to 999 999 999
    friend constexpr auto operator<=>(const MonoTime&, const MonoTime&) = default;
};

// A reading of the wall clock: seconds since 1970-01-01 00:00:00 UTC,
// negative before, and the forward offset within that second.
struct WallTime {
    std::int64_t secs = 0;
    std::uint32_t nanos = 0;  // 0 to 999 999 999
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
    return Duration{later.secs - earlier.secs - 1, later.nanos + NANOS_PER_SECOND - earlier.nanos};
}

// Whole seconds, sub-second part truncated; 0 for any time before 1970.
constexpr std::uint64_t whole_seconds(WallTime time) noexcept {
    return time.secs < 0 ? 0 : static_cast<std::uint64_t>(time.secs);
}

class Clock {
public:
    // The wall clock in whole seconds since 1970-01-01 00:00:00 UTC (0 for
    // any time before), as the precise clock stands at some instant during
    // the call.
    virtual std::uint64_t unix_now_secs() const noexcept = 0;
    // The precise monotonic clock.
    virtual MonoTime monotonic_now() const noexcept = 0;
    // Whether elapsed_between(start, monotonic_now()) >= length, as the
    // precise clock stands at some instant during the call. A clock with a
    // cheaper way to tell overrides it.
    virtual bool has_elapsed(MonoTime start, Duration length) const noexcept {
        return elapsed_between(start, monotonic_now()) >= length;
    }

protected:
    ~Clock() = default;
};

// A clock that answers from the coarse clocks where they are sure to give the
// precise clocks' answer, and reads the precise clocks only near a boundary.
//
// A coarse clock is the precise one as the kernel's timekeeping left it at
// its last update, done at every tick: a coarse reading is never ahead of
// the precise clock and lags it by less than one tick, the resolution that
// clock_getres reports for the coarse clock. The margin is larger than that
// lag (two ticks: one for the tick, one for the delay with which its update
// lands). So when a coarse reading lies more than the margin before a
// boundary, the precise clock at the instant of that reading lay before the
// boundary too; when it lies at or past the boundary, so did the precise
// clock. Only in between is the precise clock read. The boundaries are the
// next whole second of the wall clock (a ban is active while the whole
// seconds are below its whole-second expiry, so only a change of second can
// change an answer) and the end of the nonce window.
//
// Readings gives wall() and monotonic() (precise), wall_coarse() and
// monotonic_coarse(), and wall_margin_nanos() and monotonic_margin_nanos():
// below one second, or 0 when that coarse clock is not to be used at all.
template <class Readings>
class CoarseFirstClock final : public Clock {
public:
    constexpr explicit CoarseFirstClock(Readings readings = {}) noexcept : readings_(readings) {}

    std::uint64_t unix_now_secs() const noexcept override {
        if (const std::uint32_t margin = readings_.wall_margin_nanos(); margin != 0) {
            const WallTime coarse = readings_.wall_coarse();
            if (coarse.nanos < NANOS_PER_SECOND - margin) return whole_seconds(coarse);
        }
        return whole_seconds(readings_.wall());
    }

    MonoTime monotonic_now() const noexcept override { return readings_.monotonic(); }

    bool has_elapsed(MonoTime start, Duration length) const noexcept override {
        if (const std::uint32_t margin = readings_.monotonic_margin_nanos(); margin != 0) {
            const MonoTime coarse = readings_.monotonic_coarse();
            // The usual case, decided on whole seconds alone: with d whole
            // seconds between the readings, less than d + 1 s has elapsed,
            // and adding a margin below one second stays short of a length
            // of at least d + 2 s.
            if (length.secs >= 2 && coarse.secs >= start.secs && coarse.secs - start.secs <= length.secs - 2) {
                return false;
            }
            return has_elapsed_near_the_end(start, length, coarse, margin);
        }
        return elapsed_between(start, readings_.monotonic()) >= length;
    }

    Readings& readings() noexcept { return readings_; }

private:
    [[gnu::noinline]] bool has_elapsed_near_the_end(MonoTime start, Duration length, MonoTime coarse_reading,
                                                    std::uint32_t margin) const noexcept {
        const Duration coarse = elapsed_between(start, coarse_reading);
        if (coarse >= length) return true;
        // coarse < length, so adding less than a second cannot wrap.
        if (coarse.nanos + margin < NANOS_PER_SECOND
                ? Duration{coarse.secs, coarse.nanos + margin} < length
                : Duration{coarse.secs + 1, coarse.nanos + margin - NANOS_PER_SECOND} < length) {
            return false;
        }
        return elapsed_between(start, readings_.monotonic()) >= length;
    }

    Readings readings_;
};

}  // namespace quelvar
