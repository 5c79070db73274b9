// libFuzzer over the JSON walk: every input must either fail with an offset
// inside the text or give a record that a second route agrees with. The
// second route is simdjson's DOM parser on the same text: where it accepts
// the text (plain JSON: no NaN or Infinity, no lone surrogates, numbers in
// the double range), the walk must accept it too, and the fields read must
// match a plain decoding of the DOM tree with the last duplicate winning.
#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <type_traits>

#include "kinematics/evidence.hpp"
#include "kinematics/feature_vector.hpp"
#include "telemetry_json/telemetry_json.hpp"

using namespace quelvar;
namespace dom = simdjson::dom;

namespace {

#define REQUIRE(condition)              \
    do {                                \
        if (!(condition)) std::abort(); \
    } while (0)

// The last value of `key` in `object` (the DOM keeps duplicates in order).
bool last_field(dom::object object, std::string_view key, dom::element& out) {
    bool found = false;
    for (auto field : object) {
        if (field.key == key) out = field.value, found = true;
    }
    return found;
}

// The dict path's to_float on a DOM number or bool. Integers above 2^64 and
// beyond are refused by the DOM parser, so every integer here fits 64 bits.
bool dom_float(dom::element value, double& out) {
    switch (value.type()) {
        case dom::element_type::DOUBLE: return value.get_double().get(out) == simdjson::SUCCESS;
        case dom::element_type::INT64: out = double(value.get_int64().value_unsafe()); return true;
        case dom::element_type::UINT64: out = double(value.get_uint64().value_unsafe()); return true;
        case dom::element_type::BOOL: out = value.get_bool().value_unsafe() ? 1.0 : 0.0; return true;
        default: return false;
    }
}

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

template <class Value>
bool same_value(Value a, Value b) {
    if constexpr (std::is_floating_point_v<Value>) {
        return same(a, b);
    } else {
        return a == b;
    }
}

void check_against_dom(std::string_view text, const TelemetryRecord& record) {
    dom::parser parser;
    dom::element root;
    if (parser.parse(text.data(), text.size()).get(root) != simdjson::SUCCESS) return;
    dom::object top;
    if (root.get(top) != simdjson::SUCCESS) {
        REQUIRE(record.mouse_points.empty() && record.key_times.empty() && record.click_count == 0);
        return;
    }
    dom::element movements;
    std::size_t expected_points = 0;
    dom::array items;
    if (last_field(top, "mouse_movements", movements) && movements.get_array().get(items) == simdjson::SUCCESS) {
        for (dom::element item : items) {
            dom::element x, y, t;
            double px, py, pt;
            dom::object point;
            if (item.get_object().get(point) != simdjson::SUCCESS) continue;
            if (last_field(point, "x", x) && last_field(point, "y", y) && last_field(point, "t", t) &&
                dom_float(x, px) && dom_float(y, py) && dom_float(t, pt) && std::isfinite(px) && std::isfinite(py) &&
                std::isfinite(pt)) {
                REQUIRE(expected_points < record.mouse_points.size());
                const MousePoint& got = record.mouse_points[expected_points++];
                // A negative zero integer is +0.0 in Python; the DOM keeps
                // no sign on integer zero either.
                REQUIRE(same(got.x, px) && same(got.y, py) && same(got.t, pt));
            }
        }
    }
    REQUIRE(expected_points == record.mouse_points.size());
    dom::element clicks;
    dom::array click_items;
    const std::uint64_t expected_clicks =
        last_field(top, "clicks", clicks) && clicks.get_array().get(click_items) == simdjson::SUCCESS
            ? click_items.size()
            : 0;
    REQUIRE(expected_clicks == record.click_count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TelemetryRecord record;
    const std::optional<JsonFailure> failure = decode_telemetry_json({text, size, 4300}, record);
    if (failure) {
        REQUIRE(failure->offset <= size && !failure->reason.empty());
        dom::parser parser;
        dom::element root;
        // Plain JSON that the DOM parser reads is never refused, unless it
        // nests deeper than the stated limit.
        if (parser.parse(text.data(), text.size()).get(root) == simdjson::SUCCESS) {
            REQUIRE(failure->reason == "nesting too deep" || failure->digit_limit);
        }
        return 0;
    }
    check_against_dom(text, record);
    // The cores run on whatever the walk produced; the evidence carries the
    // very features and moves that cover the window.
    const FeatureVector features = compute_features(record);
    REQUIRE(features.mouse_points == record.mouse_points.size());
    const Evidence evidence = compute_evidence(record);
#define QUELVAR_SAME_FEATURE(type, name, initial) REQUIRE(same_value(evidence.features.name, features.name));
    QUELVAR_FEATURES(QUELVAR_SAME_FEATURE)
#undef QUELVAR_SAME_FEATURE
    std::uint64_t covered = 0;
    for (const Move& move : evidence.moves) {
        REQUIRE(move.points >= 1);
        REQUIRE(!(move.peak_speed_at < 0.0 || move.peak_speed_at > 1.0));
        covered += move.points;
    }
    REQUIRE(covered == std::min<std::uint64_t>(record.mouse_points.size(), MAX_TRAJECTORY_POINTS));
    REQUIRE(evidence.whole.points == covered);
    return 0;
}
