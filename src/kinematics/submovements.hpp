// Shape of the speed profile: how fast the pointer still moves at the end
// compared with its peak, and how many distinct speed peaks it shows.
#pragma once

#include <cstdint>
#include <span>

namespace quelvar {

// The peak speed must be strictly above this for either feature to be measured.
inline constexpr double MIN_PEAK_SPEED = 0.00001;
// A local peak counts only from this fraction of the peak speed on.
inline constexpr double PEAK_FRACTION = 0.15;

struct SubmovementStats {
    double terminal_decel_ratio = 1.0;
    std::uint64_t submovement_count = 0;
};

// `speeds` holds at least 2 entries; `max_velocity` is their running maximum
// from 0.0. Allocates nothing.
SubmovementStats submovement_stats(std::span<const double> speeds, double max_velocity);

}  // namespace quelvar
