// The module's functions, declared once: the parameter lists, the argument
// matching and its error messages, the conversions, the function table and
// the text signatures that inspect.signature reads all derive from the list
// below.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "module/arguments.hpp"
#include "module/bodies.hpp"

namespace quelvar::functions {

// The one list of the functions, in registration (and __all__) order:
// X(name, body, parameter names...). A function without parameters takes
// METH_NOARGS, any other METH_FASTCALL | METH_KEYWORDS; the body's parameter
// types choose the conversion of each argument (handlers.hpp). A new
// function is an entry here, its body (declared in bodies.hpp), its stub and
// its section in the README; the tests read the names from the stub.
#define QUELVAR_FUNCTIONS(X)                                           \
    X(is_rust_core_active, bodies::is_rust_core_active)                \
    X(get_core_version, bodies::get_core_version)                      \
    X(extract_features_rs, bodies::extract_features, "telemetry")      \
    X(consume_nonce_rs, bodies::consume_nonce, "nonce")                \
    X(is_ip_banned_rs, bodies::is_ip_banned, "ip")                     \
    X(ban_ip_rs, bodies::ban_ip, "ip", "duration_sec")                 \
    X(unban_ip_rs, bodies::unban_ip, "ip")                             \
    X(hydrate_bans_rs, bodies::hydrate_bans, "bans")                   \
    X(clear_state_engine_rs, bodies::clear_state_engine)               \
    X(get_state_engine_stats_rs, bodies::get_state_engine_stats)       \
    X(extract_features_json_rs, bodies::extract_features_json, "body") \
    X(extract_evidence_json_rs, bodies::extract_evidence_json, "body")

// functions::ban_ip_rs: {"ban_ip_rs", {"ip", "duration_sec"}}.
#define QUELVAR_FUNCTION_PARAMETERS(name, body, ...) \
    inline constexpr ParameterSpec name{#name __VA_OPT__(, ) __VA_ARGS__};
QUELVAR_FUNCTIONS(QUELVAR_FUNCTION_PARAMETERS)
#undef QUELVAR_FUNCTION_PARAMETERS

namespace detail {

inline constexpr std::string_view SIGNATURE_END = ")\n--\n\n";

template <const auto& Function>
consteval std::size_t text_signature_size() {
    std::size_t size = std::string_view(Function.name).size() + 1 + SIGNATURE_END.size() + 1;
    for (std::size_t i = 0; i < Function.names.size(); ++i) size += Function.names[i].size() + (i > 0 ? 2 : 0);
    return size;
}

}  // namespace detail

// "ban_ip_rs(ip, duration_sec)\n--\n\n", NUL-terminated: the doc string
// from which the interpreter reads the function's signature.
template <const auto& Function>
inline constexpr auto TEXT_SIGNATURE = [] {
    std::array<char, detail::text_signature_size<Function>()> text{};
    std::size_t at = 0;
    auto append = [&](std::string_view part) {
        for (char c : part) text[at++] = c;
    };
    append(Function.name);
    append("(");
    for (std::size_t i = 0; i < Function.names.size(); ++i) {
        if (i > 0) append(", ");
        append(Function.names[i]);
    }
    append(detail::SIGNATURE_END);
    return text;
}();

static_assert(std::string_view(TEXT_SIGNATURE<ban_ip_rs>.data()) == "ban_ip_rs(ip, duration_sec)\n--\n\n");

}  // namespace quelvar::functions
