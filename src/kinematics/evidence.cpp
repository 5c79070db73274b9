#include "kinematics/evidence.hpp"

#include <cmath>

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
    const auto finite = [](const Move& move) {
        bool all = true;
#define QUELVAR_FINITE_FIGURE(name, type, doc) all = all && std::isfinite(static_cast<double>(move.name));
        QUELVAR_MOVE_FIGURES(QUELVAR_FINITE_FIGURE)
#undef QUELVAR_FINITE_FIGURE
        return all;
    };
    out.finite = finite(out.whole);
    for (const Move& move : out.moves) out.finite = out.finite && finite(move);
    return out;
}

}  // namespace quelvar
