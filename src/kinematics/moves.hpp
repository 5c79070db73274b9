// The pointer path cut into moves at its pauses, and a fixed set of figures
// per move, so that a rule can judge each stroke on its own (a straight line
// per move, an even rhythm per move) rather than the path as a whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kinematics/telemetry_record.hpp"
#include "kinematics/trajectory.hpp"

namespace quelvar {

// A time step strictly longer than this, in the client's time unit, ends a move.
inline constexpr double MOVE_PAUSE = 150.0;

// The one list of the figures of a move: X(name, type, doc), in result order.
// The struct, the key strings, the result writer and the count derive from
// it. A move of one point has points 1 and every other figure 0.0.
#define QUELVAR_MOVE_FIGURES(X)                                                                              \
    X(points, std::uint64_t, "points in the move")                                                           \
    X(duration, double, "t of the last point minus t of the first")                                          \
    X(path_length, double, "sum of the segment lengths")                                                     \
    X(chord, double, "distance from the first point to the last")                                            \
    X(max_deviation, double,                                                                                 \
      "largest distance of a point from the line through the first and last points (from the first point "   \
      "when they coincide)")                                                                                 \
    X(step_cv, double, "population std over mean of the segment lengths; 0.0 for a zero mean")               \
    X(speed_cv, double, "the same for the segment speeds, each time step floored at MIN_TIME_STEP")          \
    X(dt_cv, double, "the same for the floored time steps")                                                  \
    X(peak_speed_at, double,                                                                                 \
      "start of the fastest segment after the first point, over the duration; 0.0 "                          \
      "for a zero duration")                                                                                 \
    X(turn_sum, double, "sum of the absolute turning angles between successive non-zero segments, radians")  \
    X(line_deviation, double,                                                                                \
      "distance from the move's robust line (see robust_line below) of the farthest point left after "       \
      "dropping the MOVE_TRIM farthest; NaN where a value on the way is not finite")                         \
    X(line_extent, double,                                                                                   \
      "span of the points' positions along the robust line after dropping MOVE_TRIM at each end of their "   \
      "stable order (which settles the sign of a zero span); NaN as above")                                  \
    X(step_spread, double,                                                                                   \
      "step_cv of the segment lengths left after dropping the first and the last MOVE_TRIM in the order of " \
      "(length, index), summed in index order; NaN where a length is not finite")

struct Move {
#define QUELVAR_MOVE_FIELD(name, type, doc) type name = 0;
    QUELVAR_MOVE_FIGURES(QUELVAR_MOVE_FIELD)
#undef QUELVAR_MOVE_FIELD
};

#define QUELVAR_MOVE_NAME(name, type, doc) #name,
inline constexpr std::array MOVE_FIGURE_NAMES{QUELVAR_MOVE_FIGURES(QUELVAR_MOVE_NAME)};
#undef QUELVAR_MOVE_NAME
inline constexpr std::size_t MOVE_FIGURE_COUNT = MOVE_FIGURE_NAMES.size();
static_assert(MOVE_FIGURE_COUNT == 13);

// The robust figures drop MOVE_TRIM = points / MOVE_TRIM_DIVISOR points (the
// farthest from the line, or the extremes along it), so that a few stray
// points cannot hide a line. The robust line of a move of n >= 2 points: its
// direction is that of the vector p[i + n/2] - p[i] (i < n - n/2, zero vectors
// left out) of lower-median angle from the reference direction (the lower
// medians of those vectors' x and y, or (1, 0) where both are 0), ties broken
// by x then y; its offset is the lower median of the points' offsets across
// that direction. Angles are compared by a pseudo-angle: with c and d the
// cross and dot products with the reference, sign(c) * |c| / (|c| + |d|) for
// d >= 0 and sign(c) * (2 - |c| / (|c| + |d|)) for d < 0 (2 for c = 0).
inline constexpr std::size_t MOVE_TRIM_DIVISOR = 10;

// The moves of a window as ordered_window returns it, in time order: none for
// an empty window, at most one per point. `series` are the window's segment
// series when the caller has them (window_kinematics), or empty. `whole`,
// when given, gets the figures of the whole window taken as one move (its
// turn_sum the sum of the moves'), so that a line cut into short moves is
// still seen as one.
std::vector<Move> cut_moves(std::span<const MousePoint> window, const SegmentSeries& series = {},
                            Move* whole = nullptr);

// |atan2(cross, dot)|, the angle between two vectors from their cross and dot
// products, within 4 units in the last place of the C library's atan2 (exact
// where either product is zero, infinite or NaN, which take that route).
// A polynomial, vectorised, rather than the library call, which would cost
// more than all the rest of the moves.
double unsigned_angle(double cross, double dot);

}  // namespace quelvar
