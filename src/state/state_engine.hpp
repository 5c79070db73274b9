// The process-wide state: the nonce replay cache and the ban table, behind
// one reader-writer lock. The engine is created by the first call that needs
// it and then lives until the process ends; it is emptied in place, never
// replaced.
//
// Callers convert everything they need before taking the lock and build
// their results after releasing it: nothing done under the lock calls back
// into the interpreter, so the lock can never be held across a call that
// might wait for the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "state/ban_list.hpp"
#include "state/ban_table.hpp"
#include "state/clock.hpp"
#include "state/nonce_cache.hpp"
#include "state/rw_lock.hpp"

namespace quelvar {

inline constexpr std::size_t BAN_TABLE_RESERVE = 1'792;

// An address with its hash under the process's ban-table key, made before
// the store lock is taken so that the lock covers only the table's work.
struct BanAddress {
    explicit BanAddress(std::string_view address) noexcept : text(address), hash(process_ban_hash()(address)) {}
    std::string_view text;
    std::uint64_t hash;
};

// Room the engine's tables are made with. The module's engine uses these
// values; tests and fuzzers make smaller tables to reach growth quickly.
struct EngineReserves {
    std::size_t nonces_per_bucket = NONCE_BUCKET_RESERVE;
    std::size_t bans = BAN_TABLE_RESERVE;
};

struct EngineStats {
    std::uint64_t current_bucket_nonces = 0;
    std::uint64_t previous_bucket_nonces = 0;
    std::uint64_t active_ip_bans = 0;
};

class StateEngine {
public:
    // Empty; the nonce window starts now. The clock must outlive the engine.
    explicit StateEngine(const Clock& clock, EngineReserves reserves = {});

    bool consume_nonce(std::string_view token) { return nonces_.consume(token, *clock_); }

    // Bans until now + duration_sec, saturating at the largest time.
    void ban(const BanAddress& address, std::uint64_t now, std::uint64_t duration_sec);
    void unban(const BanAddress& address) noexcept { bans_.remove(address.text, address.hash); }
    bool is_banned(const BanAddress& address, std::uint64_t now) const noexcept {
        return bans_.is_active(address.text, address.hash, now);
    }
    // Applies the pairs in order, skipping those already expired; reads the
    // wall clock once. The list is best made with process_ban_hash(), whose
    // hashes the table uses as they are.
    void hydrate(const BanList& bans);

    // Counts as they stand: the nonce window is not rotated here.
    EngineStats stats() const noexcept;
    // Back to the state of a new engine, keeping the memory already allocated.
    void clear() noexcept;

private:
    const Clock* clock_;
    NonceCache nonces_;
    BanTable bans_;
};

// A slot that is empty or holds one engine, and the lock around it.
class EngineStore {
public:
    constexpr explicit EngineStore(const Clock& clock) noexcept : clock_(&clock) {}
    ~EngineStore() { delete engine_; }
    EngineStore(const EngineStore&) = delete;
    EngineStore& operator=(const EngineStore&) = delete;

    const Clock& clock() const noexcept { return *clock_; }

    // Runs op(StateEngine&) under the exclusive lock, creating the engine first
    // if the slot is empty.
    template <class Op>
    decltype(auto) write(Op&& op) {
        std::unique_lock exclusive(lock_);
        return std::forward<Op>(op)(engine_or_create());
    }

    // Runs op(const StateEngine&) under the shared lock. With the slot still
    // empty it falls back to the exclusive lock, where the slot is checked
    // again: another thread may have created the engine in between.
    template <class Op>
    decltype(auto) read(Op&& op) {
        {
            std::shared_lock shared(lock_);
            if (engine_ != nullptr) return op(std::as_const(*engine_));
        }
        std::unique_lock exclusive(lock_);
        return op(std::as_const(engine_or_create()));
    }

private:
    StateEngine& engine_or_create() {
        if (engine_ == nullptr) [[unlikely]]
            create_engine();
        return *engine_;
    }
    void create_engine();

    RwLock lock_;
    StateEngine* engine_ = nullptr;
    const Clock* clock_;
};

// The one store of the process, on the system clocks; never destroyed.
extern EngineStore& STATE_ENGINE;

template <class Op>
decltype(auto) with_engine_write(Op&& op) {
    return STATE_ENGINE.write(std::forward<Op>(op));
}

template <class Op>
decltype(auto) with_engine_read(Op&& op) {
    return STATE_ENGINE.read(std::forward<Op>(op));
}

}  // namespace quelvar
