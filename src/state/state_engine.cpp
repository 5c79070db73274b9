#include "state/state_engine.hpp"

#include <limits>

#include "state/platform.hpp"

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

StateEngine::StateEngine(const Clock& clock, EngineReserves reserves)
    : clock_(&clock),
      nonces_(clock.monotonic_now(), reserves.nonces_per_bucket),
      bans_(reserves.bans, process_ban_hash()) {}

void StateEngine::ban(const BanAddress& address, std::uint64_t now, std::uint64_t duration_sec) {
    constexpr std::uint64_t LATEST = std::numeric_limits<std::uint64_t>::max();
    bans_.set(address.text, address.hash, duration_sec > LATEST - now ? LATEST : now + duration_sec);
}

void StateEngine::hydrate(const BanList& bans) { bans_.set_unexpired(bans, clock_->unix_now_secs()); }

EngineStats StateEngine::stats() const noexcept {
    return EngineStats{nonces_.current_size(), nonces_.previous_size(), bans_.count_active(clock_->unix_now_secs())};
}

void StateEngine::clear() noexcept {
    bans_.clear();
    nonces_.clear(clock_->monotonic_now());
}

void EngineStore::create_engine() { engine_ = new StateEngine(*clock_); }

}  // namespace quelvar
