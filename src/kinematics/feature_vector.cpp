#include "kinematics/feature_vector.hpp"

#include "kinematics/keystroke_stats.hpp"
#include "kinematics/spectrum.hpp"
#include "kinematics/submovements.hpp"

namespace quelvar {

FeatureVector compute_features(const TelemetryRecord& record) {
    return compute_features(record, trajectory_kinematics(record.mouse_points));
}

FeatureVector compute_features(const TelemetryRecord& record, const Trajectory& trajectory) {
    FeatureVector f;

    const KeyIntervalStats keys = key_interval_stats(record.key_times);
    f.key_count = record.key_times.size();
    f.key_interval_avg = keys.mean;
    f.key_interval_var = keys.variance;

    // The count is of decoded points, before ordering and the window cap.
    f.mouse_points = record.mouse_points.size();
    if (record.mouse_points.size() >= 3) {
        const TrajectoryStats& t = trajectory.stats;
        f.total_distance = t.total_distance;
        f.straightness = t.straightness;
        f.avg_velocity = t.avg_velocity;
        f.max_velocity = t.max_velocity;
        f.velocity_var = t.velocity_var;
        f.avg_acceleration = t.avg_acceleration;
        f.acceleration_var = t.acceleration_var;
        f.avg_jerk = t.avg_jerk;
        f.dt_var = t.dt_var;

        const SubmovementStats shape = submovement_stats(trajectory.series.speeds, t.max_velocity);
        f.terminal_decel_ratio = shape.terminal_decel_ratio;
        f.submovement_count = shape.submovement_count;

        const SpectrumStats rhythm = speed_spectrum_stats(trajectory.series.speeds, t.avg_velocity);
        f.spectral_purity = rhythm.spectral_purity;
        f.spectral_entropy = rhythm.spectral_entropy;
    }

    f.click_count = record.click_count;
    f.scroll_count = record.scroll_count;
    f.webdriver = record.browser.webdriver;
    f.screen_valid = record.browser.screen_valid;
    f.plugins_length = record.browser.plugins_length;
    f.touch_supported = record.browser.touch_supported;
    f.screen_width = record.browser.screen_width;
    return f;
}

}  // namespace quelvar
