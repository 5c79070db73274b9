// Fixed key strings shared by every call: created on first use, interned and
// kept until the process ends, so that a lookup or an insertion neither
// builds nor hashes a string. A caller cannot tell them from fresh strings
// with the same text.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "module/call_error.hpp"

namespace quelvar {

template <std::size_t N>
class InternedStrings {
public:
    // Exactly N texts: a list that leaves one out does not compile.
    template <std::size_t M>
    requires(M == N) constexpr explicit InternedStrings(const char* const (&texts)[M]) {
        for (std::size_t i = 0; i < N; ++i) texts_[i] = texts[i];
    }
    constexpr explicit InternedStrings(const std::array<const char*, N>& texts) : texts_(texts) {}
    // Views of string literals, whose text is followed by its NUL.
    constexpr explicit InternedStrings(const std::array<std::string_view, N>& texts) {
        for (std::size_t i = 0; i < N; ++i) texts_[i] = texts[i].data();
    }

    // The N strings, in the order of the texts. A string the interpreter
    // cannot create is an internal fault.
    PyObject* const* get() {
        if (!ready_) fill();
        return objects_.data();
    }

private:
    void fill() {
        for (std::size_t i = 0; i < N; ++i) {
            if (objects_[i] != nullptr) continue;
            PyObject* created = require_object(PyUnicode_InternFromString(texts_[i])).release();
            // Creating a string may let the interpreter run other code; keep
            // whichever string reached the slot first.
            if (objects_[i] == nullptr) {
                objects_[i] = created;
            } else {
                Py_DECREF(created);
            }
        }
        ready_ = true;
    }

    std::array<const char*, N> texts_{};
    std::array<PyObject*, N> objects_{};
    bool ready_ = false;
};

}  // namespace quelvar
