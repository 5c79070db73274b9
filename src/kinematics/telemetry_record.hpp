// The decoded telemetry of one call: plain values that the feature
// computations read without touching the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelvar {

// At most this many keystroke elements are examined, whatever the list length.
inline constexpr std::size_t MAX_KEYSTROKE_ITEMS = 150;

// One pointer sample; all three fields are finite.
struct MousePoint {
    double x;
    double y;
    double t;
};

// The defaults are those of a call without a usable "browser" dictionary; a
// dictionary that lacks the screen values reads as width 0.0 and an invalid
// screen instead.
struct BrowserInfo {
    bool webdriver = false;
    double screen_width = 1024.0;
    bool screen_valid = true;
    bool touch_supported = false;
    std::int64_t plugins_length = 1;
};

struct TelemetryRecord {
    BrowserInfo browser;
    std::uint64_t click_count = 0;
    std::uint64_t scroll_count = 0;
    std::vector<double> key_times;          // finite, list order, at most MAX_KEYSTROKE_ITEMS
    std::vector<MousePoint> mouse_points;   // list order, unsorted and uncapped
};

}  // namespace quelvar
