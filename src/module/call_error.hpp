// CallError, the error value of every boundary operation, and the steps that
// move exceptions between it and the interpreter.
#pragma once

#include <optional>
#include <string>

#include "module/pyref.hpp"
#include "runtime/fault.hpp"

namespace quelvar {

class CallError {
public:
    // An exception class and its message; the instance is built only when raised.
    static CallError deferred(PyObject* exception_class, std::string message) {
        return CallError(exception_class, std::move(message), py::Owned());
    }
    // An exception instance taken from the interpreter.
    static CallError built(py::Owned instance) { return CallError(nullptr, std::string(), std::move(instance)); }

    static CallError type_error(std::string message) { return deferred(PyExc_TypeError, std::move(message)); }
    static CallError value_error(std::string message) { return deferred(PyExc_ValueError, std::move(message)); }

    // The type of the exception this error would raise (borrowed).
    PyObject* exception_type() const noexcept {
        return instance_ ? reinterpret_cast<PyObject*>(Py_TYPE(instance_.get())) : exception_class_;
    }
    bool is_built() const noexcept { return static_cast<bool>(instance_); }
    PyObject* instance() const noexcept { return instance_.get(); }
    const std::string& message() const noexcept { return message_; }

    // restore_error: raises the error in the interpreter, consuming it.
    void restore() &&;

private:
    CallError(PyObject* exception_class, std::string message, py::Owned instance)
        : exception_class_(exception_class), message_(std::move(message)), instance_(std::move(instance)) {}

    PyObject* exception_class_;  // a static interpreter exception class
    std::string message_;
    py::Owned instance_;
};

// fetch_error: the pending exception as a built error, or nothing when no
// exception is pending. A pending PanicException is not passed on: the
// process ends after printing it.
std::optional<CallError> fetch_error();

// For callers that were told an error is pending: the pending exception, or
// SystemError "attempted to fetch exception but none was set".
CallError fetch_expected_error();

// str() of an object as UTF-8 text for use inside a message; never fails.
std::string display_text(PyObject* object);

// The pending exception as "Type: message" plus its traceback, for the
// reports of internal faults. Clears the pending exception.
std::string render_pending_error();

// An interpreter call that must create an object returned null: prints the
// pending exception, then ends the process.
[[noreturn]] void api_call_failed(SourceLocation where = SourceLocation::current());

// Checks the result of a call that must create an object.
inline py::Owned require_object(PyObject* new_reference, SourceLocation where = SourceLocation::current()) {
    if (new_reference == nullptr) api_call_failed(where);
    return py::Owned::steal(new_reference);
}

}  // namespace quelvar
