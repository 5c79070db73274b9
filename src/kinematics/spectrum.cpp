// The power spectrum is that of the direct transform of the centred speeds,
// bin by bin, computed by a fast transform (kinematics/fourier.hpp). Its
// reduction keeps four running sums side by side, so that the additions do
// not wait on one another and the AVX2 form takes four bins per
// instruction, and takes its base-2 logarithms from a series (below) that
// runs in the same vectors. The results agree with a term-by-term evaluation in index
// order to within a few 1e-15, far inside the 1e-9 the features must keep.
#include "kinematics/spectrum.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>

#include "kinematics/fourier.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUELVAR_SPECTRUM_WIDE 1
#endif

namespace quelvar {
namespace {

// Four bins side by side in one vector (two halves on a CPU without AVX2).
typedef double Quad __attribute__((vector_size(32)));
typedef std::int64_t QuadBits __attribute__((vector_size(32)));
constexpr std::size_t LANES = 4;

// The helpers take and give their vectors by reference: passed by value,
// a 32-byte vector has a calling convention of its own, which g++ notes on
// every target without AVX.

// Lane by lane, `yes` where the comparison result `mask` holds, else `no`.
template <class Mask>
[[gnu::always_inline]] inline void select(const Mask& mask, const Quad& yes, Quad& no) {
    const QuadBits bits = __builtin_bit_cast(QuadBits, mask);
    no = __builtin_bit_cast(Quad,
                            (bits & __builtin_bit_cast(QuadBits, yes)) | (~bits & __builtin_bit_cast(QuadBits, no)));
}

// log2(x) for normal positive x: x = 2^e·m with m in [√½, √2], and
// ln m = 2·atanh(s) = 2s·(1 + s²/3 + s⁴/5 + ...), s = (m − 1)/(m + 1),
// |s| ≤ 0.172; eleven terms leave the series' tail below 2^−53. Within a
// few units in the last place of the library's log2. Other lanes give
// values of no meaning, which the caller discards.
[[gnu::always_inline]] inline void series_log2(const Quad& x, Quad& out) {
    constexpr std::int64_t MANTISSA = (std::int64_t{1} << 52) - 1;
    constexpr std::int64_t ONE = std::int64_t{1023} << 52;
    constexpr double TWO_52 = 4503599627370496.0;
    const QuadBits bits = __builtin_bit_cast(QuadBits, x);
    // The biased exponent as a double, exactly: placed in the low bits of
    // 2^52 and that subtracted.
    const QuadBits biased = (bits >> 52) & 0x7ff;
    Quad exponent = __builtin_bit_cast(Quad, biased | std::bit_cast<std::int64_t>(TWO_52)) - (TWO_52 + 1023.0);
    Quad m = __builtin_bit_cast(Quad, (bits & MANTISSA) | ONE);
    const auto high = m > 1.4142135623730951;
    select(high, m * 0.5, m);
    select(high, exponent + 1.0, exponent);
    const Quad s = (m - 1.0) / (m + 1.0);
    const Quad z = s * s;
    Quad sum = z * (1.0 / 21.0) + 1.0 / 19.0;
    sum = sum * z + 1.0 / 17.0;
    sum = sum * z + 1.0 / 15.0;
    sum = sum * z + 1.0 / 13.0;
    sum = sum * z + 1.0 / 11.0;
    sum = sum * z + 1.0 / 9.0;
    sum = sum * z + 1.0 / 7.0;
    sum = sum * z + 1.0 / 5.0;
    sum = sum * z + 1.0 / 3.0;
    sum = sum * z + 1.0;
    constexpr double TWO_OVER_LN2 = 2.8853900817779268;  // 2 / ln 2
    out = exponent + s * sum * TWO_OVER_LN2;
}

// Bins f .. f + 3, zeros past the end: a zero bin adds nothing to the
// total, the peak or the entropy.
[[gnu::always_inline]] inline void bins_at(const double* power, std::size_t f, std::size_t bins, Quad& q) {
    q = Quad{};
    for (std::size_t j = 0; j < LANES && f + j < bins; ++j) q[j] = power[f + j];
}

[[gnu::always_inline]] inline SpectrumStats reduce_spectrum(const double* power, std::size_t bins) {
    Quad totals{};
    Quad peaks{};
    for (std::size_t f = 0; f < bins; f += LANES) {
        Quad p;
        bins_at(power, f, bins, p);
        totals += p;
        select(p > peaks, p, peaks);
    }
    const double total = (totals[0] + totals[1]) + (totals[2] + totals[3]);
    if (!(total > MIN_SPECTRAL_POWER)) return {};  // a NaN total is no usable power either
    double peak = 0.0;
    for (std::size_t j = 0; j < LANES; ++j) peak = peaks[j] > peak ? peaks[j] : peak;

    // Shares at or below the cut (NaN included) are skipped, whatever the
    // series made of their bits.
    Quad entropies{};
    for (std::size_t f = 0; f < bins; f += LANES) {
        Quad share, log;
        bins_at(power, f, bins, share);
        share /= total;
        series_log2(share, log);
        Quad term{};
        select(share > MIN_BIN_SHARE, share * log, term);
        entropies -= term;
    }
    const double entropy = (entropies[0] + entropies[1]) + (entropies[2] + entropies[3]);
    return {peak / total, entropy / std::log2(static_cast<double>(bins))};
}

SpectrumStats reduce_portable(const double* power, std::size_t bins) { return reduce_spectrum(power, bins); }

#if QUELVAR_SPECTRUM_WIDE
__attribute__((target("avx2"))) SpectrumStats reduce_wide(const double* power, std::size_t bins) {
    return reduce_spectrum(power, bins);
}
#endif

}  // namespace

SpectrumStats speed_spectrum_stats(std::span<const double> speeds, double mean) {
    const std::size_t length = speeds.size();
    if (length < MIN_SPECTRUM_SPEEDS) return {};
    const std::size_t bins = length / 2;

    // One block: the centred series, then the spectrum.
    const auto block = std::make_unique_for_overwrite<double[]>(length + bins);
    const std::span<double> centred(block.get(), length);
    const std::span<double> power(block.get() + length, bins);
    for (std::size_t k = 0; k < length; ++k) centred[k] = speeds[k] - mean;
    static const FourierKernels kernels = best_fourier_kernels();
    real_power_spectrum(centred, power, kernels);
#if QUELVAR_SPECTRUM_WIDE
    if (kernels == FourierKernels::wide) return reduce_wide(power.data(), bins);
#endif
    return reduce_portable(power.data(), bins);
}

}  // namespace quelvar
