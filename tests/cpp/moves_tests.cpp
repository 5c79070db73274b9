// The turning angle's polynomial against the C library's atan2 over the
// whole range of products, within the 4 units in the last place it must
// keep (the Python tests compare sums of angles only), and the vectorised
// kernel that cut_moves runs (AVX2 where the CPU has it) giving the very
// values of the scalar one.
#include <cmath>
#include <random>
#include <vector>

#include "check.hpp"
#include "kinematics/moves.hpp"

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

int main() { return check::run_all(); }
