#include "kinematics/trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace quelvar {
namespace {

bool earlier(const MousePoint& a, const MousePoint& b) { return a.t < b.t; }

double segment_length(const MousePoint& from, const MousePoint& to) {
    const double dx = to.x - from.x;
    const double dy = to.y - from.y;
    return std::sqrt(dx * dx + dy * dy);
}

// The window of a stable sort by t, the MAX_TRAJECTORY_POINTS earliest
// points, in linear time: a client may send thousands of points, and a full
// sort of them would cost more than reading them. Every point before the
// window's last time is in it, and of the points at that time the first
// ones in input order; a stable sort of that selection is the window.
std::vector<MousePoint> earliest_window(std::span<const MousePoint> points) {
    std::vector<MousePoint> window;
    if (points.size() <= MAX_TRAJECTORY_POINTS) {
        window.assign(points.begin(), points.end());
    } else {
        std::vector<double> times(points.size());
        std::transform(points.begin(), points.end(), times.begin(), [](const MousePoint& p) { return p.t; });
        const auto last_at = times.begin() + (MAX_TRAJECTORY_POINTS - 1);
        std::nth_element(times.begin(), last_at, times.end());
        const double last = *last_at;
        const auto before = static_cast<std::size_t>(
            std::count_if(points.begin(), points.end(), [last](const MousePoint& p) { return p.t < last; }));
        std::size_t at_last = MAX_TRAJECTORY_POINTS - before;
        window.reserve(MAX_TRAJECTORY_POINTS);
        for (const MousePoint& p : points) {
            if (p.t < last) {
                window.push_back(p);
            } else if (p.t == last && at_last > 0) {
                window.push_back(p);
                --at_last;
            }
        }
    }
    std::stable_sort(window.begin(), window.end(), earlier);
    return window;
}

}  // namespace

std::span<const MousePoint> ordered_window(std::span<const MousePoint> points, std::vector<MousePoint>& storage) {
    // A stable sort by t; only strictly earlier points move forward, so input
    // that is already in time order is its own ordered copy and needs neither
    // a copy nor a sort.
    std::span<const MousePoint> ordered = points;
    if (!std::is_sorted(points.begin(), points.end(), earlier)) {
        storage = earliest_window(points);
        ordered = storage;
    }
    return ordered.first(std::min(ordered.size(), MAX_TRAJECTORY_POINTS));
}

Trajectory trajectory_kinematics(std::span<const MousePoint> points) {
    if (points.size() < 3) return Trajectory{};
    std::vector<MousePoint> storage;
    return window_kinematics(ordered_window(points, storage));
}

void fill_segment_series(std::span<const MousePoint> p, std::span<double> lengths, std::span<double> steps,
                         std::span<double> speeds) {
    // Each in a loop of its own, so that square roots and divisions run
    // two at a time.
    const std::size_t segments = p.size() - 1;
    for (std::size_t i = 0; i < segments; ++i) {
        const double dx = p[i + 1].x - p[i].x;
        const double dy = p[i + 1].y - p[i].y;
        lengths[i] = dx * dx + dy * dy;
        const double difference = p[i + 1].t - p[i].t;
        steps[i] = difference < MIN_TIME_STEP ? MIN_TIME_STEP : difference;
    }
    for (std::size_t i = 0; i < segments; ++i) lengths[i] = std::sqrt(lengths[i]);
    for (std::size_t i = 0; i < segments; ++i) speeds[i] = lengths[i] / steps[i];
}

Trajectory window_kinematics(std::span<const MousePoint> p) {
    Trajectory out;
    if (p.size() < 3) return out;
    const std::size_t segments = p.size() - 1;  // L >= 2

    // The element-wise series come first, each in a loop of its own so that
    // square roots and divisions can run two at a time; the sums follow,
    // several per pass so that their addition chains overlap. Every sum still
    // runs in index order over the same IEEE values a one-by-one evaluation
    // would produce, so the results are bit for bit the same.
    const std::size_t accel_count = segments - 1;
    const std::size_t jerk_count = segments - 2;  // 0 for a window of 3 points
    // One block for the five series, each at its exact length; the first
    // three are kept with the result.
    out.storage = std::make_unique_for_overwrite<double[]>(5 * segments);
    double* const block = out.storage.get();
    const std::span<double> lengths(block, segments);
    const std::span<double> steps(block + segments, segments);
    const std::span<double> speeds(block + 2 * segments, segments);
    const std::span<double> accelerations(block + 3 * segments, accel_count);
    const std::span<double> jerks(block + 4 * segments, jerk_count);
    out.series = {lengths, steps, speeds};

    fill_segment_series(p, lengths, steps, speeds);
    // Each difference quotient divides by the later segment's time step.
    for (std::size_t i = 0; i < accel_count; ++i) {
        accelerations[i] = (speeds[i + 1] - speeds[i]) / steps[i + 1];
    }
    for (std::size_t i = 0; i < jerk_count; ++i) {
        jerks[i] = std::fabs((accelerations[i + 1] - accelerations[i]) / steps[i + 2]);
    }

    double distance = 0.0;
    double speed_sum = 0.0;
    double step_sum = 0.0;
    double accel_sum = 0.0;
    double jerk_sum = 0.0;
    double peak = 0.0;
    for (std::size_t i = 0; i < segments; ++i) {
        distance += lengths[i];
        speed_sum += speeds[i];
        step_sum += steps[i];
        if (speeds[i] > peak) peak = speeds[i];  // a NaN speed never replaces the peak
        if (i < jerk_count) jerk_sum += jerks[i];
        if (i < accel_count) accel_sum += accelerations[i];
    }

    TrajectoryStats& s = out.stats;
    const double count = static_cast<double>(segments);
    s.total_distance = distance;
    if (distance > MIN_PATH_LENGTH) {
        const double ratio = segment_length(p.front(), p.back()) / distance;
        s.straightness = ratio < 1.0 ? ratio : 1.0;  // an undefined ratio reads as straight
    }
    s.avg_velocity = speed_sum / count;
    s.max_velocity = peak;
    s.avg_acceleration = accel_sum / static_cast<double>(accel_count);
    if (jerk_count > 0) s.avg_jerk = jerk_sum / static_cast<double>(jerk_count);

    // Population variances around the means just taken (the second pass).
    const double step_mean = step_sum / count;
    double speed_squares = 0.0;
    double step_squares = 0.0;
    double accel_squares = 0.0;
    for (std::size_t i = 0; i < accel_count; ++i) {
        const double speed_deviation = speeds[i] - s.avg_velocity;
        const double step_deviation = steps[i] - step_mean;
        const double accel_deviation = accelerations[i] - s.avg_acceleration;
        speed_squares += speed_deviation * speed_deviation;
        step_squares += step_deviation * step_deviation;
        accel_squares += accel_deviation * accel_deviation;
    }
    const double last_speed_deviation = speeds[accel_count] - s.avg_velocity;
    const double last_step_deviation = steps[accel_count] - step_mean;
    speed_squares += last_speed_deviation * last_speed_deviation;
    step_squares += last_step_deviation * last_step_deviation;
    s.velocity_var = speed_squares / count;
    s.dt_var = step_squares / count;
    s.acceleration_var = accel_squares / static_cast<double>(accel_count);
    return out;
}

}  // namespace quelvar
