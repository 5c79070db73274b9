// The 24 features of one call, in the order in which they are inserted into
// the result dictionary. Every field starts at the value it keeps when the
// input holds nothing to compute it from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kinematics/feature_list.hpp"
#include "kinematics/telemetry_record.hpp"
#include "kinematics/trajectory.hpp"

namespace quelvar {

struct FeatureVector {
#define QUELVAR_FEATURE_FIELD(type, name, initial) type name = feature_default::name;
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
