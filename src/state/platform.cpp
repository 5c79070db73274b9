// The engine's clocks, one branch per platform; only Linux is built today. On Linux the clocks are read through the C library's
// clock_gettime rather than a raw system call, so that a preloaded library
// can stand in for them when a test needs to drive time.
#include "state/platform.hpp"

#include "runtime/fault.hpp"

#if defined(__linux__)

#include <ctime>

namespace quelvar::platform {
namespace {

timespec read_clock(clockid_t clock) noexcept {
    timespec now{};
    // Fails only for an unknown clock id, which these are not.
    if (::clock_gettime(clock, &now) != 0) internal_fault("clock_gettime failed");
    return now;
}

}  // namespace

std::uint64_t unix_now_secs() noexcept {
    const timespec now = read_clock(CLOCK_REALTIME);
    // tv_nsec is always a forward offset from tv_sec, so whole seconds are
    // tv_sec itself, and any negative tv_sec is a time before 1970.
    return now.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(now.tv_sec);
}

MonoTime monotonic_now() noexcept {
    const timespec now = read_clock(CLOCK_MONOTONIC);
    if (now.tv_sec < 0) return MonoTime{};
    return MonoTime{static_cast<std::uint64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

}  // namespace quelvar::platform

#else
#error "no clocks for this platform yet (see platform.hpp)"
#endif

namespace quelvar {

std::uint64_t SystemClock::unix_now_secs() const noexcept { return platform::unix_now_secs(); }
MonoTime SystemClock::monotonic_now() const noexcept { return platform::monotonic_now(); }

constinit const SystemClock SYSTEM_CLOCK{};

}  // namespace quelvar
