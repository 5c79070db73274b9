// Rhythm of the speed profile: the power spectrum of the mean-removed speeds
// over the non-constant frequency bins 1 .. L/2, reduced to the share of the
// strongest bin (purity) and the normalised Shannon entropy of the shares.
#pragma once

#include <cstddef>
#include <span>

namespace quelvar {

// Fewer speed samples than this are not analysed.
inline constexpr std::size_t MIN_SPECTRUM_SPEEDS = 8;
// The total non-constant power must be strictly above this.
inline constexpr double MIN_SPECTRAL_POWER = 1e-9;
// A bin enters the entropy only with a share strictly above this.
inline constexpr double MIN_BIN_SHARE = 1e-12;

struct SpectrumStats {
    double spectral_purity = 0.0;
    double spectral_entropy = 1.0;
};

// `mean` is the mean speed as the trajectory computed it. The transform has
// the length of the series itself: no padding, window or resampling.
SpectrumStats speed_spectrum_stats(std::span<const double> speeds, double mean);

}  // namespace quelvar
