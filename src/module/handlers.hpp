// The interpreter-facing handler of each function, made from its parameter
// list and its body: match the arguments, convert each as the body's
// parameter type asks, run the body.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "module/arguments.hpp"
#include "module/call_wrapper.hpp"
#include "module/object_views.hpp"
#include "state/ban_list.hpp"

namespace quelvar::handlers {
namespace detail {

template <class Body>
struct BodyTraits;
template <class... Parameters>
struct BodyTraits<Result<py::Owned> (*)(Parameters...)> {
    using ParameterTypes = std::tuple<Parameters...>;
};

template <auto Body, std::size_t I>
using ParameterType = std::tuple_element_t<I, typename BodyTraits<decltype(Body)>::ParameterTypes>;

template <auto Body>
inline constexpr std::size_t ARITY = std::tuple_size_v<typename BodyTraits<decltype(Body)>::ParameterTypes>;

inline Result<PyObject*> as_object(PyObject* object) { return object; }

// The conversion of an argument for a body parameter of type Parameter;
// a parameter of any other type does not compile.
template <class Parameter>
constexpr auto conversion() {
    if constexpr (std::is_same_v<Parameter, PyObject*>) {
        return as_object;  // the object itself, unconverted
    } else if constexpr (std::is_same_v<Parameter, std::string_view>) {
        return to_text;
    } else if constexpr (std::is_same_v<Parameter, std::uint64_t>) {
        return to_u64;
    } else {
        static_assert(std::is_same_v<Parameter, const BanList&>, "no conversion for this body parameter type");
        return to_ban_list;
    }
}

// Converts the arguments in parameter order, each held while the next
// converts; the first failure is the call's error.
template <const auto& Function, auto Body, class... Converted>
Result<py::Owned> convert_and_run(const std::array<PyObject*, ARITY<Body>>& slots, Converted&... converted) {
    constexpr std::size_t i = sizeof...(Converted);
    if constexpr (i == ARITY<Body>) {
        return Body(converted...);
    } else {
        auto value = convert_argument(Function.names[i], slots[i], conversion<ParameterType<Body, i>>());
        if (!value) return std::move(value).error();
        return convert_and_run<Function, Body>(slots, converted..., *value);
    }
}

template <const auto& Function, auto Body>
PyObject* handle_in_general(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper([&]() -> Result<py::Owned> {
        std::array<PyObject*, ARITY<Body>> slots;
        if (Status matched = extract_arguments(Function.name, Function.names, args, nargs, kwnames, slots); !matched) {
            return std::move(matched).error();
        }
        return convert_and_run<Function, Body>(slots);
    });
}

// Matching and converting in general is a call of its own where a usual
// call skips it, so that the usual call does not pay for its frame.
template <const auto& Function, auto Body>
[[gnu::noinline]] PyObject* handle_in_general_outlined(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_in_general<Function, Body>(args, nargs, kwnames);
}

}  // namespace detail

// METH_NOARGS: the interpreter has refused any argument already.
template <auto Body>
PyObject* handle_no_arguments(PyObject*, PyObject*) {
    static_assert(detail::ARITY<Body> == 0);
    return call_wrapper(Body);
}

// METH_FASTCALL | METH_KEYWORDS.
template <const auto& Function, auto Body>
PyObject* handle_arguments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(detail::ARITY<Body> == Function.names.size(), "one body parameter per listed parameter name");
    if constexpr (detail::ARITY<Body> == 1 && std::is_same_v<detail::ParameterType<Body, 0>, std::string_view>) {
        // The usual call of a text function, one positional ASCII str, has
        // nothing to match and is its own UTF-8: straight to the body.
        if (nargs == 1 && kwnames == nullptr) {
            if (const std::optional<std::string_view> text = ascii_view(args[0])) {
                return call_wrapper([text = *text]() { return Body(text); });
            }
        }
        return detail::handle_in_general_outlined<Function, Body>(args, nargs, kwnames);
    } else {
        return detail::handle_in_general<Function, Body>(args, nargs, kwnames);
    }
}

}  // namespace quelvar::handlers
