#include "kinematics/evidence.hpp"

#include "kinematics/trajectory.hpp"

namespace quelvar {

Evidence compute_evidence(const TelemetryRecord& record) {
    std::vector<MousePoint> storage;
    const std::span<const MousePoint> window = ordered_window(record.mouse_points, storage);
    const Trajectory trajectory = window_kinematics(window);
    Evidence out;
    out.features = compute_features(record, trajectory);
    out.moves = cut_moves(window, trajectory.series, &out.whole);
    out.webdriver = record.webdriver_keys > 1 || record.webdriver_not_false;
    return out;
}

}  // namespace quelvar
