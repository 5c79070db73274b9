// The 24 features of one call, declared in the order in which they are
// inserted into the result dictionary. Every field starts at the value it
// keeps when the input holds nothing to compute it from.
#pragma once

#include <cstdint>

#include "kinematics/telemetry_record.hpp"

namespace quelvar {

struct FeatureVector {
    std::uint64_t mouse_points = 0;
    double total_distance = 0.0;
    double straightness = 1.0;
    double avg_velocity = 0.0;
    double max_velocity = 0.0;
    double velocity_var = 0.0;
    double avg_acceleration = 0.0;
    double acceleration_var = 0.0;
    double avg_jerk = 0.0;
    double dt_var = 0.0;
    std::uint64_t click_count = 0;
    std::uint64_t key_count = 0;
    double key_interval_avg = 0.0;
    double key_interval_var = 0.0;
    bool webdriver = false;
    bool screen_valid = true;
    std::uint64_t scroll_count = 0;
    double terminal_decel_ratio = 1.0;
    std::int64_t plugins_length = 1;
    bool touch_supported = false;
    double screen_width = 1024.0;
    double spectral_purity = 0.0;
    double spectral_entropy = 1.0;
    std::uint64_t submovement_count = 0;
};

// Keystroke statistics, then, from 3 mouse points on, the trajectory, its
// submovements and its speed spectrum; browser and count fields are copied.
FeatureVector compute_features(const TelemetryRecord& record);

}  // namespace quelvar
