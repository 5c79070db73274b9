// Geometry and timing of the pointer's path: the points ordered by time, the
// earliest MAX_TRAJECTORY_POINTS of them, their segment series and the
// statistics drawn from those series.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "kinematics/telemetry_record.hpp"

namespace quelvar {

inline constexpr std::size_t MAX_TRAJECTORY_POINTS = 300;
// Time differences below this (equal time stamps included) count as this.
inline constexpr double MIN_TIME_STEP = 0.1;
// A path must be strictly longer than this for its straightness to be measured.
inline constexpr double MIN_PATH_LENGTH = 0.0001;

struct TrajectoryStats {
    double total_distance = 0.0;
    double straightness = 1.0;
    double avg_velocity = 0.0;
    double max_velocity = 0.0;
    double velocity_var = 0.0;
    double avg_acceleration = 0.0;
    double acceleration_var = 0.0;
    double avg_jerk = 0.0;
    double dt_var = 0.0;
};

// The series of a window, each at index i for the segment from point i to
// point i + 1, in time order.
struct SegmentSeries {
    std::span<const double> lengths;
    std::span<const double> steps;   // floored at MIN_TIME_STEP
    std::span<const double> speeds;  // lengths over steps
};

// Fills the three series of `window` (at least 2 points), each span one
// shorter than the window.
void fill_segment_series(std::span<const MousePoint> window, std::span<double> lengths, std::span<double> steps,
                         std::span<double> speeds);

struct Trajectory {
    TrajectoryStats stats;
    // The window's series, viewing `storage`; empty below 3 points.
    SegmentSeries series;
    std::unique_ptr<double[]> storage;
};

// The points ordered by t with a stable sort, cut to the earliest
// MAX_TRAJECTORY_POINTS. Input already in time order (the usual case) is its
// own window: `storage` is filled only when the points must be sorted, and
// the window may view either.
std::span<const MousePoint> ordered_window(std::span<const MousePoint> points, std::vector<MousePoint>& storage);

// Statistics of a window as ordered_window returns it. Fewer than 3 points
// leave every statistic at its default and no speeds.
Trajectory window_kinematics(std::span<const MousePoint> window);

// Reads the points in input order and never reorders them in place:
// window_kinematics of their ordered window.
Trajectory trajectory_kinematics(std::span<const MousePoint> points);

}  // namespace quelvar
