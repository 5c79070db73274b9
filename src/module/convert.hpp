// Native results to new Python objects. An object the interpreter cannot
// create is an internal fault; only dictionary insertion reports an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "module/result.hpp"

namespace quelvar {

inline py::Owned to_python(bool value) { return py::Owned::share(value ? Py_True : Py_False); }
inline py::Owned python_none() { return py::Owned::share(Py_None); }
inline py::Owned to_python(std::string_view text) {
    return require_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline py::Owned to_python(std::uint64_t value) { return require_object(PyLong_FromUnsignedLongLong(value)); }
inline py::Owned to_python(std::int64_t value) { return require_object(PyLong_FromLongLong(value)); }
inline py::Owned to_python(double value) { return require_object(PyFloat_FromDouble(value)); }
inline py::Owned new_dict() { return require_object(PyDict_New()); }
// Room for `entries` from the start, so that filling it reallocates nothing
// (the 24 features would otherwise grow the table twice, rehashing each time).
inline py::Owned new_dict(std::size_t entries) {
    return require_object(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries)));
}

// PyDict_SetItem; its pending exception becomes the call's error.
inline Status dict_insert(PyObject* dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict, key, value) < 0) return fetch_expected_error();
    return success();
}

}  // namespace quelvar
