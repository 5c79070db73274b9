// Reads of str and int objects that need no call into the interpreter, for
// the layouts CPython 3.12 and 3.13 declare in their headers. Each returns
// nothing where the object is not of the plain kind, and the caller then
// takes the general API path, which gives the same answer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace quelvar {

// A compact ASCII str is its own UTF-8: these are the bytes that
// PyUnicode_AsUTF8AndSize would return, without the call. Valid while the
// object lives.
inline std::optional<std::string_view> ascii_view(PyObject* object) noexcept {
    if (!PyUnicode_Check(object) || !PyUnicode_IS_COMPACT_ASCII(object)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
}

// The value of an exact int from 0 to 2^60 - 1 (at most two 30-bit digits),
// read from its digits.
inline std::optional<std::uint64_t> small_unsigned_value(PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PYLONG_BITS_IN_DIGIT == 30
    if (!PyLong_CheckExact(object)) return std::nullopt;
    const _PyLongValue& number = reinterpret_cast<const PyLongObject*>(object)->long_value;
    const std::uintptr_t sign = number.lv_tag & _PyLong_SIGN_MASK;  // 0 positive, 1 zero, 2 negative
    const std::uintptr_t digits = number.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (sign == 1) return 0;
    if (sign != 0 || digits == 0 || digits > 2) return std::nullopt;
    std::uint64_t value = number.ob_digit[0];
    if (digits == 2) value |= static_cast<std::uint64_t>(number.ob_digit[1]) << PyLong_SHIFT;
    return value;
#else
    (void)object;
    return std::nullopt;
#endif
}

}  // namespace quelvar
