// Matching of vector-call arguments to parameters, and the strict argument
// conversions with their exact error messages.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "module/result.hpp"
#include "state/ban_list.hpp"

namespace quelvar {

// A function's name and parameters, as many as it lists. Every parameter of
// the module is required and positional-or-keyword.
template <std::size_t Count>
struct ParameterSpec {
    template <class... Names>
    consteval ParameterSpec(const char* function, Names... parameters) : name(function), names{parameters...} {}

    const char* name;  // "ban_ip_rs"
    std::array<std::string_view, Count> names;
};
template <class... Names>
ParameterSpec(const char*, Names...) -> ParameterSpec<sizeof...(Names)>;

// Fills one borrowed slot per parameter name, or fails with the
// interpreter's usual TypeError wording.
Status extract_arguments(const char* function, std::span<const std::string_view> names, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The error the caller sees for a failed conversion of parameter `name`.
CallError argument_error(std::string_view name, CallError conversion_error);

// TypeError "'{type}' object cannot be converted to '{target}'".
CallError type_mismatch_error(PyObject* object, std::string_view target);

// A view of the str's own cached UTF-8 buffer, valid while the object lives.
Result<std::string_view> to_text(PyObject* object);
Result<std::uint64_t> to_u64(PyObject* object);
// The whole sequence of (str, int) tuples, or the first error (all or nothing).
Result<BanList> to_ban_list(PyObject* object);

// Converts one argument, putting the parameter name on its error.
template <class Convert>
auto convert_argument(std::string_view name, PyObject* object, Convert convert) -> decltype(convert(object)) {
    auto converted = convert(object);
    if (!converted) return argument_error(name, std::move(converted).error());
    return converted;
}

}  // namespace quelvar
