// The turning angle's polynomial against the C library's atan2 over the
// whole range of products, within the 4 units in the last place it must
// keep (the Python tests compare sums of angles only), and the vectorised
// kernel that cut_moves runs (AVX2 where the CPU has it) giving the very
// values of the scalar one; the selections of the robust figures, both
// kernels, against a sort.
#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "check.hpp"
#include "kinematics/moves.hpp"
#include "kinematics/selection.hpp"

using namespace quelvar;

namespace {

double ulps_apart(double got, double want) {
    if (got == want) return 0.0;
    return std::fabs(got - want) / (std::nextafter(std::fabs(want), INFINITY) - std::fabs(want));
}

}  // namespace

TEST(angles_are_within_four_units_in_the_last_place) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-300, 300);
    double worst = 0.0;
    for (int i = 0; i < 1'000'000; ++i) {
        const double cross = std::ldexp(mantissa(random), exponent(random) / (i % 3 == 0 ? 1 : 30));
        // Many near the reduction's boundaries: tan(pi/8) and 1 apart.
        const double ratio = i % 4 == 0 ? 0.41421356237309503 : (i % 4 == 1 ? 1.0 : 0.0);
        const double dot = ratio != 0.0 ? cross / ratio * (1.0 + mantissa(random) * 1e-12)
                                        : std::ldexp(mantissa(random), exponent(random) / (i % 5 == 0 ? 1 : 30));
        const double error = ulps_apart(unsigned_angle(cross, dot), std::fabs(std::atan2(cross, dot)));
        if (error > worst) worst = error;
    }
    std::printf("  worst: %.1f units in the last place\n", worst);
    CHECK(worst <= 4.0);
}

TEST(the_window_kernel_gives_the_scalar_angles) {
    // Three points a move: its turn_sum is the one angle, from the kernel.
    std::mt19937_64 random(11);
    std::normal_distribution<double> step(0.0, 20.0);
    std::vector<MousePoint> points;
    std::vector<double> expected;
    for (int move = 0; move < 300 / 3; ++move) {
        const double t = 1000.0 * move;
        const MousePoint a{step(random), step(random), t};
        const MousePoint b{a.x + step(random), a.y + step(random), t + 16.0};
        const MousePoint c{b.x + step(random), b.y + step(random), t + 32.0};
        points.insert(points.end(), {a, b, c});
        const double ux = b.x - a.x, uy = b.y - a.y, vx = c.x - b.x, vy = c.y - b.y;
        expected.push_back(unsigned_angle(ux * vy - uy * vx, ux * vx + uy * vy));
    }
    const std::vector<Move> moves = cut_moves(points);
    CHECK(moves.size() == expected.size());
    bool all_same = moves.size() == expected.size();
    for (std::size_t i = 0; all_same && i < moves.size(); ++i) all_same = moves[i].turn_sum == expected[i];
    CHECK(all_same);
}

TEST(selections_give_the_sorted_values) {
    // Sizes around the partitions' thresholds and up to a window; values
    // drawn from a few integers (ties), signed zeros and infinities, or
    // anywhere, laid out at random, sorted either way or all equal.
    std::mt19937_64 random(5);
    bool all_same = true;
    for (int round = 0; round < 20'000; ++round) {
        const std::size_t count = 1 + random() % (round % 4 == 0 ? 320 : 24);
        const int kind = static_cast<int>(random() % 6);
        std::vector<double> values(count);
        for (double& v : values) {
            const double r = std::ldexp(static_cast<double>(random() % (1 << 20)) - (1 << 19), -8);
            const double edge = std::array{0.0, -0.0, HUGE_VAL, -HUGE_VAL}[random() % 4];
            v = kind == 0 ? static_cast<double>(random() % 4) : kind == 1 ? edge : r;
        }
        if (kind == 3) std::sort(values.begin(), values.end());
        if (kind == 4) std::sort(values.rbegin(), values.rend());
        if (kind == 5) std::fill(values.begin(), values.end(), values[0]);
        const std::vector<double> given = values;
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        std::vector<double> scratch(ends_scratch(count));
        const std::size_t k = random() % count;
        const std::size_t trim = random() % ((count + 1) / 2);
        for (const SelectionKernel kernel : {SelectionKernel::Best, SelectionKernel::Portable}) {
            const auto [low, high] = trimmed_ends(values.data(), count, trim, scratch.data(), kernel);
            all_same = all_same && kth_smallest(values.data(), count, k, scratch.data(), kernel) == sorted[k] &&
                       low == sorted[trim] && high == sorted[count - 1 - trim] && values == given;
        }
    }
    CHECK(all_same);
}

int main() { return check::run_all(); }
