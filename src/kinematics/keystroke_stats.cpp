#include "kinematics/keystroke_stats.hpp"

#include <algorithm>
#include <vector>

namespace quelvar {

KeyIntervalStats key_interval_stats(std::span<const double> key_times) {
    const std::size_t n = key_times.size();
    if (n < 2) return {};

    // The times are finite, so values that compare equal can only be 0.0 and
    // -0.0; neither forms a gap with the other and both give the same
    // differences to every other value, so an unstable sort yields exactly the
    // gaps a stable one would.
    std::vector<double> sorted(key_times.begin(), key_times.end());
    std::sort(sorted.begin(), sorted.end());

    // Gaps are written over the front of the sorted copy: gap i is formed
    // from elements i and i + 1, both read before slot i is overwritten.
    std::size_t gaps = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (sorted[i] > sorted[i - 1]) sorted[gaps++] = sorted[i] - sorted[i - 1];
    }
    if (gaps == 0) return {};

    double sum = 0.0;
    for (std::size_t i = 0; i < gaps; ++i) sum += sorted[i];
    const double count = static_cast<double>(gaps);
    const double mean = sum / count;
    double squares = 0.0;
    for (std::size_t i = 0; i < gaps; ++i) {
        const double deviation = sorted[i] - mean;
        squares += deviation * deviation;
    }
    return {mean, squares / count};
}

}  // namespace quelvar
