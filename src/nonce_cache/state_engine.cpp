#include "nonce_cache/state_engine.hpp"

#include <limits>

#include "nonce_cache/platform.hpp"

namespace quelvar {
namespace {

// Storage whose destructor never runs: a thread still inside the module
// while the process exits must not find the store destroyed. Initialised at
// compile time, so it exists before any code of the module runs.
union NeverDestroyed {
    EngineStore store;
    constexpr NeverDestroyed() : store(SYSTEM_CLOCK) {}
    ~NeverDestroyed() {}
};

constinit NeverDestroyed PROCESS_STORE;

}  // namespace

constinit EngineStore& STATE_ENGINE = PROCESS_STORE.store;

StateEngine::StateEngine(const Clock& clock)
    : clock_(&clock),
      nonces_(clock.monotonic_now()),
      bans_(BAN_TABLE_RESERVE, KeyedHash::random()) {}

void StateEngine::ban(std::string_view address, std::uint64_t now, std::uint64_t duration_sec) {
    constexpr std::uint64_t LATEST = std::numeric_limits<std::uint64_t>::max();
    bans_.set(address, duration_sec > LATEST - now ? LATEST : now + duration_sec);
}

void StateEngine::hydrate(const BanList& bans) {
    const std::uint64_t now = clock_->unix_now_secs();
    for (std::size_t i = 0; i < bans.size(); ++i) {
        // A pair that has already expired must not overwrite an entry that is
        // still active, so it is skipped rather than stored inactive.
        if (bans.expires_at(i) > now) bans_.set(bans.address(i), bans.expires_at(i));
    }
}

EngineStats StateEngine::stats() const noexcept {
    return EngineStats{nonces_.current_size(), nonces_.previous_size(),
                       bans_.count_active(clock_->unix_now_secs())};
}

void StateEngine::clear() noexcept {
    bans_.clear();
    nonces_.clear(clock_->monotonic_now());
}

StateEngine& EngineStore::engine_or_create() {
    if (engine_ == nullptr) engine_ = new StateEngine(*clock_);
    return *engine_;
}

}  // namespace quelvar
