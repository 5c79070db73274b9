// extract_features_json_rs and extract_evidence_json_rs: the telemetry as a
// JSON body. The argument becomes UTF-8 text that nothing can change (a bytes
// object, a str's UTF-8, or a copy made here), the interpreter lock is
// released, and the text is parsed and the features (and moves) computed on
// plain data; the feature dictionary is the one extract_features_rs builds.
#include <cstring>
#include <memory>
#include <string>

#include "kinematics/evidence.hpp"
#include "kinematics/feature_vector.hpp"
#include "module/arguments.hpp"
#include "module/bodies.hpp"
#include "module/evidence_result.hpp"
#include "module/feature_dict.hpp"
#include "telemetry_json/telemetry_json.hpp"

namespace quelvar {
namespace {

// Python refuses longer integers only when asked to (int() has a limit of at
// least this many digits, or none); a body whose integers are all this short
// needs no look at the limit.
constexpr std::size_t SMALLEST_INT_DIGIT_LIMIT = 640;

// The body as UTF-8 text, with whatever keeps its bytes alive and unchanged.
struct BodyText {
    std::string_view text;
    std::size_t readable = 0;
    py::Owned keeper;              // a bytes object made here, or the argument
    std::unique_ptr<char[]> copy;  // a mutable buffer's bytes, copied
};

CallError body_type_error(PyObject* body) {
    const char* name = Py_TYPE(body)->tp_name;
    return CallError::type_error(
        std::string("argument 'body': expected bytes, bytearray, memoryview, another contiguous byte buffer or str, "
                    "not '") +
        name + "'");
}

// The encoding json.loads assumes for bytes (json.detect_encoding); null for
// UTF-8, where `bom` then says how many leading bytes a UTF-8 byte order mark
// takes.
const char* detected_encoding(const unsigned char* b, std::size_t n, std::size_t& bom) {
    bom = 0;
    auto starts = [&](std::initializer_list<unsigned char> prefix) {
        return n >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b);
    };
    if (starts({0x00, 0x00, 0xFE, 0xFF}) || starts({0xFF, 0xFE, 0x00, 0x00})) return "utf-32";
    if (starts({0xFE, 0xFF}) || starts({0xFF, 0xFE})) return "utf-16";
    if (starts({0xEF, 0xBB, 0xBF})) {
        bom = 3;
        return nullptr;
    }
    if (n >= 4) {
        if (b[0] == 0) return b[1] != 0 ? "utf-16-be" : "utf-32-be";
        if (b[1] == 0) return b[2] != 0 || b[3] != 0 ? "utf-16-le" : "utf-32-le";
    } else if (n == 2) {
        if (b[0] == 0) return "utf-16-be";
        if (b[1] == 0) return "utf-16-le";
    }
    return nullptr;
}

// A str's UTF-8. One holding lone surrogates has none; json.loads reads it
// all the same, so it is encoded as their three-byte forms, which the parse
// accepts.
Result<BodyText> str_text(PyObject* text) {
    BodyText body;
    Py_ssize_t size;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        body.text = std::string_view(utf8, static_cast<std::size_t>(size));
        body.readable = readable_bytes(utf8, body.text.size() + 1);  // and its NUL
        return body;
    }
    PyErr_Clear();
    body.keeper = py::Owned::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!body.keeper) return fetch_expected_error();
    body.text = std::string_view(PyBytes_AS_STRING(body.keeper.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(body.keeper.get())));
    body.readable = readable_bytes(body.text.data(), body.text.size() + 1);
    return body;
}

// Bytes in any of the encodings json.loads detects: UTF-8 (a byte order mark
// skipped) as they are, the others decoded as json.loads decodes them.
Result<BodyText> bytes_text(BodyText body) {
    std::size_t bom;
    const char* encoding =
        detected_encoding(reinterpret_cast<const unsigned char*>(body.text.data()), body.text.size(), bom);
    if (encoding == nullptr) {
        body.text.remove_prefix(bom);
        body.readable -= bom;
        return body;
    }
    py::Owned decoded = py::Owned::steal(
        PyUnicode_Decode(body.text.data(), static_cast<Py_ssize_t>(body.text.size()), encoding, "surrogatepass"));
    if (!decoded) return fetch_expected_error();
    Result<BodyText> text = str_text(decoded.get());
    if (text && !text->keeper) text->keeper = std::move(decoded);  // owns the UTF-8 viewed
    return text;
}

Result<BodyText> to_body_text(PyObject* body) {
    if (PyBytes_Check(body)) {
        BodyText text;
        text.text = std::string_view(PyBytes_AS_STRING(body), static_cast<std::size_t>(PyBytes_GET_SIZE(body)));
        text.readable = readable_bytes(text.text.data(), text.text.size() + 1);  // and its NUL
        return bytes_text(std::move(text));
    }
    if (PyUnicode_Check(body)) return str_text(body);
    if (!PyObject_CheckBuffer(body)) return body_type_error(body);
    // Any other buffer may change while the lock is released: its bytes are
    // copied first, with the padding the parse wants.
    Py_buffer view;
    if (PyObject_GetBuffer(body, &view, PyBUF_SIMPLE) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) return fetch_expected_error();
        PyErr_Clear();
        return body_type_error(body);
    }
    const std::size_t size = static_cast<std::size_t>(view.len);
    BodyText text;
    text.copy = std::make_unique_for_overwrite<char[]>(size + JSON_PADDING);
    std::memcpy(text.copy.get(), view.buf, size);
    std::memset(text.copy.get() + size, 0, JSON_PADDING);
    PyBuffer_Release(&view);
    text.text = std::string_view(text.copy.get(), size);
    text.readable = size + JSON_PADDING;
    return bytes_text(std::move(text));
}

// The interpreter's limit on the digits of an int read from text.
Result<std::size_t> int_digit_limit() {
    PyObject* getter = PySys_GetObject("get_int_max_str_digits");
    if (getter == nullptr) return std::size_t{0};
    const py::Owned limit = py::Owned::steal(PyObject_CallNoArgs(getter));
    if (!limit) return fetch_expected_error();
    const Py_ssize_t digits = PyLong_AsSsize_t(limit.get());
    if (digits < 0) {
        if (PyErr_Occurred()) return fetch_expected_error();
        return std::size_t{0};
    }
    return static_cast<std::size_t>(digits);
}

// Parses and computes without the interpreter lock: the text belongs to
// `body` for the whole call and nothing else can change it.
template <class Computed, class Compute>
std::optional<JsonFailure> decode_and_compute(const JsonBody& body, Computed& computed, Compute compute) {
    std::optional<JsonFailure> failure;
    Py_BEGIN_ALLOW_THREADS TelemetryRecord record;
    failure = decode_telemetry_json(body, record);
    if (!failure) computed = compute(record);
    Py_END_ALLOW_THREADS return failure;
}

// What `compute` makes of the telemetry in `body`, or the error to raise.
template <class Computed, class Compute>
Result<Computed> compute_from_body(PyObject* body, Compute compute) {
    Result<BodyText> text = to_body_text(body);
    if (!text) return std::move(text).error();
    JsonBody json{text->text, text->readable, SMALLEST_INT_DIGIT_LIMIT};
    Computed computed;
    std::optional<JsonFailure> failure = decode_and_compute(json, computed, compute);
    if (failure && failure->digit_limit) {
        // Rare: an integer long enough for the interpreter's own limit to
        // decide. Parsed again under that limit.
        Result<std::size_t> limit = int_digit_limit();
        if (!limit) return std::move(limit).error();
        if (*limit == 0 || *limit > SMALLEST_INT_DIGIT_LIMIT) {
            json.max_int_digits = *limit;
            failure = decode_and_compute(json, computed, compute);
        }
    }
    if (failure) {
        return CallError::value_error("invalid JSON body at byte " + std::to_string(failure->offset) + ": " +
                                      std::string(failure->reason));
    }
    return computed;
}

}  // namespace

namespace bodies {

Result<py::Owned> extract_features_json(PyObject* body) {
    Result<FeatureVector> features =
        compute_from_body<FeatureVector>(body, [](const TelemetryRecord& record) { return compute_features(record); });
    if (!features) return std::move(features).error();
    return build_feature_dict(*features);
}

Result<py::Owned> extract_evidence_json(PyObject* body) {
    Result<Evidence> evidence = compute_from_body<Evidence>(body, compute_evidence);
    if (!evidence) return std::move(evidence).error();
    return build_evidence_result(*evidence);
}

}  // namespace bodies
}  // namespace quelvar
