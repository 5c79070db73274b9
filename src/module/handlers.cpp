// One handler per function: match the arguments, convert them, run the body.
#include "module/handlers.hpp"

#include "module/arguments.hpp"
#include "module/bodies.hpp"
#include "module/call_wrapper.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/object_views.hpp"

namespace quelvar::handlers {
namespace {

constexpr std::string_view CORE_VERSION = "0.8.0-native-rust";

// Handlers of functions that take one text argument differ only in their
// parameters and body. Matching and converting in general is a call of its
// own, so that the usual call does not pay for its frame.
template <const ParameterSpec& Parameters, Result<py::Owned> (*Body)(std::string_view)>
[[gnu::noinline]] PyObject* handle_text_call_in_general(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper([&]() -> Result<py::Owned> {
        PyObject* slots[2];
        if (Status matched = extract_arguments(Parameters, args, nargs, kwnames, slots); !matched) {
            return std::move(matched).error();
        }
        Result<std::string_view> text = convert_argument(Parameters.names[0], slots[0], to_text);
        if (!text) return std::move(text).error();
        return Body(*text);
    });
}

template <const ParameterSpec& Parameters, Result<py::Owned> (*Body)(std::string_view)>
PyObject* handle_text_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The usual call, one positional ASCII str, has nothing to match and is
    // its own UTF-8: straight to the body.
    if (nargs == 1 && kwnames == nullptr) {
        if (const std::optional<std::string_view> text = ascii_view(args[0])) {
            return call_wrapper([text = *text]() { return Body(text); });
        }
    }
    return handle_text_call_in_general<Parameters, Body>(args, nargs, kwnames);
}

// Handlers of functions whose one argument reaches the body unconverted.
template <const ParameterSpec& Parameters, Result<py::Owned> (*Body)(PyObject*)>
PyObject* handle_object_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper([&]() -> Result<py::Owned> {
        PyObject* slots[2];
        if (Status matched = extract_arguments(Parameters, args, nargs, kwnames, slots); !matched) {
            return std::move(matched).error();
        }
        return Body(slots[0]);
    });
}

}  // namespace

PyObject* is_rust_core_active(PyObject*, PyObject*) {
    return call_wrapper([]() -> Result<py::Owned> { return to_python(true); });
}

PyObject* get_core_version(PyObject*, PyObject*) {
    return call_wrapper([]() -> Result<py::Owned> { return to_python(CORE_VERSION); });
}

PyObject* extract_features_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_object_call<functions::EXTRACT_FEATURES, bodies::extract_features>(args, nargs, kwnames);
}

PyObject* consume_nonce_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_text_call<functions::CONSUME_NONCE, bodies::consume_nonce>(args, nargs, kwnames);
}

PyObject* is_ip_banned_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_text_call<functions::IS_IP_BANNED, bodies::is_ip_banned>(args, nargs, kwnames);
}

PyObject* unban_ip_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_text_call<functions::UNBAN_IP, bodies::unban_ip>(args, nargs, kwnames);
}

PyObject* ban_ip_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper([&]() -> Result<py::Owned> {
        PyObject* slots[2];
        if (Status matched = extract_arguments(functions::BAN_IP, args, nargs, kwnames, slots); !matched) {
            return std::move(matched).error();
        }
        Result<std::string_view> ip = convert_argument(functions::BAN_IP.names[0], slots[0], to_text);
        if (!ip) return std::move(ip).error();
        Result<std::uint64_t> duration = convert_argument(functions::BAN_IP.names[1], slots[1], to_u64);
        if (!duration) return std::move(duration).error();
        return bodies::ban_ip(*ip, *duration);
    });
}

PyObject* hydrate_bans_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper([&]() -> Result<py::Owned> {
        PyObject* slots[2];
        if (Status matched = extract_arguments(functions::HYDRATE_BANS, args, nargs, kwnames, slots); !matched) {
            return std::move(matched).error();
        }
        Result<BanList> bans = convert_argument(functions::HYDRATE_BANS.names[0], slots[0], to_ban_list);
        if (!bans) return std::move(bans).error();
        return bodies::hydrate_bans(*bans);
    });
}

PyObject* extract_features_json_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_object_call<functions::EXTRACT_FEATURES_JSON, bodies::extract_features_json>(args, nargs, kwnames);
}

PyObject* extract_evidence_json_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_object_call<functions::EXTRACT_EVIDENCE_JSON, bodies::extract_evidence_json>(args, nargs, kwnames);
}

PyObject* clear_state_engine_rs(PyObject*, PyObject*) {
    return call_wrapper([]() { return bodies::clear_state_engine(); });
}

PyObject* get_state_engine_stats_rs(PyObject*, PyObject*) {
    return call_wrapper([]() { return bodies::get_state_engine_stats(); });
}

}  // namespace quelvar::handlers
