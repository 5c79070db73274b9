// is_rust_core_active and get_core_version: what a caller with a fallback
// checks before it relies on the module.
#include <string_view>

#include "module/bodies.hpp"
#include "module/convert.hpp"

namespace quelvar::bodies {
namespace {

constexpr std::string_view CORE_VERSION = "0.8.0-native-rust";

}  // namespace

Result<py::Owned> is_rust_core_active() { return to_python(true); }

Result<py::Owned> get_core_version() { return to_python(CORE_VERSION); }

}  // namespace quelvar::bodies
