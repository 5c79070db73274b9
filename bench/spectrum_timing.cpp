// Times the spectral step alone (centring, transform, purity and entropy) at
// every series length the features analyse, for bench/run_benchmarks.py.
// Prints one line per length: the length and the median, then the best,
// nanoseconds per call over the rounds. Built only with
// -DQUELVAR_BUILD_BENCHMARKS=ON; never installed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kinematics/fourier.hpp"
#include "kinematics/spectrum.hpp"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    const double budget = argc > 2 ? std::atof(argv[2]) : 0.004;  // seconds per length and round
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> speed(0.0, 50.0);
    std::printf("# kernels %s\n",
                quelvar::best_fourier_kernels() == quelvar::FourierKernels::wide ? "wide" : "portable");
    volatile double sink = 0.0;
    for (std::size_t n = quelvar::MIN_SPECTRUM_SPEEDS; n <= quelvar::MAX_FOURIER_LENGTH; ++n) {
        std::vector<double> speeds(n);
        double mean = 0.0;
        for (double& v : speeds) mean += (v = speed(random));
        mean /= static_cast<double>(n);
        sink = sink + quelvar::speed_spectrum_stats(speeds, mean).spectral_purity;  // builds the plan
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        std::size_t calls = 0;
        while (std::chrono::duration<double>(Clock::now() - start).count() < budget / 4) {
            sink = sink + quelvar::speed_spectrum_stats(speeds, mean).spectral_purity;
            ++calls;
        }
        calls = std::max<std::size_t>(4 * calls, 1);
        std::vector<double> per_call;
        for (int r = 0; r < rounds; ++r) {
            const auto t0 = Clock::now();
            for (std::size_t c = 0; c < calls; ++c)
                sink = sink + quelvar::speed_spectrum_stats(speeds, mean).spectral_purity;
            per_call.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / calls);
        }
        std::sort(per_call.begin(), per_call.end());
        std::printf("%zu %.1f %.1f\n", n, per_call[per_call.size() / 2], per_call[0]);
    }
    return sink == 12345.0;
}
