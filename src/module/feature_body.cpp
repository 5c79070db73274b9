// extract_features_rs: decode the telemetry, compute the features on plain
// data, and return them as a new dictionary with 24 keys in fixed order.
#include <optional>

#include "kinematics/feature_vector.hpp"
#include "module/bodies.hpp"
#include "module/convert.hpp"
#include "module/feature_dict.hpp"
#include "module/interned.hpp"
#include "module/telemetry_decoder.hpp"

namespace quelvar {
namespace {

InternedStrings<FEATURE_COUNT> RESULT_KEYS(FEATURE_NAMES);

// Inserts entries until the first failure; later puts create nothing.
class FeatureDictWriter {
public:
    explicit FeatureDictWriter(PyObject* dict) : dict_(dict), keys_(RESULT_KEYS.get()) {}

    // One instantiation per value kind: bool, float, unsigned and signed
    // integer; the field's own type picks the Python type. Called once per
    // feature in order, so the n-th call writes the n-th key.
    template <class Value>
    void operator()(const char*, Value value) {
        const std::size_t key = next_key_++;
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
    std::size_t next_key_ = 0;
    std::optional<CallError> failure_;
};

}  // namespace

Result<py::Owned> build_feature_dict(const FeatureVector& f) {
    py::Owned dict = new_dict(FEATURE_COUNT);
    FeatureDictWriter out(dict.get());
    f.for_each(out);
    // The caller never sees a partly filled dictionary: it is released here.
    if (out.failure()) return std::move(*out.failure());
    return dict;
}

namespace bodies {

Result<py::Owned> extract_features(PyObject* telemetry) {
    Result<TelemetryRecord> record = decode_telemetry(py::Borrowed(telemetry));
    if (!record) return std::move(record).error();
    const FeatureVector features = compute_features(*record);
    return build_feature_dict(features);
}

}  // namespace bodies
}  // namespace quelvar
