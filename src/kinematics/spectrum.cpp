#include "kinematics/spectrum.hpp"

#include <cmath>
#include <vector>

namespace quelvar {
namespace {

constexpr double TWO_PI = 6.283185307179586;

// Two doubles that travel together through one vector register: (cos, sin)
// of an angle, a sample pair's (sum, difference), or a bin's (Re, Im) sums.
typedef double Lanes __attribute__((vector_size(16)));
struct Pair {
    Lanes v;
};

// Bins computed side by side, sharing each load of the folded samples.
constexpr std::size_t BINS_PER_PASS = 2;
// Terms per bin and step; each has its own accumulator, so that additions
// do not wait on one another.
constexpr std::size_t TERMS_PER_STEP = 4;

Lanes rotated(Lanes z, Lanes by) {
    return Lanes{z[0] * by[0] - z[1] * by[1], z[0] * by[1] + z[1] * by[0]};
}

// cos and sin of 2πm/L for m = 0 .. L-1, then repeated periodically up to
// `table.size()` entries. Angles up to π are a coarse angle (a multiple of
// FINE steps) plus a fine one, each reached by repeated rotation from a
// single cos and sin, so that the table costs two calls of each instead of
// 2L. Every rotation adds a rounding of about 2^-53 and no chain is longer
// than about √(L/2) rotations, so each entry stays within 1e-14 of the true
// value. The angles above π mirror those below.
void fill_unit_circle(std::span<Pair> table, std::size_t length) {
    constexpr std::size_t FINE = 16;
    const std::size_t half = length / 2;
    const double step = TWO_PI / static_cast<double>(length);
    const double coarse_step = static_cast<double>(FINE) * step;
    const Lanes unit_step{std::cos(step), std::sin(step)};
    const Lanes unit_coarse_step{std::cos(coarse_step), std::sin(coarse_step)};

    Lanes fine[FINE];
    fine[0] = Lanes{1.0, 0.0};
    for (std::size_t r = 1; r < FINE; ++r) fine[r] = rotated(fine[r - 1], unit_step);
    Lanes coarse{1.0, 0.0};
    for (std::size_t base = 0; base <= half; base += FINE) {
        for (std::size_t r = 0; r < FINE && base + r <= half; ++r) table[base + r].v = rotated(fine[r], coarse);
        coarse = rotated(coarse, unit_coarse_step);
    }
    for (std::size_t m = half + 1; m < length; ++m) {
        table[m].v = Lanes{table[length - m].v[0], -table[length - m].v[1]};
    }
    for (std::size_t m = length; m < table.size(); ++m) table[m] = table[m - length];
}

// For bins f = first_bin .. first_bin + Bins - 1: Σ over folds k = 1 .. H of
// (sum_k cos(2πkf/L), difference_k sin(2πkf/L)). Term k of bin f reads table
// entry k·f mod L; the index is advanced by addition, one step of
// TERMS_PER_STEP folds at a time, and the terms within a step are reached
// through base pointers offset by j·f, which the periodic table keeps in
// bounds (index < L, offset < TERMS_PER_STEP · L / 2).
template <std::size_t Bins>
void fold_sums(std::span<const Pair> circle, std::size_t length, std::span<const Pair> folds, std::size_t first_bin,
               Lanes* out) {
    const Pair* base[Bins][TERMS_PER_STEP];
    std::size_t index[Bins];
    std::size_t stride[Bins];
    Lanes acc[Bins][TERMS_PER_STEP];
    for (std::size_t b = 0; b < Bins; ++b) {
        const std::size_t f = first_bin + b;
        for (std::size_t j = 0; j < TERMS_PER_STEP; ++j) {
            base[b][j] = circle.data() + j * f;
            acc[b][j] = Lanes{0.0, 0.0};
        }
        index[b] = f;  // fold k = 1
        stride[b] = (TERMS_PER_STEP * f) % length;
    }
    const std::size_t count = folds.size();
    std::size_t k = 0;
    for (; k + TERMS_PER_STEP <= count; k += TERMS_PER_STEP) {
        Lanes x[TERMS_PER_STEP];
        for (std::size_t j = 0; j < TERMS_PER_STEP; ++j) x[j] = folds[k + j].v;
        for (std::size_t b = 0; b < Bins; ++b) {
            const std::size_t i = index[b];
            for (std::size_t j = 0; j < TERMS_PER_STEP; ++j) acc[b][j] += x[j] * base[b][j][i].v;
            const std::size_t next = i + stride[b];
            index[b] = next >= length ? next - length : next;
        }
    }
    for (std::size_t b = 0; b < Bins; ++b) {
        for (std::size_t j = 0; k + j < count; ++j) acc[b][j] += folds[k + j].v * base[b][j][index[b]].v;
        Lanes total = acc[b][0];
        for (std::size_t j = 1; j < TERMS_PER_STEP; ++j) total += acc[b][j];
        out[b] = total;
    }
}

}  // namespace

SpectrumStats speed_spectrum_stats(std::span<const double> speeds, double mean) {
    const std::size_t length = speeds.size();
    if (length < MIN_SPECTRUM_SPEEDS) return {};
    const std::size_t bins = length / 2;

    // Samples k and L - k meet every bin f at angles ±2πkf/L: their cosine
    // terms share the sum of the two, their sine terms the difference. This
    // folding halves the work of the transform. Sample 0 sits at angle 0; the
    // middle sample of an even length at angle πf, where the cosine is ±1 and
    // the sine vanishes.
    const std::size_t fold_count = (length - 1) / 2;
    std::vector<Pair> folds(fold_count);
    for (std::size_t k = 1; k <= fold_count; ++k) {
        const double early = speeds[k] - mean;
        const double late = speeds[length - k] - mean;
        folds[k - 1].v = Lanes{early + late, early - late};
    }
    const double first = speeds[0] - mean;
    const double middle = length % 2 == 0 ? speeds[length / 2] - mean : 0.0;

    std::vector<Pair> circle(length + (TERMS_PER_STEP - 1) * bins + 1);
    fill_unit_circle(circle, length);

    std::vector<double> power(bins);
    auto store = [&](std::size_t f, Lanes sums) {
        // The sign of the sine sum does not reach the power.
        const double re = first + ((f & 1) ? -middle : middle) + sums[0];
        const double im = sums[1];
        power[f - 1] = re * re + im * im;
    };
    Lanes sums[BINS_PER_PASS];
    std::size_t f = 1;
    for (; f + BINS_PER_PASS - 1 <= bins; f += BINS_PER_PASS) {
        fold_sums<BINS_PER_PASS>(circle, length, folds, f, sums);
        for (std::size_t b = 0; b < BINS_PER_PASS; ++b) store(f + b, sums[b]);
    }
    for (; f <= bins; ++f) {
        fold_sums<1>(circle, length, folds, f, sums);
        store(f, sums[0]);
    }

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
