// The entry point: one module per process, refused to every interpreter but
// the main one, with the functions registered in table order.
#include <atomic>
#include <cstdint>
#include <string>

#include "module/arguments.hpp"
#include "module/call_wrapper.hpp"
#include "module/functions.hpp"
#include "module/handlers.hpp"
#include "module/interned.hpp"
#include "runtime/fault.hpp"

namespace quelvar {
namespace {

// -1 until an interpreter imports the module; then that interpreter's ID.
std::atomic<std::int64_t> MAIN_INTERPRETER_ID{-1};
// The module created by the first successful import; one strong reference
// kept for the rest of the process.
PyObject* MODULE_CELL = nullptr;

PyModuleDef MODULE_DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "quelvar_core_rs",
    "",  // __doc__ is "" rather than None
    0,   // no per-module state; a re-import calls the entry point again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

template <class Handler>
PyCFunction as_cfunction(Handler handler) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handler));
}

// A function's record: name and text signature from its parameter list, and
// the calling convention and handler its parameter count calls for.
template <const auto& Function, auto Body>
PyMethodDef function_record() {
    const char* signature = functions::TEXT_SIGNATURE<Function>.data();
    if constexpr (Function.names.empty()) {
        return {Function.name, as_cfunction(handlers::handle_no_arguments<Body>), METH_NOARGS, signature};
    } else {
        return {Function.name, as_cfunction(handlers::handle_arguments<Function, Body>), METH_FASTCALL | METH_KEYWORDS,
                signature};
    }
}

// The interpreter keeps pointers into these records for as long as the
// function objects live, so they live for the process.
#define QUELVAR_FUNCTION_RECORD(name, body, ...) function_record<functions::name, body>(),
PyMethodDef FUNCTION_TABLE[] = {QUELVAR_FUNCTIONS(QUELVAR_FUNCTION_RECORD)};
#undef QUELVAR_FUNCTION_RECORD

// Attribute names created once, interned, and kept for the process.
enum AttributeName : std::size_t { NAME_ATTRIBUTE, ALL_ATTRIBUTE, ATTRIBUTE_NAME_COUNT };
InternedStrings<ATTRIBUTE_NAME_COUNT> ATTRIBUTE_NAMES({"__name__", "__all__"});

Result<py::Owned> module_all_list(PyObject* module) {
    PyObject* all_name = ATTRIBUTE_NAMES.get()[ALL_ATTRIBUTE];
    py::Owned all = py::Owned::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_expected_error();
        PyErr_Clear();
        all = require_object(PyList_New(0));
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) return fetch_expected_error();
    } else if (!PyList_Check(all.get())) {
        return type_mismatch_error(all.get(), "PyList");
    }
    return all;
}

Status register_function(PyObject* module, PyMethodDef* record) {
    py::Owned module_name = py::Owned::steal(PyModule_GetNameObject(module));
    if (!module_name) return fetch_expected_error();
    py::Owned function = py::Owned::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    if (!function) return fetch_expected_error();
    module_name = py::Owned();

    py::Owned name = py::Owned::steal(PyObject_GetAttr(function.get(), ATTRIBUTE_NAMES.get()[NAME_ATTRIBUTE]));
    if (!name) return fetch_expected_error();
    if (!PyUnicode_Check(name.get())) return type_mismatch_error(name.get(), "PyString");

    Result<py::Owned> all = module_all_list(module);
    if (!all) return std::move(all).error();
    if (PyList_Append(all->get(), name.get()) < 0) {
        internal_fault("could not append __name__ to __all__: " + render_pending_error());
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fetch_expected_error();
    return success();
}

Result<py::Owned> initialise_module() {
    std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return fetch_expected_error();

    // Checked before the cell: another interpreter is refused even when the
    // module already exists. Only the main interpreter may import, so that a
    // short-lived subinterpreter importing first cannot lock the main
    // interpreter out for the rest of the process.
    std::int64_t expected = -1;
    bool is_main = PyInterpreterState_Get() == PyInterpreterState_Main();
    if (!is_main ||
        (!MAIN_INTERPRETER_ID.compare_exchange_strong(expected, interpreter_id, std::memory_order_seq_cst) &&
         expected != interpreter_id)) {
        return CallError::deferred(PyExc_ImportError,
                                   "quelvar_core_rs does not yet support subinterpreters: it can only be imported "
                                   "by the main interpreter of the process");
    }

    if (MODULE_CELL != nullptr) return py::Owned::share(MODULE_CELL);

    py::Owned module = py::Owned::steal(PyModule_Create2(&MODULE_DEFINITION, 1013));
    if (!module) return fetch_expected_error();
    for (PyMethodDef& record : FUNCTION_TABLE) {
        if (Status registered = register_function(module.get(), &record); !registered) {
            return std::move(registered).error();
        }
    }
    // Registration calls into the interpreter, which may have let another
    // thread finish an import first: keep the module stored first.
    if (MODULE_CELL == nullptr) MODULE_CELL = module.release();
    return py::Owned::share(MODULE_CELL);
}

}  // namespace
}  // namespace quelvar

PyMODINIT_FUNC PyInit_quelvar_core_rs(void) { return quelvar::call_wrapper(quelvar::initialise_module); }
