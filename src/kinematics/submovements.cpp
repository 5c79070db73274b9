#include "kinematics/submovements.hpp"

#include <algorithm>

namespace quelvar {

SubmovementStats submovement_stats(std::span<const double> speeds, double max_velocity) {
    SubmovementStats out;
    if (!(max_velocity > MIN_PEAK_SPEED)) return out;
    const std::size_t count = speeds.size();

    // The last quarter of the samples, never empty.
    const std::size_t window = std::max<std::size_t>(count / 4, 1);
    double tail = 0.0;
    for (std::size_t i = count - window; i < count; ++i) tail += speeds[i];
    out.terminal_decel_ratio = (tail / static_cast<double>(window)) / max_velocity;

    // Strict comparisons: a flat top is no peak, and a NaN neither is a peak
    // nor lets a neighbour be one.
    const double threshold = PEAK_FRACTION * max_velocity;
    std::uint64_t peaks = 0;
    for (std::size_t i = 1; i + 1 < count; ++i) {
        const double v = speeds[i];
        if (v > speeds[i - 1] && v > speeds[i + 1] && v >= threshold) ++peaks;
    }
    // A movement with a measurable peak speed has at least one submovement.
    out.submovement_count = std::max<std::uint64_t>(peaks, 1);
    return out;
}

}  // namespace quelvar
