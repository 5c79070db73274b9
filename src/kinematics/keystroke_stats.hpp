// Rhythm of the keystrokes: mean and population variance of the positive gaps
// between consecutive key times, taken in time order.
#pragma once

#include <span>

namespace quelvar {

struct KeyIntervalStats {
    double mean = 0.0;
    double variance = 0.0;
};

// (0.0, 0.0) for fewer than two key times or when all of them are equal.
KeyIntervalStats key_interval_stats(std::span<const double> key_times);

}  // namespace quelvar
