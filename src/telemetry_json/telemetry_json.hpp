// Telemetry straight from a JSON text: the record the dict decoder would
// build from json.loads of the same text, without a Python object in
// between. Plain C++: no interpreter, so it runs without the interpreter
// lock, and fuzzes on its own.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "kinematics/telemetry_record.hpp"

namespace quelvar {

// Deeper documents are refused. json.loads gives up somewhere above this
// (RecursionError), at a depth that depends on the interpreter and its stack.
inline constexpr std::size_t MAX_JSON_NESTING = 1024;

// Why a text is not JSON, and where: a byte offset into the text and a short
// fixed reason.
struct JsonFailure {
    std::size_t offset;
    std::string_view reason;
    // An integer with more digits than JsonBody::max_int_digits.
    bool digit_limit = false;
};

// The bytes simdjson may read past the end of the text.
inline constexpr std::size_t JSON_PADDING = 64;

struct JsonBody {
    // UTF-8 text, after any byte order mark has been dealt with. The
    // three-byte forms of surrogates are accepted, as json.loads accepts them
    // in bytes (it decodes with "surrogatepass").
    std::string_view text;
    // Bytes readable from text.data() on, at least text.size(). When fewer
    // than simdjson's padding follow the text, the parse works on a padded
    // copy.
    std::size_t readable;
    // Integers with more digits are refused, as int() refuses them (Python's
    // sys.get_int_max_str_digits(); 0: no limit).
    std::size_t max_int_digits;
};

// Fills `record` as decode_telemetry fills it from json.loads(text), field
// for field: the last of duplicate keys wins, keys compare after unescaping,
// numbers convert as the dict path converts Python ints and floats, and a
// top level that is not an object gives the defaults. A text that json.loads
// refuses, or one nested deeper than MAX_JSON_NESTING, gives the failure
// instead (and `record` is unspecified). Thread-safe: no shared state.
std::optional<JsonFailure> decode_telemetry_json(const JsonBody& body, TelemetryRecord& record);

// How many bytes can be read from `data` on, for an object that owns `owned`
// bytes there: `owned`, or beyond it by simdjson's padding when those bytes
// lie on the page of the object's last byte, so that reading them cannot
// fault. The parse never lets their content change its result. Only `owned`
// under AddressSanitizer, which rightly reports such reads.
std::size_t readable_bytes(const void* data, std::size_t owned);

}  // namespace quelvar
