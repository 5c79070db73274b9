#include "kinematics/trajectory.hpp"

#include <algorithm>
#include <cmath>

namespace quelvar {
namespace {

bool earlier(const MousePoint& a, const MousePoint& b) { return a.t < b.t; }

double segment_length(const MousePoint& from, const MousePoint& to) {
    const double dx = to.x - from.x;
    const double dy = to.y - from.y;
    return std::sqrt(dx * dx + dy * dy);
}

// Two-pass population variance around a mean computed beforehand.
double variance_around(std::span<const double> values, double mean) {
    double squares = 0.0;
    for (double value : values) {
        const double deviation = value - mean;
        squares += deviation * deviation;
    }
    return squares / static_cast<double>(values.size());
}

}  // namespace

Trajectory trajectory_kinematics(std::span<const MousePoint> points) {
    Trajectory out;
    if (points.size() < 3) return out;

    // A stable sort by t; only strictly earlier points move forward, so input
    // that is already in time order (the usual case) is its own ordered copy
    // and needs neither a copy nor a sort.
    std::vector<MousePoint> ordered_copy;
    std::span<const MousePoint> ordered = points;
    if (!std::is_sorted(points.begin(), points.end(), earlier)) {
        ordered_copy.assign(points.begin(), points.end());
        std::stable_sort(ordered_copy.begin(), ordered_copy.end(), earlier);
        ordered = ordered_copy;
    }
    const std::span<const MousePoint> p = ordered.first(std::min(ordered.size(), MAX_TRAJECTORY_POINTS));
    const std::size_t segments = p.size() - 1;  // L >= 2

    std::vector<double> steps(segments);
    out.speeds.resize(segments);
    std::vector<double>& speeds = out.speeds;
    TrajectoryStats& s = out.stats;

    // Each sum runs in index order; they share one pass only because each is
    // independent of the others.
    double distance = 0.0;
    double speed_sum = 0.0;
    double step_sum = 0.0;
    double peak = 0.0;
    for (std::size_t i = 0; i < segments; ++i) {
        const double length = segment_length(p[i], p[i + 1]);
        const double difference = p[i + 1].t - p[i].t;
        const double step = difference < MIN_TIME_STEP ? MIN_TIME_STEP : difference;
        const double speed = length / step;
        steps[i] = step;
        speeds[i] = speed;
        distance += length;
        speed_sum += speed;
        step_sum += step;
        if (speed > peak) peak = speed;  // a NaN speed never replaces the peak
    }
    const double count = static_cast<double>(segments);

    s.total_distance = distance;
    if (distance > MIN_PATH_LENGTH) {
        const double ratio = segment_length(p.front(), p.back()) / distance;
        s.straightness = ratio < 1.0 ? ratio : 1.0;  // an undefined ratio reads as straight
    }

    s.avg_velocity = speed_sum / count;
    s.max_velocity = peak;
    s.velocity_var = variance_around(speeds, s.avg_velocity);
    s.dt_var = variance_around(steps, step_sum / count);

    // Each difference quotient divides by the later segment's time step.
    const std::size_t accel_count = segments - 1;
    std::vector<double> accelerations(accel_count);
    double accel_sum = 0.0;
    for (std::size_t i = 0; i < accel_count; ++i) {
        accelerations[i] = (speeds[i + 1] - speeds[i]) / steps[i + 1];
        accel_sum += accelerations[i];
    }
    s.avg_acceleration = accel_sum / static_cast<double>(accel_count);
    s.acceleration_var = variance_around(accelerations, s.avg_acceleration);

    if (accel_count >= 2) {
        double jerk_sum = 0.0;
        for (std::size_t i = 0; i + 1 < accel_count; ++i) {
            jerk_sum += std::fabs((accelerations[i + 1] - accelerations[i]) / steps[i + 2]);
        }
        s.avg_jerk = jerk_sum / static_cast<double>(accel_count - 1);
    }
    return out;
}

}  // namespace quelvar
