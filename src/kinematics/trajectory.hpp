// Geometry and timing of the pointer's path: the points ordered by time, the
// earliest MAX_TRAJECTORY_POINTS of them, their segment series and the ten
// statistics drawn from those series.
#pragma once

#include <cstddef>
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

struct Trajectory {
    TrajectoryStats stats;
    // v[0] .. v[L-1] of the window, in time order; empty below 3 points.
    std::vector<double> speeds;
};

// Reads the points in input order and never reorders them in place. Fewer
// than 3 points leave every statistic at its default and no speeds.
Trajectory trajectory_kinematics(std::span<const MousePoint> points);

}  // namespace quelvar
