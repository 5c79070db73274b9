// The power spectrum is that of the direct transform of the centred speeds,
// bin by bin, but computed without a cos and a sin per term: from one table
// of the unit circle, with the samples folded in pairs, and for lengths with
// a suitable factor in two stages (shorter transforms, then twiddle
// factors). The results agree with a term-by-term evaluation to within a few
// 1e-15, far inside the 1e-9 the features must keep.
#include "kinematics/spectrum.hpp"

#include <cmath>
#include <memory>
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

// A per-call working array at its final size, left uninitialised: every
// entry is written before it is read.
template <class T>
class Scratch {
public:
    explicit Scratch(std::size_t size) : data_(std::make_unique_for_overwrite<T[]>(size)), size_(size) {}
    operator std::span<T>() const { return {data_.get(), size_}; }
    operator std::span<const T>() const { return {data_.get(), size_}; }
    T& operator[](std::size_t i) const { return data_[i]; }
    T* data() const { return data_.get(); }
    T* begin() const { return data_.get(); }
    T* end() const { return data_.get() + size_; }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_;
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
// 2L. Every rotation adds a rounding of about 2^-53; the chains are at most
// FINE and L / (2·FINE) + 1 rotations long, which for the lengths analysed
// (up to 299) keeps each entry within 1e-14 of the true value. The angles
// above π mirror those below.
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
// bounds (index < L, offset at most (TERMS_PER_STEP - 1)·f).
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

// A real series prepared for its transform. Samples m and n - m meet every
// bin g at angles ±2πmg/n: their cosine terms share the sum of the two, their
// sine terms the difference, which halves the work. Sample 0 sits at angle 0;
// the middle sample of an even length at angle πg, where the cosine is ±1 and
// the sine vanishes.
struct FoldedSeries {
    double first = 0.0;
    double middle = 0.0;  // 0 for an odd length
    std::vector<Pair> folds;

    // `sample(m)` gives sample m of a series of `length` samples.
    template <class Sample>
    void assign(std::size_t length, Sample sample) {
        const std::size_t count = (length - 1) / 2;
        folds.resize(count);
        for (std::size_t m = 1; m <= count; ++m) {
            const double early = sample(m);
            const double late = sample(length - m);
            folds[m - 1].v = Lanes{early + late, early - late};
        }
        first = sample(0);
        middle = length % 2 == 0 ? sample(length / 2) : 0.0;
    }
};

// X[g] = Σ x[m] e^{-2πimg/n} as (Re, Im) for g = first_bin .. first_bin +
// out.size() - 1, from the folded series and the periodic table of length n.
void real_dft_bins(const FoldedSeries& x, std::span<const Pair> circle, std::size_t length, std::size_t first_bin,
                   std::span<Lanes> out) {
    auto store = [&](std::size_t g, Lanes sums) {
        out[g - first_bin] = Lanes{x.first + ((g & 1) ? -x.middle : x.middle) + sums[0], -sums[1]};
    };
    Lanes sums[BINS_PER_PASS];
    const std::size_t end = first_bin + out.size();
    std::size_t g = first_bin;
    for (; g + BINS_PER_PASS <= end; g += BINS_PER_PASS) {
        fold_sums<BINS_PER_PASS>(circle, length, x.folds, g, sums);
        for (std::size_t b = 0; b < BINS_PER_PASS; ++b) store(g + b, sums[b]);
    }
    for (; g < end; ++g) {
        fold_sums<1>(circle, length, x.folds, g, sums);
        store(g, sums[0]);
    }
}

// Table entries the folded sums may read for `bins` bins of a length-n series.
std::size_t periodic_table_size(std::size_t length, std::size_t bins) {
    return length + (TERMS_PER_STEP - 1) * bins + 1;
}

// Work of the folded transform, in multiply-adds of two lanes.
std::size_t direct_cost(std::size_t length) { return (length / 2) * ((length - 1) / 2); }

// A length L = p·q is transformed as p interleaved series of q samples each,
// whose spectra are then combined with the twiddle factors e^{-2πirf/L}:
// about p·(q/2)² + 3·(L/2)·p multiply-adds instead of (L/2)². Returns the p
// that costs least, or 1 when no split pays (a prime length, or one whose
// only splits are lopsided).
std::size_t cheapest_split(std::size_t length) {
    std::size_t best = 1;
    std::size_t best_cost = direct_cost(length) * 3 / 4;
    auto consider = [&](std::size_t p) {
        const std::size_t q = length / p;
        const std::size_t cost = p * (q / 2 + 1) * ((q - 1) / 2 + 1) + 3 * (length / 2) * p;
        if (cost < best_cost) {
            best = p;
            best_cost = cost;
        }
    };
    for (std::size_t d = 2; d * d <= length; ++d) {
        if (length % d != 0) continue;
        consider(d);
        consider(length / d);
    }
    return best;
}

// |X[f]|² for f = 1 .. power.size() of the centred series, by the folded
// transform of the whole series.
void power_direct(std::span<const double> centred, std::span<double> power) {
    const std::size_t length = centred.size();
    const Scratch<Pair> circle(periodic_table_size(length, power.size()));
    fill_unit_circle(circle, length);
    FoldedSeries series;
    series.assign(length, [&](std::size_t m) { return centred[m]; });
    const Scratch<Lanes> bins(power.size());
    real_dft_bins(series, circle, length, 1, bins);
    for (std::size_t f = 0; f < bins.size(); ++f) power[f] = bins[f][0] * bins[f][0] + bins[f][1] * bins[f][1];
}

// The same through the split into `split` series of L / split samples:
// X[f] = Σ_r e^{-2πirf/L} Y_r[f mod q], with Y_r the transform of samples
// r, r + p, r + 2p, ...
void power_split(std::span<const double> centred, std::size_t split, std::span<double> power) {
    const std::size_t length = centred.size();
    const std::size_t p = split;
    const std::size_t q = length / p;
    const std::size_t sub_bins = q / 2 + 1;  // the rest are conjugates

    const Scratch<Pair> circle(length);
    fill_unit_circle(circle, length);
    // The table of the q-sample transforms is every p-th entry of the L table.
    const Scratch<Pair> sub_circle(periodic_table_size(q, sub_bins));
    for (std::size_t m = 0; m < sub_circle.size(); ++m) sub_circle[m] = circle[(m % q) * p];

    // Y_r[g] for all g = 0 .. q-1 at row r, with each value also stored with
    // its lanes swapped, as the twiddle product below wants it.
    struct Coefficient {
        Lanes y;
        Lanes swapped;
    };
    const Scratch<Coefficient> spectra(length);
    const Scratch<Lanes> row(sub_bins);
    FoldedSeries series;
    for (std::size_t r = 0; r < p; ++r) {
        series.assign(q, [&](std::size_t m) { return centred[r + m * p]; });
        real_dft_bins(series, sub_circle, q, 0, row);
        Coefficient* out = spectra.data() + r * q;
        for (std::size_t g = 0; g < q; ++g) {
            const Lanes y = g < sub_bins ? row[g] : Lanes{row[q - g][0], -row[q - g][1]};
            out[g] = {y, Lanes{y[1], y[0]}};
        }
    }

    // (a + ib)·e^{-iθ} = (a·cos θ + b·sin θ) + i(b·cos θ - a·sin θ): the
    // value times (cos, cos) plus the swapped value times (sin, -sin).
    struct Twiddle {
        Lanes cos_cos;
        Lanes sin_minus_sin;
    };
    const Scratch<Twiddle> twiddles(length);
    for (std::size_t m = 0; m < length; ++m) {
        const double c = circle[m].v[0];
        const double sn = circle[m].v[1];
        twiddles[m] = {Lanes{c, c}, Lanes{sn, -sn}};
    }

    // Bin f reads Y_r[f mod q] at angle r·f mod L; even and odd r accumulate
    // apart so that their additions do not wait on each other.
    std::size_t g = 0;
    for (std::size_t f = 1; f <= power.size(); ++f) {
        if (++g == q) g = 0;
        const std::size_t stride = (2 * f) % length;
        std::size_t even = 0;  // angle of r, for even r
        std::size_t odd = f;   // angle of r + 1
        Lanes acc_even{0.0, 0.0};
        Lanes acc_odd{0.0, 0.0};
        std::size_t r = 0;
        for (; r + 2 <= p; r += 2) {
            const Coefficient& a = spectra[r * q + g];
            const Coefficient& b = spectra[(r + 1) * q + g];
            acc_even += a.y * twiddles[even].cos_cos + a.swapped * twiddles[even].sin_minus_sin;
            acc_odd += b.y * twiddles[odd].cos_cos + b.swapped * twiddles[odd].sin_minus_sin;
            even += stride;
            odd += stride;
            if (even >= length) even -= length;
            if (odd >= length) odd -= length;
        }
        if (r < p) {
            const Coefficient& a = spectra[r * q + g];
            acc_even += a.y * twiddles[even].cos_cos + a.swapped * twiddles[even].sin_minus_sin;
        }
        const Lanes x = acc_even + acc_odd;
        power[f - 1] = x[0] * x[0] + x[1] * x[1];
    }
}

}  // namespace

SpectrumStats speed_spectrum_stats(std::span<const double> speeds, double mean) {
    const std::size_t length = speeds.size();
    if (length < MIN_SPECTRUM_SPEEDS) return {};
    const std::size_t bins = length / 2;

    const Scratch<double> centred(length);
    for (std::size_t k = 0; k < length; ++k) centred[k] = speeds[k] - mean;
    const Scratch<double> power(bins);
    if (const std::size_t split = cheapest_split(length); split > 1) {
        power_split(centred, split, power);
    } else {
        power_direct(centred, power);
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
