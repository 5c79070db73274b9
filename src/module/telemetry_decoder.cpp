#include "module/telemetry_decoder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "module/interned.hpp"
#include "module/object_views.hpp"

namespace quelvar {
namespace {

// The key strings of telemetry_record.hpp's lists, in their order, and the
// attribute that names a type's module.
InternedStrings<telemetry_key::NAMES.size()> TELEMETRY_KEYS(telemetry_key::NAMES);
InternedStrings<browser_key::NAMES.size()> BROWSER_KEYS(browser_key::NAMES);
InternedStrings<keystroke_key::NAMES.size()> KEYSTROKE_KEYS(keystroke_key::NAMES);
InternedStrings<point_key::NAMES.size()> POINT_KEYS(point_key::NAMES);
InternedStrings<1> MODULE_ATTRIBUTE({"__module__"});

struct Keys {
    PyObject* const* telemetry;
    PyObject* const* browser;
    PyObject* const* keystroke;
    PyObject* const* point;
    PyObject* module_attribute;
};

// An absurd list length must not reserve memory up front; a longer list of
// valid points still grows the buffer as it is read.
constexpr std::size_t MAX_POINT_RESERVE = std::size_t{1} << 16;

// Thrown, with the exception left pending, when a hook raised something
// that is not an Exception; caught only by decode_telemetry. Unwinding
// releases every reference the reads in progress hold.
struct Stopped {};

// Lenient decoding forgives bad data, not a request to stop: an Exception
// (ValueError, OverflowError, MemoryError, ...) is cleared, while
// KeyboardInterrupt, SystemExit and other BaseExceptions end the decoding
// and reach the caller.
void clear_decoding_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw Stopped{};
    PyErr_Clear();
}

// The dictionary's own storage, never a subclass's __getitem__ or
// __missing__. Absent and failed lookups both give null, with the error
// cleared. The value is borrowed: the caller reads it before any code of the
// caller's can run, or takes a strong reference first.
PyObject* dict_get(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) clear_decoding_error();
    return value;
}

// The element at `index` as a strong reference, or null once the list has
// shrunk below it. This is PyList_GetItem's fetch from the list's own storage,
// answering "past the end" without raising and clearing an IndexError.
py::Owned list_item(PyObject* list, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(list)) return py::Owned();
    return py::Owned::share(PyList_GET_ITEM(list, index));
}

// Whether PyFloat_AsDouble has anything to call: a float (or subclass), a
// __float__ or an __index__ slot. Without one it can only fail.
bool has_number_conversion(PyTypeObject* type) {
    if (PyType_IsSubtype(type, &PyFloat_Type)) return true;
    const PyNumberMethods* number = type->tp_as_number;
    return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

// Everything but an exact float: an exact int through PyLong_AsDouble gives
// what PyFloat_AsDouble would (the same value, the same overflow failure)
// without running any code of the caller's. Other values go through
// PyFloat_AsDouble, whose __float__ or __index__ hook may drop the
// container's reference to the value: it is held for the duration.
[[gnu::noinline]] bool to_float_slow(PyObject* value, double& out) {
    double converted;
    if (PyLong_CheckExact(value)) {
        converted = PyLong_AsDouble(value);
    } else if (!has_number_conversion(Py_TYPE(value))) {
        // None, str, dict and the like: PyFloat_AsDouble would only format a
        // TypeError for us to clear.
        return false;
    } else {
        const py::Owned held = py::Owned::share(value);
        converted = PyFloat_AsDouble(held.get());
    }
    if (converted == -1.0 && PyErr_Occurred()) {
        clear_decoding_error();
        return false;
    }
    out = converted;
    return true;
}

// False when the value does not convert; `out` is then left alone. An exact
// float and a small exact int, the usual cases, are read in place.
inline bool to_float(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (const std::optional<double> small = compact_int_as_double(value)) {
        out = *small;
        return true;
    }
    return to_float_slow(value, out);
}

bool has_ascii_text(PyObject* text, const char* expected) {
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// NumPy's boolean scalar type, recognised by its module and name so that the
// module needs NumPy neither to build nor to run.
bool is_numpy_bool_type(PyTypeObject* type, PyObject* module_attribute) {
    const py::Owned name = py::Owned::steal(PyType_GetName(type));
    if (!name) {
        clear_decoding_error();
        return false;
    }
    if (!has_ascii_text(name.get(), "bool_") && !has_ascii_text(name.get(), "bool")) return false;
    const py::Owned module = py::Owned::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), module_attribute));
    if (!module) {
        clear_decoding_error();
        return false;
    }
    return has_ascii_text(module.get(), "numpy");
}

// Only True and False and NumPy boolean scalars; the integers 0 and 1 are not
// flags.
std::optional<bool> to_bool(PyObject* value, PyObject* module_attribute) {
    if (PyBool_Check(value)) return value == Py_True;
    const py::Owned held = py::Owned::share(value);  // keeps its type alive too
    PyTypeObject* type = Py_TYPE(held.get());
    if (!is_numpy_bool_type(type, module_attribute)) return std::nullopt;
    const inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) return std::nullopt;
    const int flag = truth(held.get());
    if (flag < 0) {
        clear_decoding_error();
        return std::nullopt;
    }
    return flag != 0;
}

std::optional<std::int64_t> to_int(PyObject* value) {
    const py::Owned held = py::Owned::share(value);
    const long long converted = PyLong_AsLongLong(held.get());
    if (converted == -1 && PyErr_Occurred()) {
        clear_decoding_error();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(converted);
}

// A present key whose value converts.
inline bool read_float(PyObject* dict, PyObject* key, double& out) {
    PyObject* value = dict_get(dict, key);
    return value != nullptr && to_float(value, out);
}

// A list value (list or subclass) held for the rest of the step, since hooks
// may remove it from the telemetry dictionary; null for anything else.
py::Owned list_value(PyObject* telemetry, PyObject* key) {
    PyObject* value = dict_get(telemetry, key);
    if (value == nullptr || !PyList_Check(value)) return py::Owned();
    return py::Owned::share(value);
}

void decode_browser(PyObject* telemetry, const Keys& keys, BrowserInfo& info) {
    PyObject* found = dict_get(telemetry, keys.telemetry[telemetry_key::browser]);
    if (found == nullptr || !PyDict_Check(found)) return;  // keeps the defaults of an absent browser
    const py::Owned browser = py::Owned::share(found);
    PyObject* b = browser.get();

    // A dictionary without usable screen values reads as no screen at all.
    info.screen_width = 0.0;
    info.screen_valid = false;

    if (PyObject* value = dict_get(b, keys.browser[browser_key::webdriver])) {
        if (std::optional<bool> flag = to_bool(value, keys.module_attribute)) info.webdriver = *flag;
    }
    read_float(b, keys.browser[browser_key::screen_width], info.screen_width);
    // The height only serves this test; a NaN on either side fails it.
    if (double height; read_float(b, keys.browser[browser_key::screen_height], height)) {
        info.screen_valid = info.screen_width > 0 && height > 0;
    }
    if (PyObject* value = dict_get(b, keys.browser[browser_key::touch_supported])) {
        if (std::optional<bool> flag = to_bool(value, keys.module_attribute)) info.touch_supported = *flag;
    }
    if (PyObject* value = dict_get(b, keys.browser[browser_key::plugins_length])) {
        if (std::optional<std::int64_t> plugins = to_int(value)) info.plugins_length = *plugins;
    }
}

// The list object's own element count, never a __len__ override.
std::uint64_t list_count(PyObject* telemetry, PyObject* key) {
    PyObject* value = dict_get(telemetry, key);
    if (value == nullptr || !PyList_Check(value)) return 0;
    return static_cast<std::uint64_t>(PyList_GET_SIZE(value));
}

// The length is read once: elements that hooks append are not visited, and
// positions that hooks removed are skipped.
void decode_keystrokes(PyObject* telemetry, const Keys& keys, std::vector<double>& key_times) {
    const py::Owned list = list_value(telemetry, keys.telemetry[telemetry_key::keystrokes]);
    if (!list) return;
    const Py_ssize_t examined = std::min(PyList_GET_SIZE(list.get()), static_cast<Py_ssize_t>(MAX_KEYSTROKE_ITEMS));
    key_times.reserve(static_cast<std::size_t>(examined));
    for (Py_ssize_t i = 0; i < examined; ++i) {
        const py::Owned element = list_item(list.get(), i);
        if (!element || !PyDict_Check(element.get())) continue;
        for (std::size_t key = 0; key < keystroke_key::NAMES.size(); ++key) {
            double time;
            if (read_float(element.get(), keys.keystroke[key], time) && std::isfinite(time)) {
                key_times.push_back(time);
                break;
            }
        }
    }
}

void decode_movements(PyObject* telemetry, const Keys& keys, std::vector<MousePoint>& points) {
    const py::Owned list = list_value(telemetry, keys.telemetry[telemetry_key::mouse_movements]);
    if (!list) return;
    const Py_ssize_t length = PyList_GET_SIZE(list.get());
    points.reserve(std::min(static_cast<std::size_t>(length), MAX_POINT_RESERVE));
    for (Py_ssize_t i = 0; i < length; ++i) {
        const py::Owned element = list_item(list.get(), i);
        if (!element || !PyDict_Check(element.get())) continue;
        // All three are always looked up and converted, in this order, so
        // that the hooks they may run are the same for every element.
        MousePoint point;
        const bool has_x = read_float(element.get(), keys.point[point_key::x], point.x);
        const bool has_y = read_float(element.get(), keys.point[point_key::y], point.y);
        const bool has_t = read_float(element.get(), keys.point[point_key::t], point.t);
        if (has_x && has_y && has_t && std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.t)) {
            points.push_back(point);
        }
    }
}

}  // namespace

Result<TelemetryRecord> decode_telemetry(py::Borrowed telemetry) {
    TelemetryRecord record;
    PyObject* root = telemetry.get();
    if (!PyDict_Check(root)) return record;
    const Keys keys{TELEMETRY_KEYS.get(), BROWSER_KEYS.get(), KEYSTROKE_KEYS.get(), POINT_KEYS.get(),
                    MODULE_ATTRIBUTE.get()[0]};
    try {
        decode_browser(root, keys, record.browser);
        record.click_count = list_count(root, keys.telemetry[telemetry_key::clicks]);
        record.scroll_count = list_count(root, keys.telemetry[telemetry_key::scrolls]);
        decode_keystrokes(root, keys, record.key_times);
        decode_movements(root, keys, record.mouse_points);
    } catch (const Stopped&) {
        return fetch_expected_error();
    }
    return record;
}

}  // namespace quelvar
