// extract_features_rs: decode the telemetry, compute the features on plain
// data, and return them as a new dictionary with 24 keys in fixed order.
#include <optional>

#include "kinematics/feature_vector.hpp"
#include "kinematics/telemetry_decoder.hpp"
#include "module/bodies.hpp"
#include "module/convert.hpp"
#include "module/feature_dict.hpp"
#include "module/interned.hpp"

namespace quelvar {
namespace {

enum ResultKey : std::size_t {
    MOUSE_POINTS,
    TOTAL_DISTANCE,
    STRAIGHTNESS,
    AVG_VELOCITY,
    MAX_VELOCITY,
    VELOCITY_VAR,
    AVG_ACCELERATION,
    ACCELERATION_VAR,
    AVG_JERK,
    DT_VAR,
    CLICK_COUNT,
    KEY_COUNT,
    KEY_INTERVAL_AVG,
    KEY_INTERVAL_VAR,
    WEBDRIVER,
    SCREEN_VALID,
    SCROLL_COUNT,
    TERMINAL_DECEL_RATIO,
    PLUGINS_LENGTH,
    TOUCH_SUPPORTED,
    SCREEN_WIDTH,
    SPECTRAL_PURITY,
    SPECTRAL_ENTROPY,
    SUBMOVEMENT_COUNT,
    RESULT_KEY_COUNT,
};

InternedStrings<RESULT_KEY_COUNT> RESULT_KEYS({
    "mouse_points", "total_distance", "straightness", "avg_velocity", "max_velocity", "velocity_var",
    "avg_acceleration", "acceleration_var", "avg_jerk", "dt_var", "click_count", "key_count",
    "key_interval_avg", "key_interval_var", "webdriver", "screen_valid", "scroll_count",
    "terminal_decel_ratio", "plugins_length", "touch_supported", "screen_width", "spectral_purity",
    "spectral_entropy", "submovement_count",
});

// Inserts entries until the first failure; later puts create nothing.
class FeatureDictWriter {
public:
    explicit FeatureDictWriter(PyObject* dict) : dict_(dict), keys_(RESULT_KEYS.get()) {}

    // One instantiation per value kind: bool, float, unsigned and signed
    // integer; the field's own type picks the Python type.
    template <class Value>
    void put(ResultKey key, Value value) {
        if (failure_) return;
        const py::Owned object = to_python(value);
        if (Status inserted = dict_insert(dict_, keys_[key], object.get()); !inserted) {
            failure_.emplace(std::move(inserted).error());
        }
    }

    std::optional<CallError>& failure() { return failure_; }

private:
    PyObject* dict_;
    PyObject* const* keys_;
    std::optional<CallError> failure_;
};

}  // namespace

Result<py::Owned> build_feature_dict(const FeatureVector& f) {
    py::Owned dict = new_dict();
    FeatureDictWriter out(dict.get());
    out.put(MOUSE_POINTS, f.mouse_points);
    out.put(TOTAL_DISTANCE, f.total_distance);
    out.put(STRAIGHTNESS, f.straightness);
    out.put(AVG_VELOCITY, f.avg_velocity);
    out.put(MAX_VELOCITY, f.max_velocity);
    out.put(VELOCITY_VAR, f.velocity_var);
    out.put(AVG_ACCELERATION, f.avg_acceleration);
    out.put(ACCELERATION_VAR, f.acceleration_var);
    out.put(AVG_JERK, f.avg_jerk);
    out.put(DT_VAR, f.dt_var);
    out.put(CLICK_COUNT, f.click_count);
    out.put(KEY_COUNT, f.key_count);
    out.put(KEY_INTERVAL_AVG, f.key_interval_avg);
    out.put(KEY_INTERVAL_VAR, f.key_interval_var);
    out.put(WEBDRIVER, f.webdriver);
    out.put(SCREEN_VALID, f.screen_valid);
    out.put(SCROLL_COUNT, f.scroll_count);
    out.put(TERMINAL_DECEL_RATIO, f.terminal_decel_ratio);
    out.put(PLUGINS_LENGTH, f.plugins_length);
    out.put(TOUCH_SUPPORTED, f.touch_supported);
    out.put(SCREEN_WIDTH, f.screen_width);
    out.put(SPECTRAL_PURITY, f.spectral_purity);
    out.put(SPECTRAL_ENTROPY, f.spectral_entropy);
    out.put(SUBMOVEMENT_COUNT, f.submovement_count);
    // The caller never sees a partly filled dictionary: it is released here.
    if (out.failure()) return std::move(*out.failure());
    return dict;
}

namespace bodies {

Result<py::Owned> extract_features(PyObject* telemetry) {
    const TelemetryRecord record = decode_telemetry(py::Borrowed(telemetry));
    const FeatureVector features = compute_features(record);
    return build_feature_dict(features);
}

}  // namespace bodies
}  // namespace quelvar
