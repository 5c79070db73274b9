#include "module/arguments.hpp"

#include <algorithm>
#include <optional>

#include "module/object_views.hpp"
#include "state/ban_table.hpp"

namespace quelvar {
namespace {

// A lying __len__ must not make us reserve more than this many pairs up
// front; a longer list still grows as it is read.
constexpr Py_ssize_t MAX_BAN_LIST_RESERVE = 1 << 16;

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the names whose slot is empty.
std::string quoted_missing(std::span<const std::string_view> names, std::span<PyObject* const> slots,
                           std::size_t missing) {
    std::string out;
    std::size_t listed = 0;
    for (std::size_t p = 0; p < names.size(); ++p) {
        if (slots[p] != nullptr) continue;
        if (listed > 0) {
            if (missing == 2) {
                out += " and ";
            } else {
                out += (listed + 1 == missing) ? ", and " : ", ";
            }
        }
        ++listed;
        out += '\'';
        out += names[p];
        out += '\'';
    }
    return out;
}

std::optional<std::string_view> utf8_view(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace

Status extract_arguments(const char* function, std::span<const std::string_view> names, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t parameter_count = names.size();
    const auto display_name = [&] { return std::string(function) + "()"; };
    std::fill(slots.begin(), slots.end(), nullptr);
    const std::size_t positional = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(positional, parameter_count); ++i) slots[i] = args[i];
    if (positional > parameter_count) {
        return CallError::type_error(display_name() + " takes " + std::to_string(parameter_count) +
                                     " positional arguments but " + std::to_string(positional) +
                                     (positional == 1 ? " was" : " were") + " given");
    }

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::optional<std::string_view> keyword_text = utf8_view(keyword);
        if (!keyword_text) PyErr_Clear();  // an unreadable name matches nothing
        bool matched = false;
        for (std::size_t p = 0; keyword_text && p < parameter_count; ++p) {
            if (*keyword_text != names[p]) continue;
            if (slots[p] != nullptr) {
                return CallError::type_error(display_name() + " got multiple values for argument '" +
                                             std::string(names[p]) + "'");
            }
            slots[p] = args[nargs + k];
            matched = true;
            break;
        }
        if (!matched) {
            return CallError::type_error(display_name() + " got an unexpected keyword argument '" +
                                         display_text(keyword) + "'");
        }
    }

    if (positional < parameter_count) {
        const std::span<PyObject* const> filled = slots.first(parameter_count);
        const std::size_t missing_count = static_cast<std::size_t>(std::count(filled.begin(), filled.end(), nullptr));
        if (missing_count > 0) {
            return CallError::type_error(display_name() + " missing " + std::to_string(missing_count) +
                                         " required positional " + (missing_count == 1 ? "argument" : "arguments") +
                                         ": " + quoted_missing(names, filled, missing_count));
        }
    }
    return success();
}

CallError argument_error(std::string_view name, CallError conversion_error) {
    // Only an exact TypeError gets the prefix; subclasses and every other
    // class reach the caller unchanged.
    if (conversion_error.exception_type() != PyExc_TypeError) return conversion_error;
    std::string message = "argument '" + std::string(name) + "': ";
    py::Owned cause;
    if (conversion_error.is_built()) {
        message += display_text(conversion_error.instance());
        cause = py::Owned::steal(PyException_GetCause(conversion_error.instance()));
    } else {
        message += conversion_error.message();
    }
    py::Owned text =
        require_object(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    py::Owned replacement = require_object(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    // Steals the cause (null included) and marks the context as suppressed.
    PyException_SetCause(replacement.get(), cause.release());
    return CallError::built(std::move(replacement));
}

CallError type_mismatch_error(PyObject* object, std::string_view target) {
    std::string type_name = "<failed to extract type name>";
    py::Owned qualname = py::Owned::steal(PyType_GetQualName(Py_TYPE(object)));
    std::optional<std::string_view> name = qualname ? utf8_view(qualname.get()) : std::nullopt;
    if (name) {
        type_name.assign(*name);
    } else {
        PyErr_Clear();
    }
    return CallError::type_error("'" + type_name + "' object cannot be converted to '" + std::string(target) + "'");
}

Result<std::string_view> to_text(PyObject* object) {
    if (const std::optional<std::string_view> ascii = ascii_view(object)) return *ascii;
    if (!PyUnicode_Check(object)) return type_mismatch_error(object, "PyString");
    std::optional<std::string_view> text = utf8_view(object);
    if (!text) return fetch_expected_error();
    return *text;
}

Result<std::uint64_t> to_u64(PyObject* object) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        if constexpr (sizeof(unsigned long) == sizeof(std::uint64_t)) {
            // PyLong_AsUnsignedLong reads multi-digit ints directly, where the
            // long long variant goes through a byte-array conversion; on any
            // failure the long long variant runs again for its exact error.
            unsigned long quick = PyLong_AsUnsignedLong(object);
            if (quick != static_cast<unsigned long>(-1) || !PyErr_Occurred()) return std::uint64_t{quick};
            PyErr_Clear();
        }
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        py::Owned index = py::Owned::steal(PyNumber_Index(object));
        if (!index) return fetch_expected_error();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fetch_expected_error();
    return static_cast<std::uint64_t>(value);
}

namespace {

// Converts one (address, expires_at) item of a ban list into `bans`.
Status append_ban_pair(BanList& bans, PyObject* item) {
    if (!PyTuple_Check(item)) return type_mismatch_error(item, "PyTuple");
    Py_ssize_t length = PyTuple_GET_SIZE(item);
    if (length != 2) {
        return CallError::value_error("expected tuple of length 2, but got tuple of length " + std::to_string(length));
    }
    Result<std::string_view> address = to_text(PyTuple_GET_ITEM(item, 0));
    if (!address) return std::move(address).error();
    // The view stays valid while the number converts: the tuple, which the
    // caller holds, keeps the str and its UTF-8 buffer alive.
    Result<std::uint64_t> expires_at = to_u64(PyTuple_GET_ITEM(item, 1));
    if (!expires_at) return std::move(expires_at).error();
    bans.append(*address, *expires_at);
    return success();
}

// The common item, an exact 2-tuple of an ASCII str and a small int, read
// without any call into the interpreter; false sends the item to
// append_ban_pair, which converts it or reports its error.
bool append_plain_pair(BanList& bans, PyObject* item) noexcept {
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) return false;
    const std::optional<std::string_view> address = ascii_view(PyTuple_GET_ITEM(item, 0));
    if (!address) return false;
    const std::optional<std::uint64_t> expires_at = small_unsigned_value(PyTuple_GET_ITEM(item, 1));
    if (!expires_at) return false;
    bans.append(*address, *expires_at);
    return true;
}

}  // namespace

Result<BanList> to_ban_list(PyObject* object) {
    if (PyUnicode_Check(object)) return CallError::type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) return type_mismatch_error(object, "Sequence");

    BanList bans(process_ban_hash());
    const bool list_or_tuple = PyList_CheckExact(object) || PyTuple_CheckExact(object);
    // The length of an exact list or tuple is the number of items it holds;
    // any other sequence's __len__ is only a hint.
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        bans.reserve(static_cast<std::size_t>(list_or_tuple ? hint : std::min(hint, MAX_BAN_LIST_RESERVE)));
    }

    if (list_or_tuple) {
        // Read by index exactly as their iterators do. A plain pair runs no
        // Python code, so while plain pairs follow one another the sequence
        // cannot change and its borrowed items cannot go away. Any other item
        // is held while it converts, since its conversion may run hooks that
        // resize the list: its size and items are read again after it.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
            PyObject* const* items = PySequence_Fast_ITEMS(object);
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
            while (i < size && append_plain_pair(bans, items[i])) ++i;
            if (i == size) break;
            py::Owned item = py::Owned::share(items[i]);
            if (Status appended = append_ban_pair(bans, item.get()); !appended) return std::move(appended).error();
        }
        bans.finish();
        return bans;
    }

    py::Owned iterator = py::Owned::steal(PyObject_GetIter(object));
    if (!iterator) return fetch_expected_error();
    while (py::Owned item = py::Owned::steal(PyIter_Next(iterator.get()))) {
        if (Status appended = append_ban_pair(bans, item.get()); !appended) return std::move(appended).error();
    }
    if (PyErr_Occurred()) return fetch_expected_error();
    bans.finish();
    return bans;
}

}  // namespace quelvar
