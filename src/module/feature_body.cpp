#include "module/bodies.hpp"

namespace quelvar::bodies {

Result<py::Owned> extract_features(PyObject*) {
    return CallError::deferred(PyExc_NotImplementedError, "extract_features_rs is not implemented yet");
}

}  // namespace quelvar::bodies
