#include "kinematics/selection.hpp"

#include <array>
#include <bit>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quelvar {
namespace {

// Below this many values a selection counts ranks instead of partitioning.
constexpr std::size_t SMALL_SELECTION = 8;

// The k-th smallest of values (none NaN) by counting, for each in turn, the
// values below it and those not above it.
double counted_kth(const double* values, std::size_t count, std::size_t k) {
    for (std::size_t i = 0;; ++i) {
        const double x = values[i];
        std::size_t below = 0;
        std::size_t not_above = 0;
        for (std::size_t j = 0; j < count; ++j) {
            below += values[j] < x ? 1 : 0;
            not_above += values[j] <= x ? 1 : 0;
        }
        if (below <= k && k < not_above) return x;
    }
}

// One pass of a selection: the values below `low_pivot` copied to `low`, those
// above `high_pivot` to `high`, each buffer filled from its start. No branch
// on a value's side, which is as good as random: std::nth_element's branches
// on it cost about ten nanoseconds a value. A buffer may be written up to
// SELECTION_SLACK values past what it receives.
struct Split {
    std::size_t below = 0;
    std::size_t above = 0;
};

[[gnu::always_inline]] inline Split split_from(const double* from, std::size_t begin, std::size_t count,
                                               double low_pivot, double high_pivot, double* low, double* high,
                                               Split split) {
    for (std::size_t i = begin; i < count; ++i) {
        const double x = from[i];
        low[split.below] = x;
        high[split.above] = x;
        split.below += x < low_pivot ? 1 : 0;
        split.above += x > high_pivot ? 1 : 0;
    }
    return split;
}

Split portable_split(const double* from, std::size_t count, double low_pivot, double high_pivot, double* low,
                     double* high) {
    return split_from(from, 0, count, low_pivot, high_pivot, low, high, {});
}

#if defined(__x86_64__)
// Four values at a time: each side's lanes packed to the front of a vector
// by a permutation picked by the comparison's mask, the whole vector stored.
struct Packings {
    alignas(32) std::int32_t lanes[16][8];
};

constexpr Packings make_packings() {
    Packings packings{};
    for (int mask = 0; mask < 16; ++mask) {
        int to = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane & 1) == 0) continue;
            packings.lanes[mask][2 * to] = 2 * lane;
            packings.lanes[mask][2 * to + 1] = 2 * lane + 1;
            ++to;
        }
    }
    return packings;
}

constexpr Packings PACKINGS = make_packings();

__attribute__((target("avx2,popcnt"))) Split wide_split(const double* from, std::size_t count, double low_pivot,
                                                        double high_pivot, double* low, double* high) {
    const __m256d below_than = _mm256_set1_pd(low_pivot);
    const __m256d above_than = _mm256_set1_pd(high_pivot);
    Split split;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d x = _mm256_loadu_pd(from + i);
        const int lower = _mm256_movemask_pd(_mm256_cmp_pd(x, below_than, _CMP_LT_OQ));
        const int higher = _mm256_movemask_pd(_mm256_cmp_pd(x, above_than, _CMP_GT_OQ));
        const __m256 lanes = _mm256_castpd_ps(x);
        const __m256i to_low = _mm256_load_si256(reinterpret_cast<const __m256i*>(PACKINGS.lanes[lower]));
        const __m256i to_high = _mm256_load_si256(reinterpret_cast<const __m256i*>(PACKINGS.lanes[higher]));
        _mm256_storeu_pd(low + split.below, _mm256_castps_pd(_mm256_permutevar8x32_ps(lanes, to_low)));
        _mm256_storeu_pd(high + split.above, _mm256_castps_pd(_mm256_permutevar8x32_ps(lanes, to_high)));
        split.below += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(lower)));
        split.above += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(higher)));
    }
    return split_from(from, i, count, low_pivot, high_pivot, low, high, split);
}

bool wide_split_available() {
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return available;
}
#endif

using Splitter = Split (*)(const double*, std::size_t, double, double, double*, double*);

Splitter splitter([[maybe_unused]] SelectionKernel kernel) {
#if defined(__x86_64__)
    if (kernel == SelectionKernel::Best && wide_split_available()) return wide_split;
#endif
    return portable_split;
}

// The pivot for rank k of n values (n > SMALL_SELECTION): of five samples,
// sorted, the one at or past k's expected rank on the side of the middle, so
// that the part kept for k is likely the smaller.
double pivot_for(const double* values, std::size_t n, std::size_t k) {
    double s0 = values[0], s1 = values[n / 4], s2 = values[n / 2], s3 = values[n - 1 - n / 4], s4 = values[n - 1];
    // A sorting network of minima and maxima, without a branch.
    const auto order = [](double& a, double& b) {
        const double low = b < a ? b : a;
        const double high = a < b ? b : a;
        a = low;
        b = high;
    };
    order(s0, s1), order(s3, s4), order(s2, s4), order(s2, s3), order(s0, s3), order(s0, s2), order(s1, s4),
        order(s1, s3), order(s1, s2);
    const std::array<double, 5> sample{s0, s1, s2, s3, s4};
    // ceil(4 * rank / n), the rank's place among the samples, without a division.
    const auto quarters = [n](std::size_t rank) {
        const std::size_t q = 4 * rank;
        return (q > 0 ? 1u : 0u) + (q > n ? 1u : 0u) + (q > 2 * n ? 1u : 0u) + (q > 3 * n ? 1u : 0u);
    };
    return sample[2 * k < n ? quarters(k) : 4 - quarters(n - 1 - k)];
}

// A quickselect whose passes copy the values between three buffers (the one
// read, the two written).
double select_kth(const double* values, std::size_t count, std::size_t k, double* scratch, Splitter split_values) {
    double* const buffers[3] = {scratch, scratch + count + SELECTION_SLACK, scratch + 2 * (count + SELECTION_SLACK)};
    std::size_t read = 2;  // values itself at first, then a buffer
    const double* from = values;
    std::size_t n = count;
    while (n > SMALL_SELECTION) {
        const double pivot = pivot_for(from, n, k);
        double* const low = buffers[read == 0 ? 1 : 0];
        double* const high = buffers[read == 2 ? 1 : 2];
        const Split split = split_values(from, n, pivot, pivot, low, high);
        if (k < split.below) {
            from = low;
            n = split.below;
        } else if (k >= n - split.above) {
            from = high;
            k -= n - split.above;
            n = split.above;
        } else {
            return pivot;
        }
        read = from == buffers[0] ? 0 : (from == buffers[1] ? 1 : 2);
    }
    return counted_kth(from, n, k);
}

}  // namespace

double kth_smallest(const double* values, std::size_t count, std::size_t k, double* scratch, SelectionKernel kernel) {
    return select_kth(values, count, k, scratch, splitter(kernel));
}

// The first pass keeps the values below a pivot for the one and those above
// another for the other.
std::pair<double, double> trimmed_ends(const double* values, std::size_t count, std::size_t trim, double* scratch,
                                       SelectionKernel kernel) {
    const Splitter split_values = splitter(kernel);
    const std::size_t top = count - 1 - trim;
    if (count <= SMALL_SELECTION) {
        return {select_kth(values, count, trim, scratch, split_values),
                select_kth(values, count, top, scratch, split_values)};
    }
    const double low_pivot = pivot_for(values, count, trim);
    const double high_pivot = pivot_for(values, count, top);
    double* const low = scratch;
    double* const high = scratch + count + SELECTION_SLACK;
    double* const rest = high + count + SELECTION_SLACK;
    const Split split = split_values(values, count, low_pivot, high_pivot, low, high);
    const double smallest = trim < split.below ? select_kth(low, split.below, trim, rest, split_values)
                                               : select_kth(values, count, trim, rest, split_values);
    const double largest = top >= count - split.above
                               ? select_kth(high, split.above, top - (count - split.above), rest, split_values)
                               : select_kth(values, count, top, rest, split_values);
    return {smallest, largest};
}

}  // namespace quelvar
