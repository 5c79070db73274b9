// The bodies of the state-engine functions. Each gets converted
// arguments (text as views of the str objects' UTF-8 buffers), does its work
// under the store lock on plain data, and builds the Python result only after
// the lock is released.
#include <array>
#include <string_view>
#include <utility>

#include "module/bodies.hpp"
#include "module/convert.hpp"
#include "module/interned.hpp"
#include "state/state_engine.hpp"

namespace quelvar::bodies {
namespace {

// The statistics keys, in dictionary order, created once for the process.
InternedStrings<3> STATS_KEYS({"current_bucket_nonces", "previous_bucket_nonces", "active_ip_bans"});

}  // namespace

Result<py::Owned> consume_nonce(std::string_view nonce) {
    const bool fresh = with_engine_write([nonce](StateEngine& engine) { return engine.consume_nonce(nonce); });
    return to_python(fresh);
}

Result<py::Owned> is_ip_banned(std::string_view ip) {
    const BanAddress address(ip);
    const std::uint64_t now = STATE_ENGINE.clock().unix_now_secs();
    const bool banned =
        with_engine_read([&address, now](const StateEngine& engine) { return engine.is_banned(address, now); });
    return to_python(banned);
}

Result<py::Owned> ban_ip(std::string_view ip, std::uint64_t duration_sec) {
    const BanAddress address(ip);
    const std::uint64_t now = STATE_ENGINE.clock().unix_now_secs();
    with_engine_write([&address, now, duration_sec](StateEngine& engine) { engine.ban(address, now, duration_sec); });
    return python_none();
}

Result<py::Owned> unban_ip(std::string_view ip) {
    const BanAddress address(ip);
    with_engine_write([&address](StateEngine& engine) { engine.unban(address); });
    return python_none();
}

Result<py::Owned> hydrate_bans(const BanList& bans) {
    with_engine_write([&bans](StateEngine& engine) { engine.hydrate(bans); });
    return python_none();
}

Result<py::Owned> clear_state_engine() {
    with_engine_write([](StateEngine& engine) { engine.clear(); });
    return python_none();
}

Result<py::Owned> get_state_engine_stats() {
    const EngineStats stats = with_engine_read([](const StateEngine& engine) { return engine.stats(); });
    const std::array<std::uint64_t, 3> counts{stats.current_bucket_nonces, stats.previous_bucket_nonces,
                                              stats.active_ip_bans};
    PyObject* const* keys = STATS_KEYS.get();
    py::Owned dict = new_dict();
    for (std::size_t i = 0; i < counts.size(); ++i) {
        py::Owned count = to_python(counts[i]);
        if (Status stored = dict_insert(dict.get(), keys[i], count.get()); !stored) {
            return std::move(stored).error();
        }
    }
    return dict;
}

}  // namespace quelvar::bodies
