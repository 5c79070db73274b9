// Everything the guard scores from one client's telemetry: the 24 features
// and the moves of the pointer path, both from one ordering of the points.
#pragma once

#include <vector>

#include "kinematics/feature_vector.hpp"
#include "kinematics/moves.hpp"

namespace quelvar {

struct Evidence {
    FeatureVector features;   // exactly compute_features(record)
    std::vector<Move> moves;  // cut_moves of the ordered window
    Move whole;               // the ordered window as one move (cut_moves' `whole`)
    // browser.webdriver other than one JSON false or absent: given more than
    // once, or with any other value (the record's webdriver_keys and
    // webdriver_not_false).
    bool webdriver = false;
    // Every figure of every move and of `whole` is finite.
    bool finite = true;
};

Evidence compute_evidence(const TelemetryRecord& record);

}  // namespace quelvar
