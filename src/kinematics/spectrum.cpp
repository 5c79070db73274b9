#include "kinematics/spectrum.hpp"

#include <cmath>
#include <vector>

namespace quelvar {
namespace {

constexpr double TWO_PI = 6.283185307179586;

struct Phasor {
    double cos;
    double sin;
};

// Centred samples k and L - k folded together: every bin f sees them at
// angles 2πkf/L and -2πkf/L, so their cosine terms share the sum and their
// sine terms the difference.
struct Fold {
    double sum;
    double difference;
};

// cos and sin of 2πm/L for m = 0 .. L-1. Angles up to π are built as a
// coarse angle (a multiple of FINE steps) plus a fine one, so that a table of
// L entries costs about 2√L calls of cos and sin instead of 2L; each entry is
// within a few units in the last place. The other half mirrors the first.
void fill_unit_circle(std::span<Phasor> table) {
    constexpr std::size_t FINE = 16;
    const std::size_t length = table.size();
    const std::size_t half = length / 2;
    const double step = TWO_PI / static_cast<double>(length);

    Phasor fine[FINE];
    for (std::size_t r = 0; r < FINE && r <= half; ++r) {
        const double angle = static_cast<double>(r) * step;
        fine[r] = {std::cos(angle), std::sin(angle)};
    }
    for (std::size_t base = 0; base <= half; base += FINE) {
        const double angle = static_cast<double>(base) * step;
        const Phasor coarse = base == 0 ? Phasor{1.0, 0.0} : Phasor{std::cos(angle), std::sin(angle)};
        for (std::size_t r = 0; r < FINE && base + r <= half; ++r) {
            table[base + r] = {coarse.cos * fine[r].cos - coarse.sin * fine[r].sin,
                               coarse.sin * fine[r].cos + coarse.cos * fine[r].sin};
        }
    }
    for (std::size_t m = half + 1; m < length; ++m) table[m] = {table[length - m].cos, -table[length - m].sin};
}

// |Σ c[k] e^{-2πikf/L}|² for f = 1 .. power.size(), from the folded samples.
// The phase index k·f mod L is advanced by addition, in four interleaved
// chains so that neither the index updates nor the accumulations wait on
// each other.
void power_spectrum(double first, double middle, bool has_middle, std::span<const Fold> folds,
                    std::span<const Phasor> circle, std::span<double> power) {
    const std::size_t length = circle.size();
    const std::size_t fold_count = folds.size();
    for (std::size_t f = 1; f <= power.size(); ++f) {
        // Sample 0 sits at angle 0; the middle sample of an even length at
        // angle πf, where the cosine is ±1 and the sine vanishes.
        double re_base = first;
        if (has_middle) re_base += (f & 1) ? -middle : middle;

        const std::size_t stride = (4 * f) % length;
        std::size_t i0 = f % length;
        std::size_t i1 = (2 * f) % length;
        std::size_t i2 = (3 * f) % length;
        std::size_t i3 = (4 * f) % length;
        double re0 = 0.0, re1 = 0.0, re2 = 0.0, re3 = 0.0;
        double im0 = 0.0, im1 = 0.0, im2 = 0.0, im3 = 0.0;
        std::size_t k = 0;
        for (; k + 4 <= fold_count; k += 4) {
            re0 += folds[k].sum * circle[i0].cos;
            im0 += folds[k].difference * circle[i0].sin;
            re1 += folds[k + 1].sum * circle[i1].cos;
            im1 += folds[k + 1].difference * circle[i1].sin;
            re2 += folds[k + 2].sum * circle[i2].cos;
            im2 += folds[k + 2].difference * circle[i2].sin;
            re3 += folds[k + 3].sum * circle[i3].cos;
            im3 += folds[k + 3].difference * circle[i3].sin;
            i0 += stride;
            i1 += stride;
            i2 += stride;
            i3 += stride;
            if (i0 >= length) i0 -= length;
            if (i1 >= length) i1 -= length;
            if (i2 >= length) i2 -= length;
            if (i3 >= length) i3 -= length;
        }
        // At most three folds remain; chain j already points at fold k + j.
        const std::size_t next[3] = {i0, i1, i2};
        for (std::size_t j = 0; k + j < fold_count; ++j) {
            re0 += folds[k + j].sum * circle[next[j]].cos;
            im0 += folds[k + j].difference * circle[next[j]].sin;
        }
        const double re = re_base + ((re0 + re1) + (re2 + re3));
        const double im = (im0 + im1) + (im2 + im3);  // the sign of the sine sum does not reach the power
        power[f - 1] = re * re + im * im;
    }
}

}  // namespace

SpectrumStats speed_spectrum_stats(std::span<const double> speeds, double mean) {
    const std::size_t length = speeds.size();
    if (length < MIN_SPECTRUM_SPEEDS) return {};
    const std::size_t bins = length / 2;
    const std::size_t fold_count = (length - 1) / 2;

    std::vector<Phasor> circle(length);
    fill_unit_circle(circle);
    std::vector<Fold> folds(fold_count);
    for (std::size_t k = 1; k <= fold_count; ++k) {
        const double early = speeds[k] - mean;
        const double late = speeds[length - k] - mean;
        folds[k - 1] = {early + late, early - late};
    }
    const bool has_middle = length % 2 == 0;
    const double middle = has_middle ? speeds[length / 2] - mean : 0.0;
    std::vector<double> power(bins);
    power_spectrum(speeds[0] - mean, middle, has_middle, folds, circle, power);

    double total = 0.0;
    for (double p : power) total += p;
    if (!(total > MIN_SPECTRAL_POWER)) return {};  // a NaN total is no usable power either

    double peak = 0.0;
    for (double p : power) {
        if (p > peak) peak = p;
    }
    double entropy = 0.0;
    for (double p : power) {
        const double share = p / total;
        if (share > MIN_BIN_SHARE) entropy -= share * std::log2(share);
    }
    return {peak / total, entropy / std::log2(static_cast<double>(bins))};
}

}  // namespace quelvar
