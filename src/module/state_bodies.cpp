#include "module/bodies.hpp"

namespace quelvar::bodies {
namespace {
CallError not_yet(const char* name) {
    return CallError::deferred(PyExc_NotImplementedError, std::string(name) + " is not implemented yet");
}
}  // namespace

Result<py::Owned> consume_nonce(std::string_view) { return not_yet("consume_nonce_rs"); }
Result<py::Owned> is_ip_banned(std::string_view) { return not_yet("is_ip_banned_rs"); }
Result<py::Owned> ban_ip(std::string_view, std::uint64_t) { return not_yet("ban_ip_rs"); }
Result<py::Owned> unban_ip(std::string_view) { return not_yet("unban_ip_rs"); }
Result<py::Owned> hydrate_bans(const BanList&) { return not_yet("hydrate_bans_rs"); }
Result<py::Owned> clear_state_engine() { return not_yet("clear_state_engine_rs"); }
Result<py::Owned> get_state_engine_stats() { return not_yet("get_state_engine_stats_rs"); }

}  // namespace quelvar::bodies
