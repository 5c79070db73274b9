// Errors are values: every boundary step returns its value or a CallError,
// and only the call wrapper raises.
#pragma once

#include <utility>
#include <variant>

#include "module/call_error.hpp"

namespace quelvar {

struct Unit {};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CallError error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& operator*() & { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    CallError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, CallError> state_;
};

using Status = Result<Unit>;
inline Status success() { return Unit{}; }

}  // namespace quelvar
