// The bodies of the functions, one per entry of QUELVAR_FUNCTIONS
// (functions.hpp). Each receives arguments that are already matched and
// converted, and returns the result object or the error to raise; its
// parameter types choose the conversions (PyObject* for none).
#pragma once

#include <cstdint>
#include <string_view>

#include "module/result.hpp"
#include "state/ban_list.hpp"

namespace quelvar::bodies {

Result<py::Owned> is_rust_core_active();
Result<py::Owned> get_core_version();

Result<py::Owned> extract_features(PyObject* telemetry);
Result<py::Owned> extract_features_json(PyObject* body);
Result<py::Owned> extract_evidence_json(PyObject* body);

Result<py::Owned> consume_nonce(std::string_view nonce);
Result<py::Owned> is_ip_banned(std::string_view ip);
Result<py::Owned> ban_ip(std::string_view ip, std::uint64_t duration_sec);
Result<py::Owned> unban_ip(std::string_view ip);
Result<py::Owned> hydrate_bans(const BanList& bans);
Result<py::Owned> clear_state_engine();
Result<py::Owned> get_state_engine_stats();

}  // namespace quelvar::bodies
