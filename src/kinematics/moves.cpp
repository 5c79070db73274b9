#include "kinematics/moves.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <tuple>

#include "kinematics/selection.hpp"

namespace quelvar {
namespace {

constexpr double QUARTER_PI = 0.78539816339744830962;
constexpr double HALF_PI = 1.57079632679489661923;
constexpr double PI = 3.14159265358979323846;
// Where the smaller of |cross| and |dot| is above tan(pi/8) times the larger
// (an angle above pi/8 from the nearer axis), atan(q) is taken as
// pi/4 + atan((q - 1) / (q + 1)), so that the polynomial only ever sees
// |r| <= tan(pi/8).
constexpr double TAN_EIGHTH_PI = 0.41421356237309504880;
// (atan(r) - r) / r^3 as a polynomial in r^2 over r^2 <= tan(pi/8)^2,
// fitted at Chebyshev nodes to the series: at most 3 units in the last
// place from the library's atan2 over the whole range.
constexpr std::array<double, 10> ATAN_TAIL{
    -0.3333333333333325, 0.19999999999900417,  -0.14285714266449684, 0.11111109658618898,  -0.09090853227589481,
    0.0769106643713043,  -0.06649724492638338, 0.05736964794588738,  -0.04485280069539548, 0.022775439254920524,
};

// ATAN_TAIL at s by Horner's rule, spelled out: a loop here would keep the
// caller's loop from running vectorised.
template <std::size_t I = 0>
inline double horner(double s) {
    if constexpr (I + 1 == ATAN_TAIL.size()) {
        return ATAN_TAIL[I];
    } else {
        return horner<I + 1>(s) * s + ATAN_TAIL[I];
    }
}

// |atan2(cross, dot)| without branches, so that a loop of them runs
// vectorised; NaN where both products are zero or both infinite (0/0, inf/inf)
// or one is NaN, which the library then settles.
inline double polynomial_angle(double cross, double dot) {
    const double ay = std::fabs(cross);
    const double ax = std::fabs(dot);
    const bool steep = std::isgreater(ay, ax);
    const double small = steep ? ax : ay;
    const double big = steep ? ay : ax;
    // r = q or (q - 1) / (q + 1) for q = small / big, in one division.
    const bool reduced = std::isgreater(small, TAN_EIGHTH_PI * big);
    const double r = (reduced ? small - big : small) / (reduced ? small + big : big);
    const double s = r * r;
    const double tail = horner(s);
    const double angle = (reduced ? QUARTER_PI : 0.0) + (r + r * (s * tail));
    // Each reflection as a constant plus a signed angle, so that only the
    // selected values differ and no arithmetic sits under a condition.
    const double unreflected = (steep ? HALF_PI : 0.0) + (steep ? -angle : angle);
    const bool behind = std::isless(dot, 0.0);
    return (behind ? PI : 0.0) + (behind ? -unreflected : unreflected);
}

// The library's answer where the polynomial gave none.
inline double settled(double angle, double cross, double dot) {
    return std::isnan(angle) ? std::fabs(std::atan2(cross, dot)) : angle;
}

// The polynomial over whole series, compiled once for any x86-64 and once
// for AVX2, which takes four at a time; both give the same values. Returns
// how many angles are left for the library (NaN).
[[gnu::always_inline]] inline std::size_t polynomial_angles(const double* crosses, const double* dots, double* angles,
                                                            std::size_t count) {
    std::size_t unsettled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double angle = polynomial_angle(crosses[i], dots[i]);
        angles[i] = angle;
        unsettled += std::isnan(angle) ? 1 : 0;
    }
    return unsettled;
}

std::size_t portable_angles(const double* crosses, const double* dots, double* angles, std::size_t count) {
    return polynomial_angles(crosses, dots, angles, count);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::size_t wide_angles(const double* crosses, const double* dots, double* angles,
                                                        std::size_t count) {
    return polynomial_angles(crosses, dots, angles, count);
}

bool wide_angles_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
#endif

// Population standard deviation over mean from a sum and the sum of squared
// deviations; 0.0 for a zero mean.
double variation(double sum, double squares, double count) {
    const double mean = sum / count;
    if (mean == 0.0) return 0.0;
    return std::sqrt(squares / count) / mean;
}

bool is_zero(std::span<const MousePoint> p, std::size_t segment) {
    return p[segment + 1].x == p[segment].x && p[segment + 1].y == p[segment].y;
}

// Corrects the products of the turns (see turn_angles) around zero segments,
// which the products from the segment just before get wrong: a zero segment
// turns by nothing, and the segment after a run of them turns from the last
// non-zero segment before the run, if that is of the same move.
void correct_zero_segments(std::span<const MousePoint> p, const SegmentSeries& series, std::span<double> crosses,
                           std::span<double> dots) {
    const std::size_t segments = crosses.size();
    // A zero segment has length 0, and so have a few tiny non-zero ones.
    for (std::size_t i = 0; i < segments; ++i) {
        if (series.lengths[i] != 0.0 || !is_zero(p, i)) continue;
        const std::size_t run = i;
        bool pause = series.steps[i] > MOVE_PAUSE;
        while (i < segments && series.lengths[i] == 0.0 && is_zero(p, i)) {
            crosses[i] = 0.0;
            dots[i] = 1.0;
            pause = pause || series.steps[i] > MOVE_PAUSE;
            ++i;
        }
        if (i == segments) break;
        // Segment i is the first non-zero one after the run, `run - 1` the
        // last before it.
        pause = pause || series.steps[i] > MOVE_PAUSE || (run > 0 && series.steps[run - 1] > MOVE_PAUSE);
        if (run == 0 || pause) {
            crosses[i] = 0.0;
            dots[i] = 1.0;
        } else {
            const double ax = p[run].x - p[run - 1].x;
            const double ay = p[run].y - p[run - 1].y;
            const double bx = p[i + 1].x - p[i].x;
            const double by = p[i + 1].y - p[i].y;
            crosses[i] = ax * by - ay * bx;
            dots[i] = ax * bx + ay * by;
        }
    }
}

// Per segment of the window (index i for the segment from point i to point
// i + 1): the turn onto it from the previous non-zero segment of its move,
// 0.0 where there is none or the segment is zero, so that adding these
// zeros leaves a sum of the turns unchanged; the first segment after a pause
// is left for the caller to set to 0.0. `crosses` and `dots` are scratch of
// the same length. Returns the number of pauses.
std::size_t turn_angles(std::span<const MousePoint> p, const SegmentSeries& series, std::span<double> turns,
                        std::span<double> crosses, std::span<double> dots) {
    const std::size_t segments = turns.size();
    // A step over MOVE_PAUSE is a pause whether floored or not.
    std::size_t pauses = 0;
    std::size_t zeros = 0;
    for (std::size_t i = 0; i < segments; ++i) {
        pauses += series.steps[i] > MOVE_PAUSE ? 1 : 0;
        zeros += series.lengths[i] == 0.0 ? 1 : 0;
    }
    // Usually no segment is zero, and every turn is from the segment just
    // before. A cross product 0 and a dot product 1 make the angle exactly 0.
    crosses[0] = 0.0;
    dots[0] = 1.0;
    for (std::size_t i = 1; i < segments; ++i) {
        const double ax = p[i].x - p[i - 1].x;
        const double ay = p[i].y - p[i - 1].y;
        const double bx = p[i + 1].x - p[i].x;
        const double by = p[i + 1].y - p[i].y;
        crosses[i] = ax * by - ay * bx;
        dots[i] = ax * bx + ay * by;
    }
    if (zeros > 0) correct_zero_segments(p, series, crosses, dots);
#if defined(__x86_64__)
    const auto kernel = wide_angles_available() ? wide_angles : portable_angles;
#else
    const auto kernel = portable_angles;
#endif
    const std::size_t unsettled = kernel(crosses.data(), dots.data(), turns.data(), segments);
    // The library is needed only for overflowed or coinciding products: rare.
    if (unsettled > 0) {
        for (std::size_t i = 0; i < segments; ++i) turns[i] = settled(turns[i], crosses[i], dots[i]);
    }
    return pauses;
}

// The series a move reads, for the whole window.
struct WindowSeries {
    SegmentSeries segments;
    std::span<double> turns;
    // Scratch of one move: its points' distances from its line (times its chord).
    std::span<double> distances;
    // Scratch of one move for the robust figures (robust_scratch), and an
    // order of its vectors.
    std::span<double> robust;
    std::span<std::size_t> order;
};

constexpr double NOT_FINITE = std::numeric_limits<double>::quiet_NaN();

// The exponent field plus one in its lowest place: the sign bit is set for
// an infinity or a NaN (all ones in the field) and for nothing else. Integer
// operations, so that the loops testing values run vectorised.
inline std::uint64_t carry_if_not_finite(double x) {
    constexpr std::uint64_t EXPONENT = 0x7ff0000000000000;
    constexpr std::uint64_t EXPONENT_ONE = 0x0010000000000000;
    return (std::bit_cast<std::uint64_t>(x) & EXPONENT) + EXPONENT_ONE;
}

bool finite_carries(std::uint64_t carries) { return carries >> 63 == 0; }

bool all_finite(const double* values, std::size_t count) {
    std::uint64_t carries = 0;
    for (std::size_t i = 0; i < count; ++i) carries |= carry_if_not_finite(values[i]);
    return finite_carries(carries);
}

// The pseudo-angle of a vector from the reference (see moves.hpp): ordered as
// the angle in (-pi, pi], without a trigonometric call.
double pseudo_angle(double cross, double dot) {
    const double c = std::fabs(cross);
    const double share = c == 0.0 ? 0.0 : c / (c + std::fabs(dot));
    const double sign = cross < 0.0 ? -1.0 : 1.0;
    return dot >= 0.0 ? sign * share : sign * (2.0 - share);
}

// The sign of the zero at `rank` of values sorted stably (a zero at that
// rank, in index order among the zeros): the selection leaves it open.
double zero_at(const double* values, std::size_t count, std::size_t rank) {
    std::size_t below = 0;
    for (std::size_t i = 0; i < count; ++i) below += values[i] < 0.0 ? 1 : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (values[i] != 0.0) continue;
        if (below == rank) return values[i];
        ++below;
    }
    return 0.0;
}

// Scratch of the robust figures of a move of n points: three series of a
// value per point and a selection's.
constexpr std::size_t robust_scratch(std::size_t n) { return 3 * n + ends_scratch(n); }

// line_deviation and line_extent of a move of at least two points (see
// moves.hpp): every selection is on values checked finite (or distances
// between them), or the figures are NaN.
// Selections leave their values in place, so each series is written once.
void robust_line(std::span<const MousePoint> p, const WindowSeries& all, Move& move) {
    const std::size_t n = p.size();
    const std::size_t trim = n / MOVE_TRIM_DIVISOR;
    const std::size_t half = n / 2;
    const std::size_t vectors = n - half;
    double* const a = all.robust.data();
    double* const b = a + n;
    double* const c = b + n;
    double* const scratch = c + n;
    move.line_deviation = NOT_FINITE;
    move.line_extent = NOT_FINITE;
    // a, b: the vectors.
    std::uint64_t carries = 0;
    for (std::size_t i = 0; i < vectors; ++i) {
        a[i] = p[i + half].x - p[i].x;
        b[i] = p[i + half].y - p[i].y;
        carries |= carry_if_not_finite(a[i]) | carry_if_not_finite(b[i]);
    }
    if (!finite_carries(carries)) return;
    double rx = kth_smallest(a, vectors, (vectors - 1) / 2, scratch);
    const double ry = kth_smallest(b, vectors, (vectors - 1) / 2, scratch);
    if (rx == 0.0 && ry == 0.0) rx = 1.0;
    // c: the pseudo-angle of each vector (0.0, finite, for a zero one), then
    // those of the non-zero vectors packed to the front, `order` their index.
    for (std::size_t i = 0; i < vectors; ++i) {
        c[i] = pseudo_angle(rx * b[i] - ry * a[i], rx * a[i] + ry * b[i]);
        carries |= carry_if_not_finite(c[i]);
    }
    if (!finite_carries(carries)) return;
    std::size_t* const order = all.order.data();
    std::size_t moving = 0;
    for (std::size_t i = 0; i < vectors; ++i) {
        c[moving] = c[i];
        order[moving] = i;
        moving += a[i] != 0.0 || b[i] != 0.0 ? 1 : 0;
    }
    double ux = 1.0;
    double uy = 0.0;
    if (moving > 0) {
        // The median angle, then among the vectors of that angle (usually
        // one) the one of its rank in the order of (x, y).
        const std::size_t middle = (moving - 1) / 2;
        const double median = kth_smallest(c, moving, middle, scratch);
        std::size_t below = 0;
        std::size_t ties = 0;
        for (std::size_t j = 0; j < moving; ++j) {
            below += c[j] < median ? 1 : 0;
            order[ties] = order[j];
            ties += c[j] == median ? 1 : 0;
        }
        if (ties > 1) {
            std::nth_element(order, order + (middle - below), order + ties, [&](std::size_t i, std::size_t j) {
                if (a[i] != a[j]) return a[i] < a[j];
                return b[i] < b[j];
            });
        }
        const std::size_t m = order[middle - below];
        const double wx = a[m];
        const double wy = b[m];
        const double length = std::sqrt(wx * wx + wy * wy);
        if (!std::isfinite(length) || length == 0.0) return;
        ux = wx / length;
        uy = wy / length;
    }
    // a: offsets across the direction, c: positions along it.
    const MousePoint& first = p.front();
    for (std::size_t i = 0; i < n; ++i) {
        const double ex = p[i].x - first.x;
        const double ey = p[i].y - first.y;
        a[i] = ux * ey - uy * ex;
        c[i] = ux * ex + uy * ey;
        carries |= carry_if_not_finite(a[i]) | carry_if_not_finite(c[i]);
    }
    if (!finite_carries(carries)) return;
    const double offset = kth_smallest(a, n, (n - 1) / 2, scratch);
    double low;
    double high;
    if (trim == 0) {
        double farthest = 0.0;
        low = c[0];
        high = c[0];
        for (std::size_t i = 0; i < n; ++i) {
            const double d = std::fabs(a[i] - offset);
            farthest = d > farthest ? d : farthest;
            low = c[i] < low ? c[i] : low;
            high = c[i] > high ? c[i] : high;
        }
        move.line_deviation = farthest;
    } else {
        for (std::size_t i = 0; i < n; ++i) b[i] = std::fabs(a[i] - offset);
        move.line_deviation = kth_smallest(b, n, n - 1 - trim, scratch);
        std::tie(low, high) = trimmed_ends(c, n, trim, scratch);
    }
    // Only a span between two zeros has a sign left open by the selection.
    if (low == 0.0 && high == 0.0) {
        low = zero_at(c, n, trim);
        high = zero_at(c, n, n - 1 - trim);
    }
    move.line_extent = high - low;
}

// step_spread of a move (see moves.hpp) from its segment lengths: the
// lengths dropped are the first and the last `trim` in the order of (length,
// index), found by selection; the kept ones are summed in index order (a
// dropped one adds 0.0, which leaves a sum of lengths as it is). Without a
// trim it is step_cv, given. A sum of lengths, which are not negative, is
// finite only if they all are.
double step_spread(const double* lengths, std::size_t count, std::size_t trim, double path_length, double step_cv,
                   double* scratch) {
    if (!std::isfinite(path_length) && !all_finite(lengths, count)) return NOT_FINITE;
    if (trim == 0) return step_cv;
    const auto [low, high] = trimmed_ends(lengths, count, trim, scratch);
    std::size_t below = 0;
    std::size_t above = 0;
    std::size_t at_low = 0;
    std::size_t at_high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        below += lengths[i] < low ? 1 : 0;
        above += lengths[i] > high ? 1 : 0;
        at_low += lengths[i] == low ? 1 : 0;
        at_high += lengths[i] == high ? 1 : 0;
    }
    // Of the lengths equal to `low`, the first trim - below are dropped; of
    // those equal to `high` and not dropped already, the last trim - above.
    const std::size_t first_low_kept = trim - below;
    const std::size_t low_kept_end = low == high ? at_low - (trim - above) : at_low;
    const std::size_t high_kept_end = at_high - (trim - above);
    // kept: a kept length, 0.0 for a dropped one; flags: 1.0 for a kept one.
    double* const kept = scratch;
    double* const flags = scratch + count;
    std::size_t seen_low = 0;
    std::size_t seen_high = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = lengths[i];
        const bool is_low = v == low;
        const bool is_high = v == high && !is_low;
        const bool keep = (v > low && v < high) || (is_low && seen_low >= first_low_kept && seen_low < low_kept_end) ||
                          (is_high && seen_high < high_kept_end);
        seen_low += is_low ? 1 : 0;
        seen_high += is_high ? 1 : 0;
        kept[i] = keep ? v : 0.0;
        flags[i] = keep ? 1.0 : 0.0;
        sum += kept[i];
    }
    const double n = static_cast<double>(count - 2 * trim);
    const double mean = sum / n;
    double squares = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double deviation = lengths[i] - mean;
        squares += flags[i] != 0.0 ? deviation * deviation : 0.0;
    }
    return variation(sum, squares, n);
}

// Every sum runs in index order; the sums of one pass share its loop, so
// that their addition chains overlap.
Move move_figures(std::span<const MousePoint> p, std::size_t first_segment, const WindowSeries& all) {
    Move move;
    move.points = p.size();
    const std::size_t count = p.size() - 1;
    if (count == 0) return move;
    const double* const lengths = all.segments.lengths.data() + first_segment;
    const double* const steps = all.segments.steps.data() + first_segment;
    const double* const speeds = all.segments.speeds.data() + first_segment;
    const double* const turns = all.turns.data() + first_segment;
    double* const distances = all.distances.data();
    const MousePoint& a = p.front();
    const MousePoint& b = p.back();

    move.duration = b.t - a.t;
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double chord = std::sqrt(dx * dx + dy * dy);
    move.chord = chord;
    // distances[i] is that of point i + 1: the first point's is 0 (or NaN
    // from overflowed products), which never raises the largest. Off the
    // line they are the products |cross|, each distance times the chord.
    if (chord != 0.0) {
        for (std::size_t i = 0; i < count; ++i) {
            distances[i] = std::fabs(dx * (p[i + 1].y - a.y) - dy * (p[i + 1].x - a.x));
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const double ex = p[i + 1].x - a.x;
            const double ey = p[i + 1].y - a.y;
            distances[i] = std::sqrt(ex * ex + ey * ey);
        }
    }

    double length_sum = 0.0;
    double speed_sum = 0.0;
    double step_sum = 0.0;
    double turn_sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        length_sum += lengths[i];
        speed_sum += speeds[i];
        step_sum += steps[i];
        turn_sum += turns[i];
    }
    move.path_length = length_sum;
    move.turn_sum = turn_sum;

    const double n = static_cast<double>(count);
    const double length_mean = length_sum / n;
    const double speed_mean = speed_sum / n;
    const double step_mean = step_sum / n;
    double length_squares = 0.0;
    double speed_squares = 0.0;
    double step_squares = 0.0;
    // The first of equal peaks; a NaN is never the largest. Selects rather
    // than branches: which segment is faster is as good as random.
    std::size_t fastest = 0;
    double peak = speeds[0];
    double farthest = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double length_deviation = lengths[i] - length_mean;
        const double speed_deviation = speeds[i] - speed_mean;
        const double step_deviation = steps[i] - step_mean;
        length_squares += length_deviation * length_deviation;
        speed_squares += speed_deviation * speed_deviation;
        step_squares += step_deviation * step_deviation;
        const bool faster = speeds[i] > peak;
        fastest = faster ? i : fastest;
        peak = faster ? speeds[i] : peak;
        farthest = distances[i] > farthest ? distances[i] : farthest;
    }
    // Dividing by a finite chord keeps the order of the products (rounding
    // is monotonic), so the largest distance is the largest product divided
    // once; an infinite chord takes each quotient on its own.
    if (chord != 0.0 && std::isfinite(chord)) {
        farthest /= chord;
    } else if (chord != 0.0) {
        farthest = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double d = distances[i] / chord;
            if (d > farthest) farthest = d;
        }
    }
    move.max_deviation = farthest;
    move.step_cv = variation(length_sum, length_squares, n);
    move.speed_cv = variation(speed_sum, speed_squares, n);
    move.dt_cv = variation(step_sum, step_squares, n);
    if (move.duration != 0.0) move.peak_speed_at = (p[fastest].t - a.t) / move.duration;
    robust_line(p, all, move);
    move.step_spread =
        step_spread(lengths, count, p.size() / MOVE_TRIM_DIVISOR, move.path_length, move.step_cv, all.robust.data());
    return move;
}

}  // namespace

double unsigned_angle(double cross, double dot) { return settled(polynomial_angle(cross, dot), cross, dot); }

std::vector<Move> cut_moves(std::span<const MousePoint> p, const SegmentSeries& series, Move* whole) {
    std::vector<Move> moves;
    const std::size_t n = p.size();
    if (whole != nullptr) *whole = Move{};
    if (n == 0) return moves;
    if (n == 1) {
        moves.resize(1);
        moves[0].points = 1;
        if (whole != nullptr) whole->points = 1;
        return moves;
    }

    // One block: the turns and two series of scratch, and the segment
    // series themselves where the caller has none.
    const std::size_t segments = n - 1;
    const bool given = series.lengths.size() == segments;
    const std::size_t parts = given ? 3 : 6;
    const std::unique_ptr<double[]> work =
        std::make_unique_for_overwrite<double[]>(parts * segments + robust_scratch(n));
    const std::unique_ptr<std::size_t[]> order = std::make_unique_for_overwrite<std::size_t[]>(n);
    const auto part = [&](std::size_t k) { return std::span<double>(work.get() + k * segments, segments); };
    WindowSeries all{series, part(0), part(2), std::span<double>(work.get() + parts * segments, robust_scratch(n)),
                     std::span<std::size_t>(order.get(), n)};
    if (!given) {
        fill_segment_series(p, part(3), part(4), part(5));
        all.segments = {part(3), part(4), part(5)};
    }
    moves.resize(turn_angles(p, all.segments, part(0), part(1), part(2)) + 1);

    std::size_t first = 0;
    std::size_t m = 0;
    for (std::size_t i = 1; i <= n; ++i) {
        if (i == n || all.segments.steps[i - 1] > MOVE_PAUSE) {
            moves[m++] = move_figures(p.subspan(first, i - first), first, all);
            first = i;
            // The next move's first segment turns from nothing.
            if (i < segments) all.turns[i] = 0.0;
        }
    }
    if (whole != nullptr && moves.size() == 1) {
        *whole = moves[0];
    } else if (whole != nullptr) {
        *whole = move_figures(p, 0, all);
        whole->turn_sum = 0.0;
        for (const Move& move : moves) whole->turn_sum += move.turn_sum;
    }
    return moves;
}

}  // namespace quelvar
