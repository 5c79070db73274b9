// The one list of the 24 features: their order, types, names and the values
// they keep when the input holds nothing to compute them from.
#pragma once

#include <cstdint>

namespace quelvar {

// X(type, name, value without input), in result-dictionary order. The
// defaults below, the feature struct, the key strings and the dictionary
// writer are all generated from it.
#define QUELVAR_FEATURES(X)              \
    X(std::uint64_t, mouse_points, 0)    \
    X(double, total_distance, 0.0)       \
    X(double, straightness, 1.0)         \
    X(double, avg_velocity, 0.0)         \
    X(double, max_velocity, 0.0)         \
    X(double, velocity_var, 0.0)         \
    X(double, avg_acceleration, 0.0)     \
    X(double, acceleration_var, 0.0)     \
    X(double, avg_jerk, 0.0)             \
    X(double, dt_var, 0.0)               \
    X(std::uint64_t, click_count, 0)     \
    X(std::uint64_t, key_count, 0)       \
    X(double, key_interval_avg, 0.0)     \
    X(double, key_interval_var, 0.0)     \
    X(bool, webdriver, false)            \
    X(bool, screen_valid, true)          \
    X(std::uint64_t, scroll_count, 0)    \
    X(double, terminal_decel_ratio, 1.0) \
    X(std::int64_t, plugins_length, 1)   \
    X(bool, touch_supported, false)      \
    X(double, screen_width, 1024.0)      \
    X(double, spectral_purity, 0.0)      \
    X(double, spectral_entropy, 1.0)     \
    X(std::uint64_t, submovement_count, 0)

// feature_default::screen_width: 1024.0, a double.
namespace feature_default {
#define QUELVAR_FEATURE_DEFAULT(type, name, initial) inline constexpr type name = initial;
QUELVAR_FEATURES(QUELVAR_FEATURE_DEFAULT)
#undef QUELVAR_FEATURE_DEFAULT
}  // namespace feature_default

}  // namespace quelvar
