// Coverage-guided fuzzing of the feature computations on plain data: the fuzz
// input becomes the key times and mouse points of a TelemetryRecord (finite
// values only, as the decoder guarantees), compute_features runs on it, and
// the result is checked against properties that hold for every input and
// against a plain reference evaluation:
//
//  - every feature except the two spectral ones equals, bit for bit (NaN
//    matching NaN), a one-term-at-a-time evaluation written out below;
//  - the two spectral features agree within 1e-9 with a direct transform
//    (one cos and one sin per sample and bin) wherever its sums stay finite
//    (speeds below 1e150) and its total power is not within a relative 1e-6
//    of the 1e-9 cut, where the two may rightly fall on opposite sides;
//  - ranges: straightness in [0, 1]; purity and entropy in [0, 1] or NaN,
//    and a computed purity at least 1/K while the speeds stay below 1e150
//    (beyond, the total power may overflow and the shares collapse to 0, as
//    IEEE arithmetic has it); 1 <= submovement_count <= the number of
//    possible interior peaks, 0 exactly when the peak speed is not
//    measurable; the terminal ratio in [0, 1] for finite speeds;
//  - counts equal the input sizes; copied fields are copied; defaults below
//    3 points and below 8 speeds.
// A broken property aborts with a message; the sanitizers report the rest.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "kinematics/feature_vector.hpp"
#include "kinematics/spectrum.hpp"
#include "kinematics/submovements.hpp"
#include "kinematics/trajectory.hpp"

using quelvar::FeatureVector;
using quelvar::MousePoint;
using quelvar::TelemetryRecord;

// Fresh heap blocks read as NaN, so that a working buffer read before it is
// written shows up in the results rather than passing as a plausible number.
extern "C" const char* __asan_default_options() { return "malloc_fill_byte=255:max_malloc_fill_size=1048576"; }

namespace {

[[noreturn]] void fail(const char* what, double got, double want) {
    std::fprintf(stderr, "features_fuzzer: %s: got %.17g, expected %.17g\n", what, got, want);
    std::abort();
}

void require(bool holds, const char* what, double got = 0.0, double want = 0.0) {
    if (!holds) fail(what, got, want);
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void require_same(double got, double want, const char* what) { require(same(got, want), what, got, want); }

// Field by field (the struct has padding), NaN matching NaN.
bool same_features(const FeatureVector& a, const FeatureVector& b) {
    return a.mouse_points == b.mouse_points && same(a.total_distance, b.total_distance) &&
           same(a.straightness, b.straightness) && same(a.avg_velocity, b.avg_velocity) &&
           same(a.max_velocity, b.max_velocity) && same(a.velocity_var, b.velocity_var) &&
           same(a.avg_acceleration, b.avg_acceleration) && same(a.acceleration_var, b.acceleration_var) &&
           same(a.avg_jerk, b.avg_jerk) && same(a.dt_var, b.dt_var) && a.click_count == b.click_count &&
           a.key_count == b.key_count && same(a.key_interval_avg, b.key_interval_avg) &&
           same(a.key_interval_var, b.key_interval_var) && a.webdriver == b.webdriver &&
           a.screen_valid == b.screen_valid && a.scroll_count == b.scroll_count &&
           same(a.terminal_decel_ratio, b.terminal_decel_ratio) && a.plugins_length == b.plugins_length &&
           a.touch_supported == b.touch_supported && same(a.screen_width, b.screen_width) &&
           same(a.spectral_purity, b.spectral_purity) && same(a.spectral_entropy, b.spectral_entropy) &&
           a.submovement_count == b.submovement_count;
}

// ---------------------------------------------------------------- input

// Values the byte stream can name directly: thresholds, the time-step floor
// and the magnitudes where sums overflow or underflow.
constexpr double SPECIALS[] = {
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.1,
    0.05,
    0.1000000000000001,
    0.0999999999999999,
    1e-4,
    5e-5,
    6e-5,
    1e-5,
    1e-9,
    1e-12,
    1e150,
    -1e150,
    1e154,
    1e300,
    -1e300,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    2.2250738585072014e-308,
    4.9406564584124654e-324,
    0.15,
    1e6,
    1e15,
    9007199254740993.0,
    0.5,
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }

    std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }

    // One value, encoded by a tag byte: a raw bit pattern, a small integer, a
    // fixed-point fraction, a scaled mantissa (any magnitude), a named
    // value, or a repeat or small variation of the previous value.
    double value() {
        const std::uint8_t tag = byte();
        double out = 0.0;
        switch (tag % 8) {
            case 0: {
                std::uint64_t bits = 0;
                for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
                std::memcpy(&out, &bits, sizeof out);
                break;
            }
            case 1: out = static_cast<std::int8_t>(byte()); break;
            case 2: {
                const auto high = static_cast<std::int8_t>(byte());
                out = (high * 256 + byte()) / 256.0;
                break;
            }
            case 3: {
                const int high = byte();
                const auto mantissa = static_cast<std::int16_t>(high << 8 | byte());
                const int exponent = static_cast<std::int8_t>(byte()) * 8;  // about ±2^1016
                out = std::ldexp(static_cast<double>(mantissa), exponent);
                break;
            }
            case 4: out = SPECIALS[byte() % std::size(SPECIALS)]; break;
            case 5: out = previous_; break;
            case 6: out = previous_ + static_cast<std::int8_t>(byte()) / 64.0; break;
            default: out = static_cast<double>(byte() % 16); break;
        }
        previous_ = out;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    double previous_ = 0.0;
};

// Header: flags, the number of key times asked for, the click and scroll
// counts and the browser fields (copied through unchanged), then the key
// times, then (x, y, t) triples until the input ends. Points and key times
// with a value that is not finite are dropped, as the decoder drops them.
TelemetryRecord decode(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    TelemetryRecord record;
    const std::uint8_t flags = in.byte();
    const std::size_t key_items = in.byte() % (quelvar::MAX_KEYSTROKE_ITEMS + 1);
    record.click_count = in.byte();
    record.scroll_count = in.byte();
    record.browser.webdriver = flags & 0x10;
    record.browser.touch_supported = flags & 0x20;
    record.browser.screen_valid = flags & 0x40;
    record.browser.plugins_length = static_cast<std::int8_t>(in.byte());
    record.browser.screen_width = in.value();

    for (std::size_t i = 0; i < key_items && !in.empty(); ++i) {
        const double time = in.value();
        if (std::isfinite(time)) record.key_times.push_back(time);
    }
    // Time stamps either as given or as a running sum of the given steps
    // (already in time order, the common case, which skips the sort).
    const bool accumulate_time = flags & 0x01;
    double clock = 0.0;
    while (!in.empty()) {
        MousePoint p;
        p.x = in.value();
        p.y = in.value();
        const double t = in.value();
        if (accumulate_time) {
            clock += std::fabs(t);
            p.t = clock;
        } else {
            p.t = t;
        }
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.t)) record.mouse_points.push_back(p);
    }
    if (flags & 0x02) std::reverse(record.mouse_points.begin(), record.mouse_points.end());
    return record;
}

// ---------------------------------------------------------------- reference

double ordered_sum(std::span<const double> values) {
    double total = 0.0;
    for (double v : values) total += v;
    return total;
}

double mean(std::span<const double> values) { return ordered_sum(values) / static_cast<double>(values.size()); }

double population_variance(std::span<const double> values, double centre) {
    double squares = 0.0;
    for (double v : values) squares += (v - centre) * (v - centre);
    return squares / static_cast<double>(values.size());
}

struct Reference {
    FeatureVector features;
    std::vector<double> speeds;
};

void reference_keys(std::span<const double> times, FeatureVector& f) {
    f.key_count = times.size();
    std::vector<double> sorted(times.begin(), times.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](double a, double b) { return a < b; });
    std::vector<double> gaps;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i] > sorted[i - 1]) gaps.push_back(sorted[i] - sorted[i - 1]);
    }
    if (gaps.empty()) return;
    f.key_interval_avg = mean(gaps);
    f.key_interval_var = population_variance(gaps, f.key_interval_avg);
}

void reference_trajectory(std::span<const MousePoint> points, Reference& r) {
    FeatureVector& f = r.features;
    std::vector<MousePoint> p(points.begin(), points.end());
    std::stable_sort(p.begin(), p.end(), [](const MousePoint& a, const MousePoint& b) { return a.t < b.t; });
    p.resize(std::min(p.size(), quelvar::MAX_TRAJECTORY_POINTS));
    const std::size_t segments = p.size() - 1;

    std::vector<double> d, dt, v, a, j;
    for (std::size_t i = 0; i < segments; ++i) {
        const double dx = p[i + 1].x - p[i].x;
        const double dy = p[i + 1].y - p[i].y;
        d.push_back(std::sqrt(dx * dx + dy * dy));
        const double step = p[i + 1].t - p[i].t;
        dt.push_back(std::max(step, quelvar::MIN_TIME_STEP));
        v.push_back(d[i] / dt[i]);
    }
    for (std::size_t i = 0; i + 1 < segments; ++i) a.push_back((v[i + 1] - v[i]) / dt[i + 1]);
    for (std::size_t i = 0; i + 2 < segments; ++i) j.push_back(std::fabs((a[i + 1] - a[i]) / dt[i + 2]));

    f.total_distance = ordered_sum(d);
    if (f.total_distance > quelvar::MIN_PATH_LENGTH) {
        const double dx = p.back().x - p.front().x;
        const double dy = p.back().y - p.front().y;
        f.straightness = std::min(1.0, std::sqrt(dx * dx + dy * dy) / f.total_distance);
        if (std::isnan(f.straightness)) f.straightness = 1.0;  // an undefined ratio reads as straight
    }
    f.avg_velocity = mean(v);
    for (double speed : v) {
        if (speed > f.max_velocity) f.max_velocity = speed;
    }
    f.velocity_var = population_variance(v, f.avg_velocity);
    f.dt_var = population_variance(dt, mean(dt));
    f.avg_acceleration = mean(a);
    f.acceleration_var = population_variance(a, f.avg_acceleration);
    if (!j.empty()) f.avg_jerk = mean(j);
    r.speeds = std::move(v);
}

void reference_submovements(std::span<const double> v, FeatureVector& f) {
    if (!(f.max_velocity > quelvar::MIN_PEAK_SPEED)) return;
    const std::size_t window = std::max<std::size_t>(v.size() / 4, 1);
    f.terminal_decel_ratio = mean(v.subspan(v.size() - window)) / f.max_velocity;
    const double threshold = quelvar::PEAK_FRACTION * f.max_velocity;
    std::uint64_t peaks = 0;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
        if (v[i] > v[i - 1] && v[i] > v[i + 1] && v[i] >= threshold) ++peaks;
    }
    f.submovement_count = std::max<std::uint64_t>(peaks, 1);
}

struct DirectSpectrum {
    double total = 0.0;
    double purity = 0.0;
    double entropy = 1.0;
};

// The transform term by term: ω = (f·2π)/L, θ = k·ω, one cos and one sin
// per term, sums from 0 in index order.
DirectSpectrum direct_spectrum(std::span<const double> v, double average) {
    DirectSpectrum out;
    const std::size_t length = v.size();
    const std::size_t bins = length / 2;
    std::vector<double> c(length), power;
    for (std::size_t k = 0; k < length; ++k) c[k] = v[k] - average;
    for (std::size_t f = 1; f <= bins; ++f) {
        const double omega = (static_cast<double>(f) * 6.283185307179586) / static_cast<double>(length);
        double re = 0.0, im = 0.0;
        for (std::size_t k = 0; k < length; ++k) {
            const double theta = static_cast<double>(k) * omega;
            re += c[k] * std::cos(theta);
            im += -c[k] * std::sin(theta);
        }
        power.push_back(re * re + im * im);
    }
    out.total = ordered_sum(power);
    if (!(out.total > quelvar::MIN_SPECTRAL_POWER)) return out;
    double peak = 0.0;
    for (double p : power) peak = p > peak ? p : peak;
    double entropy = 0.0;
    for (double p : power) {
        const double share = p / out.total;
        if (share > quelvar::MIN_BIN_SHARE) entropy -= share * std::log2(share);
    }
    out.purity = peak / out.total;
    out.entropy = entropy / std::log2(static_cast<double>(bins));
    return out;
}

// ---------------------------------------------------------------- checks

constexpr double SPECTRAL_TOLERANCE = 1e-9;
constexpr double SPECTRAL_SPEED_LIMIT = 1e150;
constexpr double ROUNDING = 1e-12;

void check_spectrum(const FeatureVector& got, std::span<const double> speeds, double average) {
    const bool computed = !(got.spectral_purity == 0.0 && got.spectral_entropy == 1.0);
    if (speeds.size() < quelvar::MIN_SPECTRUM_SPEEDS) {
        require(!computed, "spectrum computed from fewer than 8 speeds", got.spectral_purity);
        return;
    }
    const double bins = static_cast<double>(speeds.size() / 2);
    // Whatever the speeds, a share lies in [0, 1] or is not a number (an
    // infinite total over infinite powers).
    require(std::isnan(got.spectral_purity) || (got.spectral_purity >= 0.0 && got.spectral_purity <= 1.0 + ROUNDING),
            "spectral_purity outside [0, 1]", got.spectral_purity);
    require(std::isnan(got.spectral_entropy) ||
                (got.spectral_entropy >= -ROUNDING && got.spectral_entropy <= 1.0 + ROUNDING),
            "spectral_entropy outside [0, 1]", got.spectral_entropy);

    // Below the limit the powers and their total stay finite: a computed
    // purity is then at least 1/K, since the largest of K bins holds at
    // least 1/K of their sum. Above it the total may overflow to infinity
    // and the shares collapse to 0, as IEEE arithmetic has it.
    bool comparable = true;
    for (double speed : speeds) comparable = comparable && speed < SPECTRAL_SPEED_LIMIT;  // false for NaN too
    if (!comparable) return;
    require(!std::isnan(got.spectral_purity) && !std::isnan(got.spectral_entropy), "spectral NaN from finite speeds",
            got.spectral_purity);
    if (computed) {
        require(got.spectral_purity >= 1.0 / bins - ROUNDING, "spectral_purity below 1/K", got.spectral_purity,
                1.0 / bins);
    }
    const DirectSpectrum want = direct_spectrum(speeds, average);
    if (std::fabs(want.total / quelvar::MIN_SPECTRAL_POWER - 1.0) <= 1e-6) return;
    require(std::fabs(got.spectral_purity - want.purity) <= SPECTRAL_TOLERANCE,
            "spectral_purity differs from the direct transform", got.spectral_purity, want.purity);
    require(std::fabs(got.spectral_entropy - want.entropy) <= SPECTRAL_TOLERANCE,
            "spectral_entropy differs from the direct transform", got.spectral_entropy, want.entropy);
}

void check(const TelemetryRecord& record, const FeatureVector& got) {
    require(got.mouse_points == record.mouse_points.size(), "mouse_points is not the point count");
    require(got.key_count == record.key_times.size(), "key_count is not the key-time count");
    require(got.click_count == record.click_count && got.scroll_count == record.scroll_count, "counts not copied");
    require(got.webdriver == record.browser.webdriver && got.touch_supported == record.browser.touch_supported &&
                got.screen_valid == record.browser.screen_valid &&
                got.plugins_length == record.browser.plugins_length &&
                same(got.screen_width, record.browser.screen_width),
            "browser fields not copied");

    Reference want;
    reference_keys(record.key_times, want.features);
    require_same(got.key_interval_avg, want.features.key_interval_avg, "key_interval_avg");
    require_same(got.key_interval_var, want.features.key_interval_var, "key_interval_var");
    require(!(got.key_interval_avg < 0.0) && !(got.key_interval_var < 0.0), "negative key interval statistic");

    if (record.mouse_points.size() < 3) {
        FeatureVector defaults = got;
        const FeatureVector fresh;
        defaults.total_distance = fresh.total_distance;
        defaults.straightness = fresh.straightness;
        defaults.avg_velocity = fresh.avg_velocity;
        defaults.max_velocity = fresh.max_velocity;
        defaults.velocity_var = fresh.velocity_var;
        defaults.avg_acceleration = fresh.avg_acceleration;
        defaults.acceleration_var = fresh.acceleration_var;
        defaults.avg_jerk = fresh.avg_jerk;
        defaults.dt_var = fresh.dt_var;
        defaults.terminal_decel_ratio = fresh.terminal_decel_ratio;
        defaults.spectral_purity = fresh.spectral_purity;
        defaults.spectral_entropy = fresh.spectral_entropy;
        defaults.submovement_count = fresh.submovement_count;
        require(same_features(got, defaults), "trajectory features not at their defaults below 3 points");
        return;
    }

    reference_trajectory(record.mouse_points, want);
    reference_submovements(want.speeds, want.features);
    const FeatureVector& w = want.features;
    require_same(got.total_distance, w.total_distance, "total_distance");
    require_same(got.straightness, w.straightness, "straightness");
    require_same(got.avg_velocity, w.avg_velocity, "avg_velocity");
    require_same(got.max_velocity, w.max_velocity, "max_velocity");
    require_same(got.velocity_var, w.velocity_var, "velocity_var");
    require_same(got.avg_acceleration, w.avg_acceleration, "avg_acceleration");
    require_same(got.acceleration_var, w.acceleration_var, "acceleration_var");
    require_same(got.avg_jerk, w.avg_jerk, "avg_jerk");
    require_same(got.dt_var, w.dt_var, "dt_var");
    require_same(got.terminal_decel_ratio, w.terminal_decel_ratio, "terminal_decel_ratio");
    require(got.submovement_count == w.submovement_count, "submovement_count",
            static_cast<double>(got.submovement_count), static_cast<double>(w.submovement_count));

    require(got.straightness >= 0.0 && got.straightness <= 1.0, "straightness outside [0, 1]", got.straightness);
    require(!(got.total_distance < 0.0) && !(got.max_velocity < 0.0) && !(got.dt_var < 0.0) &&
                !(got.velocity_var < 0.0) && !(got.acceleration_var < 0.0) && !(got.avg_jerk < 0.0),
            "negative length, speed, jerk or variance");

    const std::size_t segments = want.speeds.size();
    const bool measurable = got.max_velocity > quelvar::MIN_PEAK_SPEED;
    require((got.submovement_count == 0) == !measurable, "submovement_count zero unless the peak is unmeasurable",
            static_cast<double>(got.submovement_count));
    require(got.submovement_count <= std::max<std::size_t>(1, (segments - 1) / 2) && got.submovement_count <= segments,
            "more submovements than interior peaks fit", static_cast<double>(got.submovement_count));
    bool finite_speeds = true;
    for (double speed : want.speeds) finite_speeds = finite_speeds && std::isfinite(speed);
    if (measurable && finite_speeds) {
        require(got.terminal_decel_ratio >= 0.0 && got.terminal_decel_ratio <= 1.0 + ROUNDING,
                "terminal_decel_ratio outside [0, 1]", got.terminal_decel_ratio);
    }

    check_spectrum(got, want.speeds, got.avg_velocity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TelemetryRecord record = decode(data, size);
    const FeatureVector features = quelvar::compute_features(record);
    check(record, features);
    // Nothing survives a call: the same record gives the same features again.
    require(same_features(features, quelvar::compute_features(record)), "a second evaluation differs");
    return 0;
}
