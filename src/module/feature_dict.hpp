// The result of both feature functions: a new dictionary with the 24
// features in fixed order.
#pragma once

#include "kinematics/feature_vector.hpp"
#include "module/result.hpp"

namespace quelvar {

Result<py::Owned> build_feature_dict(const FeatureVector& features);

}  // namespace quelvar
