// The engine's clocks, one branch per platform; only Linux is built today. On
// Linux the clocks are read through the C library's clock_gettime rather
// than a raw system call, so that a preloaded library can stand in for them
// when a test needs to drive time (libfaketime sets the coarse clocks too).
#include "state/platform.hpp"

#include "runtime/fault.hpp"

#if defined(__linux__)

#include <ctime>

namespace quelvar::platform {
namespace {

timespec read_clock(clockid_t clock) noexcept {
    timespec now;
    // Fails only for an unknown clock id, which these are not.
    if (::clock_gettime(clock, &now) != 0) internal_fault("clock_gettime failed");
    return now;
}

// tv_nsec is always a forward offset from tv_sec.
WallTime wall_time(const timespec& now) noexcept {
    return WallTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

MonoTime mono_time(const timespec& now) noexcept {
    if (now.tv_sec < 0) return MonoTime{};
    return MonoTime{static_cast<std::uint64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

// Two ticks (see CoarseFirstClock), or 0 for a clock the kernel does not
// have or whose tick is too long.
std::uint32_t coarse_margin(clockid_t clock) noexcept {
    timespec resolution{};
    if (::clock_getres(clock, &resolution) != 0 || resolution.tv_sec != 0 || resolution.tv_nsec <= 0 ||
        resolution.tv_nsec > MAX_COARSE_RESOLUTION_NANOS) {
        return 0;
    }
    return 2 * static_cast<std::uint32_t>(resolution.tv_nsec);
}

// Set when the library is loaded; until then 0, which reads the precise
// clocks only.
const std::uint32_t WALL_MARGIN_NANOS = coarse_margin(CLOCK_REALTIME_COARSE);
const std::uint32_t MONOTONIC_MARGIN_NANOS = coarse_margin(CLOCK_MONOTONIC_COARSE);

}  // namespace

WallTime Readings::wall() const noexcept { return wall_time(read_clock(CLOCK_REALTIME)); }
WallTime Readings::wall_coarse() const noexcept { return wall_time(read_clock(CLOCK_REALTIME_COARSE)); }
MonoTime Readings::monotonic() const noexcept { return mono_time(read_clock(CLOCK_MONOTONIC)); }
MonoTime Readings::monotonic_coarse() const noexcept { return mono_time(read_clock(CLOCK_MONOTONIC_COARSE)); }
std::uint32_t Readings::wall_margin_nanos() const noexcept { return WALL_MARGIN_NANOS; }
std::uint32_t Readings::monotonic_margin_nanos() const noexcept { return MONOTONIC_MARGIN_NANOS; }

}  // namespace quelvar::platform

#else
#error "no clocks for this platform yet (see platform.hpp)"
#endif

namespace quelvar {

template class CoarseFirstClock<platform::Readings>;

constinit const SystemClock SYSTEM_CLOCK{};

}  // namespace quelvar
