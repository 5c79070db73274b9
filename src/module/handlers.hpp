// The interpreter-facing handlers of the functions.
#pragma once

#include "module/pyref.hpp"

namespace quelvar::handlers {

// METH_NOARGS
PyObject* is_rust_core_active(PyObject* module, PyObject* unused);
PyObject* get_core_version(PyObject* module, PyObject* unused);
PyObject* clear_state_engine_rs(PyObject* module, PyObject* unused);
PyObject* get_state_engine_stats_rs(PyObject* module, PyObject* unused);

// METH_FASTCALL | METH_KEYWORDS
PyObject* extract_features_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* consume_nonce_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* is_ip_banned_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ban_ip_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unban_ip_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hydrate_bans_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* extract_features_json_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* extract_evidence_json_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quelvar::handlers
