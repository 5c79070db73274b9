// The result of extract_evidence_json_rs: the feature dictionary and a
// dictionary of one list per move figure, one entry per move, followed by
// "whole" (the whole path's figures, one value each), "webdriver" (bool) and
// "finite" (bool: every figure of them all is finite).
#pragma once

#include "kinematics/evidence.hpp"
#include "module/result.hpp"

namespace quelvar {

Result<py::Owned> build_evidence_result(const Evidence& evidence);

}  // namespace quelvar
