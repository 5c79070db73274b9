// The name and parameters of every function, declared once: argument
// matching, its error messages, the function table and the text signatures
// that inspect.signature reads are all derived from these.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "module/arguments.hpp"

namespace quelvar::functions {

inline constexpr ParameterSpec IS_RUST_CORE_ACTIVE{"is_rust_core_active", {}, 0};
inline constexpr ParameterSpec GET_CORE_VERSION{"get_core_version", {}, 0};
inline constexpr ParameterSpec EXTRACT_FEATURES{"extract_features_rs", {"telemetry"}, 1};
inline constexpr ParameterSpec CONSUME_NONCE{"consume_nonce_rs", {"nonce"}, 1};
inline constexpr ParameterSpec IS_IP_BANNED{"is_ip_banned_rs", {"ip"}, 1};
inline constexpr ParameterSpec BAN_IP{"ban_ip_rs", {"ip", "duration_sec"}, 2};
inline constexpr ParameterSpec UNBAN_IP{"unban_ip_rs", {"ip"}, 1};
inline constexpr ParameterSpec HYDRATE_BANS{"hydrate_bans_rs", {"bans"}, 1};
inline constexpr ParameterSpec CLEAR_STATE_ENGINE{"clear_state_engine_rs", {}, 0};
inline constexpr ParameterSpec GET_STATE_ENGINE_STATS{"get_state_engine_stats_rs", {}, 0};
inline constexpr ParameterSpec EXTRACT_FEATURES_JSON{"extract_features_json_rs", {"body"}, 1};
inline constexpr ParameterSpec EXTRACT_EVIDENCE_JSON{"extract_evidence_json_rs", {"body"}, 1};

namespace detail {

inline constexpr std::string_view SIGNATURE_END = ")\n--\n\n";

template <const ParameterSpec& Function>
consteval std::size_t text_signature_size() {
    std::size_t size = std::string_view(Function.name).size() + 1 + SIGNATURE_END.size() + 1;
    for (std::size_t i = 0; i < Function.count; ++i) size += Function.names[i].size() + (i > 0 ? 2 : 0);
    return size;
}

}  // namespace detail

// "ban_ip_rs(ip, duration_sec)\n--\n\n", NUL-terminated: the doc string
// from which the interpreter reads the function's signature.
template <const ParameterSpec& Function>
inline constexpr auto TEXT_SIGNATURE = [] {
    std::array<char, detail::text_signature_size<Function>()> text{};
    std::size_t at = 0;
    auto append = [&](std::string_view part) {
        for (char c : part) text[at++] = c;
    };
    append(Function.name);
    append("(");
    for (std::size_t i = 0; i < Function.count; ++i) {
        if (i > 0) append(", ");
        append(Function.names[i]);
    }
    append(detail::SIGNATURE_END);
    return text;
}();

static_assert(std::string_view(TEXT_SIGNATURE<BAN_IP>.data()) == "ban_ip_rs(ip, duration_sec)\n--\n\n");

}  // namespace quelvar::functions
