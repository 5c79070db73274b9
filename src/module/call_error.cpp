#include "module/call_error.hpp"

#include <cstdio>
#include <string_view>

#include "runtime/fault.hpp"

namespace quelvar {
namespace {

constexpr const char* PANIC_EXCEPTION_NAME = "quelvar_core_rs.PanicException";
constexpr const char* PANIC_EXCEPTION_DOC =
    "Raised when the native code of quelvar_core_rs fails internally.\n\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so that\n"
    "it is not caught by an ordinary `except Exception` and typically propagates all\n"
    "the way up and makes the interpreter exit.";
constexpr std::string_view PANIC_BANNER =
    "--- quelvar_core_rs is resuming an internal fault after fetching a PanicException from Python ---\n";

// Created on the first fetch of the process, never exposed as a module
// attribute, kept until the process ends.
PyObject* PANIC_EXCEPTION = nullptr;

void ensure_panic_exception() {
    if (PANIC_EXCEPTION != nullptr) return;
    // The interpreter wants NUL-terminated buffers it may keep pointers into
    // only for the duration of the call.
    std::string name(PANIC_EXCEPTION_NAME);
    std::string doc(PANIC_EXCEPTION_DOC);
    PyObject* created = PyErr_NewExceptionWithDoc(name.c_str(), doc.c_str(), PyExc_BaseException, nullptr);
    if (created == nullptr) {
        internal_fault("Failed to initialize new exception type.: " + render_pending_error());
    }
    if (PANIC_EXCEPTION != nullptr) {
        Py_DECREF(created);  // filled in the meantime: keep the first class
        return;
    }
    PANIC_EXCEPTION = created;
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
    // Unpaired surrogates: pass them through the encoder and decode leniently,
    // so that each becomes U+FFFD characters instead of failing the message.
    PyErr_Clear();
    py::Owned raw = py::Owned::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return std::string();
    }
    py::Owned lenient =
        py::Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    if (!lenient) {
        PyErr_Clear();
        return std::string();
    }
    data = PyUnicode_AsUTF8AndSize(lenient.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

void CallError::restore() && {
    if (instance_) {
        PyErr_SetRaisedException(instance_.release());
        return;
    }
    py::Owned text =
        require_object(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    py::Owned exception_class = py::Owned::share(exception_class_);
    if (exception_class && PyType_Check(exception_class.get()) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(exception_class.get()),
                         reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        PyErr_SetObject(exception_class.get(), text.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

std::optional<CallError> fetch_error() {
    py::Owned raised = py::Owned::steal(PyErr_GetRaisedException());
    if (!raised) return std::nullopt;
    ensure_panic_exception();
    if (reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) == PANIC_EXCEPTION) {
        std::fwrite(PANIC_BANNER.data(), 1, PANIC_BANNER.size(), stderr);
        std::fputs("Python stack trace below:\n", stderr);
        std::fflush(stderr);
        PyErr_SetRaisedException(raised.release());
        PyErr_PrintEx(0);
        std::fflush(stderr);
        terminate_process();
    }
    return CallError::built(std::move(raised));
}

CallError fetch_expected_error() {
    if (std::optional<CallError> pending = fetch_error()) return std::move(*pending);
    return CallError::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
}

std::string display_text(PyObject* object) {
    py::Owned text = py::Owned::steal(PyObject_Str(object));
    if (!text) {
        PyErr_WriteUnraisable(object);
        py::Owned type_name = py::Owned::steal(PyType_GetName(Py_TYPE(object)));
        if (type_name) {
            Py_ssize_t size = 0;
            if (const char* name = PyUnicode_AsUTF8AndSize(type_name.get(), &size)) {
                return "<unprintable " + std::string(name, static_cast<std::size_t>(size)) + " object>";
            }
        }
        PyErr_Clear();
        return "<unprintable object>";
    }
    return utf8_of(text.get());
}

std::string render_pending_error() {
    py::Owned raised = py::Owned::steal(PyErr_GetRaisedException());
    if (!raised) return "no Python exception was set";
    std::string rendered = display_text(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())));
    rendered += ": ";
    rendered += display_text(raised.get());
    py::Owned traceback = py::Owned::steal(PyException_GetTraceback(raised.get()));
    if (traceback) {
        py::Owned module = py::Owned::steal(PyImport_ImportModule("traceback"));
        py::Owned lines = module
                              ? py::Owned::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback.get()))
                              : py::Owned();
        if (lines && PyList_Check(lines.get())) {
            rendered += "\nTraceback (most recent call last):\n";
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
                rendered += display_text(PyList_GET_ITEM(lines.get(), i));
            }
        }
        PyErr_Clear();
    }
    return rendered;
}

[[noreturn]] void api_call_failed(SourceLocation where) {
    if (PyErr_Occurred()) PyErr_Print();
    internal_fault("Python API call failed", where);
}

}  // namespace quelvar
