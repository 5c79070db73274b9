// Plans, their cache and the choice of method per length; the kernels that
// run a plan are in fourier_kernels.inc.
//
// A real series of even length n is transformed as n/2 complex values (the
// even samples as real parts, the odd ones as imaginary parts) and the bins
// unpacked afterwards; an odd length as n complex values with zero imaginary
// parts. A complex length whose factors are small runs as mixed-radix
// passes (radix 4, 2 and odd radices); any other length runs as a chirp
// convolution: X[k] = w[k]·Σ_j x[j]·w[j]·conj(w[k − j]) with w[j] =
// e^{−iπj²/n}, a cyclic convolution through a smooth length m, done with two
// forward transforms of length m. Only the bins wanted take part, so m need
// only reach n + bins − 1.
#include "kinematics/fourier.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUELVAR_FOURIER_WIDE 1
#endif

namespace quelvar {
namespace {

typedef double Complex __attribute__((vector_size(16)));  // (re, im)

constexpr double TWO_PI = 6.283185307179586;
// Odd radices up to this run as passes; a length with a larger prime factor
// runs through the convolution.
constexpr std::size_t MAX_ODD_RADIX = 31;
// Convolution lengths are products of 2, 3, 5 and 7 up to this.
constexpr std::size_t MAX_MIXED_LENGTH = 1024;

// e^{−2πi·numerator/denominator}, the numerator reduced first so that the
// angle is as exact as the division makes it.
Complex root(std::uint64_t numerator, std::uint64_t denominator) {
    const double angle = TWO_PI * static_cast<double>(numerator % denominator) / static_cast<double>(denominator);
    return Complex{std::cos(angle), -std::sin(angle)};
}

struct Pass {
    std::size_t radix;
    std::size_t stride;    // sequences interleaved (ido)
    std::size_t groups;    // butterfly groups (l1)
    std::size_t twiddles;  // offset in MixedPlan::twiddles
    std::size_t roots;     // offset in MixedPlan::roots
};

struct MixedPlan {
    std::size_t length = 0;
    std::vector<Pass> passes;
    std::vector<Complex> twiddles;
    std::vector<double> roots;
};

struct ChirpPlan {
    std::size_t series = 0;   // n
    std::size_t outputs = 0;  // bins wanted, from 0
    std::size_t length = 0;   // m
    const MixedPlan* inner = nullptr;
    std::vector<Complex> chirp;   // w[j], j < n
    std::vector<Complex> kernel;  // conj(FFT_m(b)) / m, b the wrapped conj(w)
};

struct ComplexTransform {
    std::size_t length = 0;
    const MixedPlan* mixed = nullptr;  // else `chirp`
    std::unique_ptr<ChirpPlan> chirp;
    std::size_t work = 0;  // values of working space besides the series
};

struct RealPlan {
    enum class Kind { halved, full, chirped };
    Kind kind = Kind::full;
    std::size_t length = 0;
    ComplexTransform transform;
    std::vector<Complex> unpack;  // e^{−2πik/n}, k ≤ n/2 (halved)
    std::size_t scratch = 0;      // complex values a run needs
};

// ---------------------------------------------------------------- kernels

namespace portable {
#define FOURIER_KERNEL
#define FOURIER_PAIRS 0
#include "kinematics/fourier_kernels.inc"
#undef FOURIER_PAIRS
#undef FOURIER_KERNEL
}  // namespace portable

#if QUELVAR_FOURIER_WIDE
namespace wide {
#define FOURIER_KERNEL __attribute__((target("avx2")))
#define FOURIER_PAIRS 1
#include "kinematics/fourier_kernels.inc"
#undef FOURIER_PAIRS
#undef FOURIER_KERNEL
}  // namespace wide
#endif

// ---------------------------------------------------------------- factors

// The odd primes first, largest first, then a 2, then radix-4 passes: every
// pass but the last then has an even stride (when the length is even) and
// runs two sequences per vector, the costly odd radices included. Empty when
// a prime factor exceeds MAX_ODD_RADIX.
std::vector<std::size_t> radices(std::size_t n) {
    std::vector<std::size_t> powers_of_two;
    while (n % 4 == 0) powers_of_two.push_back(4), n /= 4;
    if (n % 2 == 0) powers_of_two.push_back(2), n /= 2;
    std::vector<std::size_t> out;
    for (std::size_t p = 3; n > 1; p += 2) {
        if (p > MAX_ODD_RADIX) return {};
        while (n % p == 0) out.insert(out.begin(), p), n /= p;
    }
    out.insert(out.end(), powers_of_two.rbegin(), powers_of_two.rend());
    return out;
}

// Estimated work, in two-lane vector operations, of the passes of a length
// with these radices (loads and stores counted as one each).
double mixed_cost(std::size_t n, const std::vector<std::size_t>& factors) {
    double cost = 0.0;
    std::size_t done = 1;
    for (std::size_t p : factors) {
        done *= p;
        const bool twiddled = done < n;
        const double butterflies = static_cast<double>(n / p);
        const double multiplies = twiddled ? static_cast<double>(p - 1) * 7.0 : 0.0;
        double arithmetic;
        if (p == 2) {
            arithmetic = 2.0;
        } else if (p == 4) {
            arithmetic = 10.0;
        } else {
            const double half = static_cast<double>((p - 1) / 2);
            arithmetic = 3.0 * half + half * (6.0 * half + 6.0);
        }
        cost += butterflies * (arithmetic + multiplies + 2.0 * static_cast<double>(p));
    }
    return cost;
}

bool smooth(std::size_t n) {
    for (std::size_t p : {2, 3, 5, 7}) {
        while (n % p == 0) n /= p;
    }
    return n == 1;
}

// ---------------------------------------------------------------- caches

// Built once per length on first use and kept: the atomic pointer is the
// fast path, the once flag serialises the building.
template <class Plan, std::size_t Count>
class PlanCache {
public:
    template <class Build>
    const Plan& get(std::size_t n, Build build) {
        if (const Plan* plan = slots_[n].load(std::memory_order_acquire)) return *plan;
        std::call_once(once_[n], [&] { slots_[n].store(build(n).release(), std::memory_order_release); });
        return *slots_[n].load(std::memory_order_acquire);
    }

private:
    std::array<std::atomic<const Plan*>, Count> slots_{};
    std::array<std::once_flag, Count> once_;
};

std::unique_ptr<MixedPlan> build_mixed(std::size_t n) {
    auto plan = std::make_unique<MixedPlan>();
    plan->length = n;
    std::size_t groups = 1;
    for (std::size_t p : radices(n)) {
        const std::size_t stride = n / (groups * p);
        Pass pass{p, stride, groups, plan->twiddles.size(), plan->roots.size()};
        for (std::size_t j = 1; j < p; ++j) {
            for (std::size_t i = 0; i < stride; ++i) plan->twiddles.push_back(root(j * i * groups, n));
        }
        if (p % 2 == 1) {
            for (std::size_t t = 0; t < p; ++t)
                plan->roots.push_back(std::cos(TWO_PI * static_cast<double>(t) / static_cast<double>(p)));
            for (std::size_t t = 0; t < p; ++t)
                plan->roots.push_back(std::sin(TWO_PI * static_cast<double>(t) / static_cast<double>(p)));
        }
        plan->passes.push_back(pass);
        groups *= p;
    }
    return plan;
}

PlanCache<MixedPlan, MAX_MIXED_LENGTH + 1>& mixed_cache() {
    static PlanCache<MixedPlan, MAX_MIXED_LENGTH + 1> cache;
    return cache;
}

const MixedPlan& mixed_plan(std::size_t n) { return mixed_cache().get(n, build_mixed); }

// The smooth convolution length at least `least` whose passes cost least.
std::size_t convolution_length(std::size_t least, double* cost) {
    std::size_t best = 0;
    double best_cost = 0.0;
    for (std::size_t m = least; m <= 2 * least && m <= MAX_MIXED_LENGTH; ++m) {
        if (!smooth(m)) continue;
        const double c = mixed_cost(m, radices(m));
        if (best == 0 || c < best_cost) best = m, best_cost = c;
    }
    *cost = best_cost;
    return best;
}

// Work of a chirp convolution of n values for `outputs` bins, and its length.
double chirp_cost(std::size_t n, std::size_t outputs, std::size_t* length) {
    double inner = 0.0;
    *length = convolution_length(n + outputs - 1, &inner);
    return 2.0 * inner + 10.0 * static_cast<double>(*length) + 8.0 * static_cast<double>(n + outputs);
}

std::unique_ptr<ChirpPlan> build_chirp(std::size_t n, std::size_t outputs, std::size_t m);

// The complex transform of length n with all n bins, by whichever method
// costs less.
ComplexTransform complex_transform(std::size_t n) {
    ComplexTransform t;
    t.length = n;
    const std::vector<std::size_t> factors = radices(n);
    std::size_t m = 0;
    const double chirp = chirp_cost(n, n, &m);
    if (!factors.empty() && mixed_cost(n, factors) <= chirp) {
        t.mixed = &mixed_plan(n);
        t.work = n;
    } else {
        t.chirp = build_chirp(n, n, m);
        t.work = 2 * m;
    }
    return t;
}

std::unique_ptr<ChirpPlan> build_chirp(std::size_t n, std::size_t outputs, std::size_t m) {
    auto plan = std::make_unique<ChirpPlan>();
    plan->series = n;
    plan->outputs = outputs;
    plan->length = m;
    plan->inner = &mixed_plan(m);
    // w[j] = e^{−iπj²/n} = e^{−2πi·(j² mod 2n)/(2n)}
    for (std::size_t j = 0; j < n; ++j) plan->chirp.push_back(root(j * j % (2 * n), 2 * n));
    // b[d] = conj(w[|d|]) for the differences d = k − j that occur, from
    // −(n − 1) to outputs − 1, wrapped modulo m.
    std::vector<Complex> b(m, Complex{0.0, 0.0});
    auto conj = [](Complex z) { return Complex{z[0], -z[1]}; };
    for (std::size_t d = 0; d < outputs; ++d) b[d] = conj(plan->chirp[d]);
    for (std::size_t d = 1; d < n; ++d) b[m - d] = conj(plan->chirp[d]);
    // Its transform, conjugated and scaled by 1/m for the inverse transform
    // done as a forward one.
    std::vector<Complex> work(m);
    const Complex* spectrum = portable::run_mixed(*plan->inner, b.data(), work.data());
    for (std::size_t k = 0; k < m; ++k) plan->kernel.push_back(conj(spectrum[k]) / static_cast<double>(m));
    return plan;
}

std::unique_ptr<RealPlan> build_real(std::size_t n) {
    auto plan = std::make_unique<RealPlan>();
    plan->length = n;
    if (n % 2 == 0) {
        plan->kind = RealPlan::Kind::halved;
        plan->transform = complex_transform(n / 2);
        for (std::size_t k = 0; k <= n / 2; ++k) plan->unpack.push_back(root(k, n));
        plan->scratch = n / 2 + plan->transform.work;
        return plan;
    }
    const std::vector<std::size_t> factors = radices(n);
    std::size_t m = 0;
    const double chirp = chirp_cost(n, n / 2 + 1, &m);
    if (!factors.empty() && mixed_cost(n, factors) <= chirp) {
        plan->kind = RealPlan::Kind::full;
        plan->transform.length = n;
        plan->transform.mixed = &mixed_plan(n);
        plan->scratch = 2 * n;
    } else {
        plan->kind = RealPlan::Kind::chirped;
        plan->transform.length = n;
        plan->transform.chirp = build_chirp(n, n / 2 + 1, m);
        plan->scratch = 2 * m;
    }
    return plan;
}

const RealPlan& real_plan(std::size_t n) {
    static PlanCache<RealPlan, MAX_FOURIER_LENGTH + 1> cache;
    return cache.get(n, build_real);
}

}  // namespace

bool wide_kernels_available() noexcept {
#if QUELVAR_FOURIER_WIDE
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

FourierKernels best_fourier_kernels() noexcept {
    return wide_kernels_available() ? FourierKernels::wide : FourierKernels::portable;
}

void real_power_spectrum(std::span<const double> series, std::span<double> power, FourierKernels kernels) {
    const RealPlan& plan = real_plan(series.size());
    const auto scratch = std::make_unique_for_overwrite<Complex[]>(plan.scratch);
#if QUELVAR_FOURIER_WIDE
    if (kernels == FourierKernels::wide) {
        return wide::run_real(plan, series.data(), power.data(), power.size(), scratch.get());
    }
#endif
    (void)kernels;
    portable::run_real(plan, series.data(), power.data(), power.size(), scratch.get());
}

}  // namespace quelvar
