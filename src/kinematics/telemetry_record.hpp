// The decoded telemetry of one call: plain values that the feature
// computations read without touching the interpreter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kinematics/feature_list.hpp"

namespace quelvar {

// At most this many keystroke elements are examined, whatever the list length.
inline constexpr std::size_t MAX_KEYSTROKE_ITEMS = 150;

// One pointer sample; all three fields are finite.
struct MousePoint {
    double x;
    double y;
    double t;
};

// The keys both decoders read (the dict decoder and the JSON walk), one list
// per object: X(key). Each list gives its namespace an enumerator per key,
// its index, and NAMES, the key texts in that order.
#define QUELVAR_TELEMETRY_KEYS(X) X(browser) X(clicks) X(scrolls) X(keystrokes) X(mouse_movements)
#define QUELVAR_BROWSER_KEYS(X) X(webdriver) X(screen_width) X(screen_height) X(touch_supported) X(plugins_length)
// A keystroke's time is the first usable one of these, in this order.
#define QUELVAR_KEYSTROKE_KEYS(X) X(t) X(down) X(time)
#define QUELVAR_POINT_KEYS(X) X(x) X(y) X(t)

#define QUELVAR_KEY_ENUMERATOR(key) key,
#define QUELVAR_KEY_TEXT(key) std::string_view(#key),
#define QUELVAR_KEY_LIST(space, KEYS)                          \
    namespace space {                                          \
    enum Key : std::size_t { KEYS(QUELVAR_KEY_ENUMERATOR) };   \
    inline constexpr std::array NAMES{KEYS(QUELVAR_KEY_TEXT)}; \
    }
QUELVAR_KEY_LIST(telemetry_key, QUELVAR_TELEMETRY_KEYS)
QUELVAR_KEY_LIST(browser_key, QUELVAR_BROWSER_KEYS)
QUELVAR_KEY_LIST(keystroke_key, QUELVAR_KEYSTROKE_KEYS)
QUELVAR_KEY_LIST(point_key, QUELVAR_POINT_KEYS)
#undef QUELVAR_KEY_LIST
#undef QUELVAR_KEY_TEXT
#undef QUELVAR_KEY_ENUMERATOR

// The browser's features as read. A call without a usable "browser"
// dictionary keeps the features' own defaults; a dictionary that lacks the
// screen values reads as width 0.0 and an invalid screen instead.
#define QUELVAR_AS_FEATURE(name) std::remove_const_t<decltype(feature_default::name)> name = feature_default::name
struct BrowserInfo {
    QUELVAR_AS_FEATURE(webdriver);
    QUELVAR_AS_FEATURE(screen_width);
    QUELVAR_AS_FEATURE(screen_valid);
    QUELVAR_AS_FEATURE(touch_supported);
    QUELVAR_AS_FEATURE(plugins_length);
};
#undef QUELVAR_AS_FEATURE

struct TelemetryRecord {
    BrowserInfo browser;
    std::uint64_t click_count = 0;
    std::uint64_t scroll_count = 0;
    std::vector<double> key_times;         // finite, list order, at most MAX_KEYSTROKE_ITEMS
    std::vector<MousePoint> mouse_points;  // list order, unsorted and uncapped
    // The collector sends browser.webdriver once, as a JSON boolean: how many
    // webdriver keys the browser objects held (duplicates included), and
    // whether any held a value other than false. Only the JSON walk fills
    // these (the features read the last value, as a dict keeps it).
    std::uint64_t webdriver_keys = 0;
    bool webdriver_not_false = false;
};

}  // namespace quelvar
