// The power spectrum of a real series by a fast transform: mixed-radix
// passes for lengths whose factors are small, a chirp convolution through a
// longer smooth length for the rest, chosen per length by a cost estimate.
// Plans (factors, twiddle tables, chirp kernels) are built the first time a
// length is seen and kept for the life of the process; building is
// thread-safe and reading a built plan takes no lock.
#pragma once

#include <cstddef>
#include <span>

namespace quelvar {

// Series lengths that have a plan.
inline constexpr std::size_t MIN_FOURIER_LENGTH = 2;
inline constexpr std::size_t MAX_FOURIER_LENGTH = 299;

// The compiled forms of the transform's kernels. Both do the same IEEE
// operations in the same order (no contraction to fused multiply-adds), so
// their results are identical; the wide form runs only on a CPU that has
// the instructions, as the caller checks with `wide_kernels_available`.
enum class FourierKernels { portable, wide };

bool wide_kernels_available() noexcept;
// The wide form where the CPU has it, else the portable one.
FourierKernels best_fourier_kernels() noexcept;

// power[f - 1] = |X[f]|² for f = 1 .. power.size(), X the discrete Fourier
// transform of `series`, whose length lies in [MIN_FOURIER_LENGTH,
// MAX_FOURIER_LENGTH]; power.size() is at most length / 2.
void real_power_spectrum(std::span<const double> series, std::span<double> power, FourierKernels kernels);

}  // namespace quelvar
