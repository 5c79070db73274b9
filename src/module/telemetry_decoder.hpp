// The one step of feature extraction that reads Python objects: the
// telemetry argument, whatever it is, becomes a TelemetryRecord.
#pragma once

#include "kinematics/telemetry_record.hpp"
#include "module/pyref.hpp"

namespace quelvar {

// Lenient: content never raises. Missing, mistyped, unconvertible or
// non-finite values fall back to defaults or drop their item, and every
// error a lookup or conversion leaves pending is cleared at once. Conversion
// hooks may mutate the lists and dictionaries being read; every object is
// held by a strong reference while code of the caller can run. Only a key
// string the interpreter cannot create (an internal fault) stops it.
TelemetryRecord decode_telemetry(py::Borrowed telemetry);

}  // namespace quelvar
