// The result of every feature function: a new dictionary with one entry per
// feature, in the order of the feature list.
#pragma once

#include "kinematics/feature_vector.hpp"
#include "module/result.hpp"

namespace quelvar {

Result<py::Owned> build_feature_dict(const FeatureVector& features);

}  // namespace quelvar
