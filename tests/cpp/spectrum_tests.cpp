// The fast transform against the direct one at every series length: the
// power of every bin, and the two spectral features within the 1e-9 they
// must keep; both compiled kernel forms bit for bit; plans first built by
// racing threads.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "kinematics/fourier.hpp"
#include "kinematics/spectrum.hpp"

using namespace quelvar;

namespace {

constexpr std::size_t FIRST = MIN_FOURIER_LENGTH;
constexpr std::size_t LAST = MAX_FOURIER_LENGTH;

// |X[f]|² for f = 1 .. L/2, term by term in long double, each angle reduced
// exactly (k·f mod L) before its cos and sin.
std::vector<long double> direct_power(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<long double> c(n), s(n), power;
    for (std::size_t m = 0; m < n; ++m) {
        const long double angle = 2.0L * 3.14159265358979323846264338327950288L * m / n;
        c[m] = std::cos(angle);
        s[m] = std::sin(angle);
    }
    for (std::size_t f = 1; f <= n / 2; ++f) {
        long double re = 0.0L, im = 0.0L;
        for (std::size_t k = 0; k < n; ++k) {
            re += x[k] * c[k * f % n];
            im -= x[k] * s[k * f % n];
        }
        power.push_back(re * re + im * im);
    }
    return power;
}

SpectrumStats direct_stats(const std::vector<long double>& power) {
    long double total = 0.0L, peak = 0.0L, entropy = 0.0L;
    for (long double p : power) total += p, peak = p > peak ? p : peak;
    if (!(total > MIN_SPECTRAL_POWER)) return {};
    for (long double p : power) {
        if (p / total > MIN_BIN_SHARE) entropy -= p / total * std::log2(p / total);
    }
    return {static_cast<double>(peak / total),
            static_cast<double>(entropy / std::log2(static_cast<long double>(power.size())))};
}

// Profiles of every kind the features see: noise, a tone over faint noise,
// sparse bursts, and a slow drift on a large offset.
std::vector<double> profile(std::mt19937_64& random, std::size_t n, int kind) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x(n);
    const double tone = static_cast<double>(random() % (n / 2 + 1));
    for (std::size_t k = 0; k < n; ++k) {
        switch (kind) {
            case 0: x[k] = 50.0 * unit(random); break;
            case 1: x[k] = 3.0 + std::cos(6.283185307179586 * tone * k / n) + 1e-5 * unit(random); break;
            case 2: x[k] = unit(random) < 0.25 ? 1e4 * unit(random) : 0.0; break;
            default: x[k] = 1e6 + 0.25 * k + 1e-3 * unit(random); break;
        }
    }
    return x;
}

std::vector<double> fast_power(const std::vector<double>& x, FourierKernels kernels) {
    std::vector<double> power(x.size() / 2);
    real_power_spectrum(x, power, kernels);
    return power;
}

}  // namespace

// First, so that the plans do not exist yet: threads that meet an unbuilt
// length at once all get the one plan, and the same spectra.
TEST(plans_built_by_racing_threads_give_the_same_spectra) {
    std::mt19937_64 random(7);
    std::vector<std::vector<double>> series;
    for (std::size_t n = FIRST; n <= LAST; ++n) series.push_back(profile(random, n, 0));
    std::vector<std::vector<std::vector<double>>> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < series.size(); ++i) {
                const std::size_t at = t % 2 ? series.size() - 1 - i : i;  // two from each end
                results[t].push_back(fast_power(series[at], FourierKernels::portable));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < series.size(); ++i) {
        const std::vector<double>& want = results[0][i];
        CHECK(results[1][series.size() - 1 - i] == want && results[2][i] == want &&
              results[3][series.size() - 1 - i] == want);
    }
}

TEST(every_length_agrees_with_the_direct_transform) {
    std::mt19937_64 random(11);
    double worst_bin = 0.0, worst_feature = 0.0;
    std::size_t worst_length = 0;
    for (std::size_t n = FIRST; n <= LAST; ++n) {
        for (int trial = 0; trial < 12; ++trial) {
            const std::vector<double> raw = profile(random, n, trial % 4);
            double mean = 0.0;
            for (double v : raw) mean += v;
            mean /= static_cast<double>(n);
            std::vector<double> centred(n);
            for (std::size_t k = 0; k < n; ++k) centred[k] = raw[k] - mean;

            const std::vector<long double> want = direct_power(centred);
            const std::vector<double> got = fast_power(centred, best_fourier_kernels());
            long double total = 0.0L;
            for (long double p : want) total += p;
            for (std::size_t f = 0; f < want.size(); ++f) {
                const double error = static_cast<double>(std::fabs(got[f] - want[f]) / total);
                if (error > worst_bin) worst_bin = error, worst_length = n;
            }
            if (n < MIN_SPECTRUM_SPEEDS) continue;
            const SpectrumStats fast = speed_spectrum_stats(raw, mean);
            const SpectrumStats direct = direct_stats(want);
            const double error = std::fmax(std::fabs(fast.spectral_purity - direct.spectral_purity),
                                           std::fabs(fast.spectral_entropy - direct.spectral_entropy));
            worst_feature = std::fmax(worst_feature, error);
            CHECK(error <= 1e-9);
        }
    }
    CHECK(worst_bin <= 1e-12);
    std::printf("largest bin error / total power %.3g (length %zu), largest feature difference %.3g\n", worst_bin,
                worst_length, worst_feature);
}

TEST(both_kernel_forms_give_identical_bits) {
    if (!wide_kernels_available()) {
        std::printf("no wide kernels on this CPU: only the portable form runs\n");
        return;
    }
    std::mt19937_64 random(13);
    for (std::size_t n = FIRST; n <= LAST; ++n) {
        for (int kind = 0; kind < 4; ++kind) {
            const std::vector<double> x = profile(random, n, kind);
            const std::vector<double> a = fast_power(x, FourierKernels::portable);
            const std::vector<double> b = fast_power(x, FourierKernels::wide);
            CHECK(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
        }
    }
}

int main() { return check::run_all(); }
