// The 24 features of one call, in the order in which they are inserted into
// the result dictionary. Every field starts at the value it keeps when the
// input holds nothing to compute it from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kinematics/telemetry_record.hpp"
#include "kinematics/trajectory.hpp"

namespace quelvar {

// The one list of the features: X(type, name, value without input), in
// result-dictionary order. The struct, the key strings and the dictionary
// writer are all generated from it.
#define QUELVAR_FEATURES(X)                    \
    X(std::uint64_t, mouse_points, 0)          \
    X(double, total_distance, 0.0)             \
    X(double, straightness, 1.0)               \
    X(double, avg_velocity, 0.0)               \
    X(double, max_velocity, 0.0)               \
    X(double, velocity_var, 0.0)               \
    X(double, avg_acceleration, 0.0)           \
    X(double, acceleration_var, 0.0)           \
    X(double, avg_jerk, 0.0)                   \
    X(double, dt_var, 0.0)                     \
    X(std::uint64_t, click_count, 0)           \
    X(std::uint64_t, key_count, 0)             \
    X(double, key_interval_avg, 0.0)           \
    X(double, key_interval_var, 0.0)           \
    X(bool, webdriver, false)                  \
    X(bool, screen_valid, true)                \
    X(std::uint64_t, scroll_count, 0)          \
    X(double, terminal_decel_ratio, 1.0)       \
    X(std::int64_t, plugins_length, 1)         \
    X(bool, touch_supported, false)            \
    X(double, screen_width, 1024.0)            \
    X(double, spectral_purity, 0.0)            \
    X(double, spectral_entropy, 1.0)           \
    X(std::uint64_t, submovement_count, 0)

struct FeatureVector {
#define QUELVAR_FEATURE_FIELD(type, name, initial) type name = initial;
    QUELVAR_FEATURES(QUELVAR_FEATURE_FIELD)
#undef QUELVAR_FEATURE_FIELD

    // Calls visit(name, value) for every feature, in order.
    template <class Visit>
    void for_each(Visit&& visit) const {
#define QUELVAR_FEATURE_VISIT(type, name, initial) visit(#name, name);
        QUELVAR_FEATURES(QUELVAR_FEATURE_VISIT)
#undef QUELVAR_FEATURE_VISIT
    }
};

#define QUELVAR_FEATURE_NAME(type, name, initial) #name,
inline constexpr std::array FEATURE_NAMES{QUELVAR_FEATURES(QUELVAR_FEATURE_NAME)};
#undef QUELVAR_FEATURE_NAME
inline constexpr std::size_t FEATURE_COUNT = FEATURE_NAMES.size();
static_assert(FEATURE_COUNT == 24);

// Keystroke statistics, then, from 3 mouse points on, the trajectory, its
// submovements and its speed spectrum; browser and count fields are copied.
FeatureVector compute_features(const TelemetryRecord& record);
// The same, given window_kinematics of the ordered window of
// record.mouse_points (below 3 points, an empty trajectory).
FeatureVector compute_features(const TelemetryRecord& record, const Trajectory& trajectory);

}  // namespace quelvar
