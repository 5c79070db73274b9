// The result of extract_evidence_json_rs: the feature dictionary and a
// dictionary of one list per move figure, one entry per move.
#pragma once

#include "kinematics/evidence.hpp"
#include "module/result.hpp"

namespace quelvar {

Result<py::Owned> build_evidence_result(const Evidence& evidence);

}  // namespace quelvar
