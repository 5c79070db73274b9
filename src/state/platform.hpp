// What the state engine needs from the operating system: the wall clock and
// the monotonic clock, each precise and coarse. Everything platform-specific
// of the engine lives in platform.cpp.
#pragma once

#include <cstdint>

#include "state/clock.hpp"

namespace quelvar::platform {

// The platform's clocks for CoarseFirstClock. A monotonic reading the
// platform reports as negative is taken as zero.
struct Readings {
    WallTime wall() const noexcept;
    WallTime wall_coarse() const noexcept;
    MonoTime monotonic() const noexcept;
    MonoTime monotonic_coarse() const noexcept;
    // Twice the coarse clock's resolution, read once when the library is
    // loaded; 0 (precise clock only) when the resolution is unknown or above
    // MAX_COARSE_RESOLUTION_NANOS.
    std::uint32_t wall_margin_nanos() const noexcept;
    std::uint32_t monotonic_margin_nanos() const noexcept;
};

// A coarser clock (a tick rate below 100 Hz) would send too many readings
// near a boundary to the precise clock to be worth reading first.
inline constexpr std::uint32_t MAX_COARSE_RESOLUTION_NANOS = 10'000'000;

}  // namespace quelvar::platform

namespace quelvar {

using SystemClock = CoarseFirstClock<platform::Readings>;
extern template class CoarseFirstClock<platform::Readings>;

extern const SystemClock SYSTEM_CLOCK;

}  // namespace quelvar
