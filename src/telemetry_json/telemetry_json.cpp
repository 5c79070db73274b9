#include "telemetry_json/telemetry_json.hpp"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <utility>

#include "telemetry_json/json_tokens.hpp"

namespace quelvar {
namespace {

namespace od = simdjson::ondemand;
using json::Scalar;
using json::ShortKey;
using json::TokenError;
using json::TokenKind;

// The smallest page size of the targets: a larger page only makes the
// same-page test more conservative.
constexpr std::uintptr_t PAGE_SIZE = 4096;
static_assert(JSON_PADDING == simdjson::SIMDJSON_PADDING);

// The smallest element that can hold a usable point, {"x":0,"y":0,"t":0},
// and its comma: the body's size bounds the number of points by this.
constexpr std::size_t SMALLEST_POINT_BYTES = 20;

// simdjson's messages, shortened to the reasons json.loads would give.
const char* short_reason(simdjson::error_code code) {
    switch (code) {
        case simdjson::TAPE_ERROR: return "invalid structure";
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT: return "unclosed object or array";
        case simdjson::UNCLOSED_STRING: return "unterminated string";
        case simdjson::UNESCAPED_CHARS: return "invalid control character in string";
        case simdjson::EMPTY: return "expecting value";
        case simdjson::UTF8_ERROR: return "invalid UTF-8";
        case simdjson::CAPACITY: return "body too large";
        case simdjson::DEPTH_ERROR: return "nesting too deep";
        default: return simdjson::error_message(code);
    }
}

// A field's value as the dict path would meet it: absent, or a scalar, or a
// container (which no conversion accepts).
struct Slot {
    bool present = false;
    Scalar scalar;
};

// A number field that only serves as a float: NaN stands for absent, for a
// value that does not convert and for a NaN, which all drop the item alike.
constexpr double UNUSABLE = std::numeric_limits<double>::quiet_NaN();

// Where no field name matched.
constexpr std::size_t OTHER_KEY = static_cast<std::size_t>(-1);

// The names each object is read for (telemetry_record.hpp); a key's index
// in its list picks what the value fills.
constexpr std::array<std::string_view, 0> NO_KEYS{};

class Walker {
public:
    Walker(od::document& document, const char* begin, std::size_t size, std::size_t max_int_digits)
        : document_(document), begin_(begin), end_(begin + size), max_int_digits_(max_int_digits) {}

    bool decode(TelemetryRecord& record);
    const JsonFailure& failure() const { return failure_; }

private:
    bool fail(const char* at, const char* reason) {
        failure_ = {static_cast<std::size_t>(at - begin_), reason};
        return false;
    }
    bool fail(const TokenError& error) {
        fail(error.at, error.reason);
        failure_.digit_limit = error.digit_limit;
        return false;
    }
    bool fail(simdjson::error_code code) {
        const char* at = end_;
        if (document_.current_location().get(at) != simdjson::SUCCESS) at = end_;
        return fail(at, short_reason(code));
    }

    // The exact route: the token classified as Python's json would read it.
    bool read(od::value& value, std::size_t depth, Slot& slot);
    bool skip(od::value& value, std::size_t depth);
    // The value as the dict path's float conversion gives it, or UNUSABLE.
    bool read_float(od::value& value, std::size_t depth, double& out);
    // Which of `names` the key starting at `raw` (after its quote) is, or
    // OTHER_KEY, as a dict compares keys: after unescaping.
    template <const auto& names>
    bool key_index(const char* raw, std::size_t& index);
    bool escaped_key_index(const char* raw, std::span<const std::string_view> names, std::size_t& index);

    // Calls on_field(index of the key in `names`, value) for each field, in
    // text order: a later duplicate overwrites what an earlier one set, as in
    // a dict.
    template <const auto& names, class OnField>
    bool fields(od::value& value, std::size_t depth, OnField&& on_field);
    template <class OnElement>
    bool elements(od::value& value, std::size_t depth, OnElement&& on_element);

    bool decode_root(od::value& root);
    bool decode_browser(od::value& value, BrowserInfo& info);
    bool count_elements(od::value& value, std::uint64_t& count);
    bool decode_keystrokes(od::value& value, std::vector<double>& key_times);
    bool decode_movements(od::value& value, std::vector<MousePoint>& points);

    od::document& document_;
    const char* begin_;
    const char* end_;
    std::size_t max_int_digits_;
    TelemetryRecord* record_ = nullptr;
    JsonFailure failure_{0, ""};
};

bool Walker::read(od::value& value, std::size_t depth, Slot& slot) {
    const std::string_view token = value.raw_json_token();
    slot.present = true;
    if (!token.empty() && (token.front() == '{' || token.front() == '[')) {
        slot.scalar = {token.front() == '{' ? TokenKind::Object : TokenKind::Array, {}};
        return skip(value, depth);
    }
    TokenError error;
    if (!json::scan_scalar(token.data(), token.data() + token.size(), max_int_digits_, slot.scalar, error)) {
        return fail(error);
    }
    return true;
}

// Every value is read whole, whether the decoder needs it or not:
// On-Demand would skip an unread value without checking it.
bool Walker::skip(od::value& value, std::size_t depth) {
    const std::string_view token = value.raw_json_token();
    if (!token.empty()) {
        auto skip_inner = [&](std::size_t, od::value& inner) { return skip(inner, depth + 1); };
        if (token.front() == '{') return fields<NO_KEYS>(value, depth, skip_inner);
        if (token.front() == '[') return elements(value, depth, skip_inner);
        // Stage 1 has checked a string's UTF-8 and control characters: one
        // without escapes is valid if nothing but whitespace follows it.
        if (token.front() == '"') {
            const char* p = token.data() + 1;
            while (*p != '"' && *p != '\\') ++p;
            if (*p == '"' && std::all_of(p + 1, token.data() + token.size(), json::is_whitespace)) return true;
        }
        // The usual number checks its grammar and end on the way, its value
        // coming cheap; any other token is only classified: a long number's
        // value, never needed here, is not computed.
        double number;
        if (json::short_number(token.data(), number)) return true;
    }
    Slot ignored;
    return read(value, depth, ignored);
}

bool Walker::read_float(od::value& value, std::size_t depth, double& out) {
    // The usual number is read here and left for the iterator to step over;
    // any other token is classified and converted in time linear in its
    // text (json::decimal_to_double), never by a general parser whose cost
    // a client could choose.
    if (json::short_number(value.raw_json_token().data(), out)) return true;
    Slot slot;
    if (!read(value, depth, slot)) return false;
    const std::optional<double> converted = json::to_float(slot.scalar);
    out = converted ? *converted : UNUSABLE;
    return true;
}

template <const auto& names>
bool Walker::key_index(const char* raw, std::size_t& index) {
    // The decoder's names hold no quote or backslash: a raw match followed
    // by the closing quote is the key. The text is padded, so reading a
    // name's length past a shorter key stays inside the buffer.
    bool matched = false;
    [&]<std::size_t... i>(std::index_sequence<i...>) {
        ((matched = matched || (std::memcmp(raw, names[i].data(), names[i].size()) == 0 &&
                                raw[names[i].size()] == '"' && (index = i, true))),
         ...);
    }
    (std::make_index_sequence<std::size(names)>());
    if (matched) return true;
    index = OTHER_KEY;
    // Stage 1 has checked the UTF-8 and the control characters of every
    // string; only escapes are left to check, and they may spell a name.
    const char* p = raw;
    while (*p != '"' && *p != '\\') ++p;
    return *p == '"' || escaped_key_index(raw, names, index);
}

bool Walker::escaped_key_index(const char* raw, std::span<const std::string_view> names, std::size_t& index) {
    ShortKey key;
    TokenError error;
    if (json::scan_string(raw, end_, &key, error) == nullptr) return fail(error);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (key.view() == names[i]) index = i;
    }
    return true;
}

template <const auto& names, class OnField>
bool Walker::fields(od::value& value, std::size_t depth, OnField&& on_field) {
    if (depth > MAX_JSON_NESTING) return fail(value.raw_json_token().data(), "nesting too deep");
    od::object object;
    if (const auto code = value.get_object().get(object)) return fail(code);
    // The field and the element are used where the iterator built them: a
    // copy reads back what was just stored in narrower pieces, which stalls.
    for (auto entry : object) {
        if (const auto code = entry.error()) return fail(code);
        od::field& field = entry.value_unsafe();
        std::size_t index;
        if (!key_index<names>(field.key().raw(), index)) return false;
        if (!on_field(index, field.value())) return false;
    }
    return true;
}

template <class OnElement>
bool Walker::elements(od::value& value, std::size_t depth, OnElement&& on_element) {
    if (depth > MAX_JSON_NESTING) return fail(value.raw_json_token().data(), "nesting too deep");
    od::array array;
    if (const auto code = value.get_array().get(array)) return fail(code);
    std::size_t index = 0;
    for (auto entry : array) {
        if (const auto code = entry.error()) return fail(code);
        if (!on_element(index++, entry.value_unsafe())) return false;
    }
    return true;
}

bool is_object(od::value& value) {
    const std::string_view token = value.raw_json_token();
    return !token.empty() && token.front() == '{';
}

bool is_array(od::value& value) {
    const std::string_view token = value.raw_json_token();
    return !token.empty() && token.front() == '[';
}

// Depths below: the root object is at depth 1, its values at 2, the
// elements of its lists at 3 and their values at 4.
bool Walker::decode_browser(od::value& value, BrowserInfo& info) {
    info = BrowserInfo{};
    if (!is_object(value)) return skip(value, 2);
    Slot slots[browser_key::NAMES.size()];
    const bool read_all = fields<browser_key::NAMES>(value, 2, [&](std::size_t key, od::value& v) {
        if (key == OTHER_KEY) return skip(v, 3);
        slots[key] = Slot{};
        if (!read(v, 3, slots[key])) return false;
        if (key == browser_key::webdriver) {
            ++record_->webdriver_keys;
            if (slots[key].scalar.kind != TokenKind::False) record_->webdriver_not_false = true;
        }
        return true;
    });
    if (!read_all) return false;
    const Slot& webdriver = slots[browser_key::webdriver];
    const Slot& width = slots[browser_key::screen_width];
    const Slot& height = slots[browser_key::screen_height];
    const Slot& touch = slots[browser_key::touch_supported];
    const Slot& plugins = slots[browser_key::plugins_length];
    // A dictionary without usable screen values reads as no screen at all.
    info.screen_width = 0.0;
    info.screen_valid = false;
    if (webdriver.present) {
        if (const auto flag = json::to_bool(webdriver.scalar)) info.webdriver = *flag;
    }
    if (width.present) {
        if (const auto w = json::to_float(width.scalar)) info.screen_width = *w;
    }
    if (height.present) {
        if (const auto h = json::to_float(height.scalar)) info.screen_valid = info.screen_width > 0 && *h > 0;
    }
    if (touch.present) {
        if (const auto flag = json::to_bool(touch.scalar)) info.touch_supported = *flag;
    }
    if (plugins.present) {
        if (const auto count = json::to_int(plugins.scalar)) info.plugins_length = *count;
    }
    return true;
}

bool Walker::count_elements(od::value& value, std::uint64_t& count) {
    count = 0;
    if (!is_array(value)) return skip(value, 2);
    return elements(value, 2, [&](std::size_t, od::value& v) {
        ++count;
        return skip(v, 3);
    });
}

bool Walker::decode_keystrokes(od::value& value, std::vector<double>& key_times) {
    key_times.clear();
    if (!is_array(value)) return skip(value, 2);
    return elements(value, 2, [&](std::size_t index, od::value& v) {
        if (index >= MAX_KEYSTROKE_ITEMS || !is_object(v)) return skip(v, 3);
        std::array<double, keystroke_key::NAMES.size()> times;
        times.fill(UNUSABLE);
        const bool read_all = fields<keystroke_key::NAMES>(v, 3, [&](std::size_t key, od::value& field) {
            if (key == OTHER_KEY) return skip(field, 4);
            return read_float(field, 4, times[key]);
        });
        if (!read_all) return false;
        for (const double when : times) {
            if (std::isfinite(when)) {
                key_times.push_back(when);
                break;
            }
        }
        return true;
    });
}

bool Walker::decode_movements(od::value& value, std::vector<MousePoint>& points) {
    points.clear();
    if (!is_array(value)) return skip(value, 2);
    points.reserve(static_cast<std::size_t>(end_ - begin_) / SMALLEST_POINT_BYTES + 1);
    return elements(value, 2, [&](std::size_t, od::value& v) {
        if (!is_object(v)) return skip(v, 3);
        std::array<double, point_key::NAMES.size()> xyt;
        xyt.fill(UNUSABLE);
        const bool read_all = fields<point_key::NAMES>(v, 3, [&](std::size_t key, od::value& field) {
            if (key == OTHER_KEY) return skip(field, 4);
            return read_float(field, 4, xyt[key]);
        });
        if (!read_all) return false;
        const MousePoint point{xyt[point_key::x], xyt[point_key::y], xyt[point_key::t]};
        if (std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.t)) points.push_back(point);
        return true;
    });
}

bool Walker::decode_root(od::value& root) {
    TelemetryRecord& record = *record_;
    return fields<telemetry_key::NAMES>(root, 1, [&](std::size_t key, od::value& value) {
        switch (key) {
            case telemetry_key::browser: return decode_browser(value, record.browser);
            case telemetry_key::clicks: return count_elements(value, record.click_count);
            case telemetry_key::scrolls: return count_elements(value, record.scroll_count);
            case telemetry_key::keystrokes: return decode_keystrokes(value, record.key_times);
            case telemetry_key::mouse_movements: return decode_movements(value, record.mouse_points);
            default: return skip(value, 2);
        }
    });
}

bool Walker::decode(TelemetryRecord& record) {
    record_ = &record;
    std::string_view token;
    if (const auto code = document_.raw_json_token().get(token)) return fail(code);
    if (!token.empty() && (token.front() == '{' || token.front() == '[')) {
        od::value root;
        if (const auto code = document_.get_value().get(root)) return fail(code);
        // A list at the top gives the defaults, like any argument that is
        // not a dict, but must still be valid.
        if (!(token.front() == '{' ? decode_root(root) : skip(root, 1))) return false;
    } else {
        Scalar scalar;
        TokenError error;
        if (!json::scan_scalar(token.data(), token.data() + token.size(), max_int_digits_, scalar, error)) {
            return fail(error);
        }
        // The token runs to the next structural character: one that is
        // not the end means more follows.
        if (token.data() + token.size() != end_) return fail(token.data() + token.size(), "extra data");
        return true;
    }
    // Past the last token the location is out of bounds; any other answer
    // is where more text follows.
    const char* rest;
    if (document_.current_location().get(rest) == simdjson::SUCCESS) return fail(rest, "extra data");
    return true;
}

struct PaddedCopy {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

PaddedCopy padded_copy(std::string_view text) {
    PaddedCopy copy{std::make_unique_for_overwrite<char[]>(text.size() + simdjson::SIMDJSON_PADDING), text.size()};
    std::memcpy(copy.bytes.get(), text.data(), text.size());
    std::memset(copy.bytes.get() + text.size(), 0, simdjson::SIMDJSON_PADDING);
    return copy;
}

// The three-byte forms of U+D800 to U+DFFF (ED A0..BF 80..BF) become
// U+FFFD, which simdjson accepts. Nothing is lost: a string holding them can
// never equal one of the decoder's keys, and no string value is ever read.
// Both forms are a three-byte lead and two continuation bytes, so the text
// is valid UTF-8 after this exactly when it was before, surrogates allowed.
void replace_encoded_surrogates(char* text, std::size_t size) {
    auto continuation = [](char c, unsigned char low) {
        return static_cast<unsigned char>(c) >= low && static_cast<unsigned char>(c) <= 0xBF;
    };
    char* const end = text + size;
    for (char* p = text; end - p >= 3; p += 1) {
        p = static_cast<char*>(std::memchr(p, 0xED, static_cast<std::size_t>(end - p - 2)));
        if (p == nullptr) return;
        if (continuation(p[1], 0xA0) && continuation(p[2], 0x80)) {
            p[0] = '\xEF', p[1] = '\xBF', p[2] = '\xBD';
            p += 2;
        }
    }
}

// Bodies up to this size reuse their thread's parser, so that an ordinary
// call allocates nothing for the parse; a larger one gets a parser of its
// own, released with it, so that no thread keeps a large buffer.
constexpr std::size_t REUSED_PARSER_CAPACITY = std::size_t{1} << 16;

std::optional<JsonFailure> parse(const char* data, std::size_t size, std::size_t max_int_digits,
                                 TelemetryRecord& record, simdjson::error_code& stage1) {
    thread_local od::parser reused;
    std::unique_ptr<od::parser> own;
    if (size > REUSED_PARSER_CAPACITY) own = std::make_unique<od::parser>();
    od::parser& parser = own ? *own : reused;
    od::document document;
    stage1 = parser.iterate(data, size, size + simdjson::SIMDJSON_PADDING).get(document);
    if (stage1 != simdjson::SUCCESS) {
        const std::size_t at = stage1 == simdjson::EMPTY ? size : 0;
        return JsonFailure{at, short_reason(stage1)};
    }
    Walker walker(document, data, size, max_int_digits);
    if (!walker.decode(record)) return walker.failure();
    return std::nullopt;
}

}  // namespace

std::size_t readable_bytes([[maybe_unused]] const void* data, std::size_t owned) {
#if defined(__SANITIZE_ADDRESS__)
    return owned;
#else
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    return owned;
#endif
#endif
    if (owned == 0) return 0;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(data) + owned - 1;
    const std::uintptr_t padded_last = last + simdjson::SIMDJSON_PADDING;
    if (padded_last < last || last / PAGE_SIZE != padded_last / PAGE_SIZE) return owned;
    return owned + simdjson::SIMDJSON_PADDING;
#endif
}

std::optional<JsonFailure> decode_telemetry_json(const JsonBody& body, TelemetryRecord& record) {
    const std::string_view text = body.text;
    PaddedCopy copy;
    const char* data = text.data();
    if (body.readable < text.size() + simdjson::SIMDJSON_PADDING) {
        copy = padded_copy(text);
        data = copy.bytes.get();
    }
    simdjson::error_code stage1;
    std::optional<JsonFailure> failure = parse(data, text.size(), body.max_int_digits, record, stage1);
    if (stage1 != simdjson::UTF8_ERROR) return failure;

    // Stage 1 has read nothing else yet: the mended text is parsed once more,
    // and only a text that is still not UTF-8 gets the slower search for
    // where it fails.
    if (!copy.bytes) copy = padded_copy(text);
    replace_encoded_surrogates(copy.bytes.get(), copy.size);
    record = TelemetryRecord{};
    failure = parse(copy.bytes.get(), copy.size, body.max_int_digits, record, stage1);
    if (stage1 != simdjson::UTF8_ERROR) return failure;
    const std::size_t invalid =
        json::invalid_utf8_offset(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return JsonFailure{invalid, "invalid UTF-8"};
}

}  // namespace quelvar
