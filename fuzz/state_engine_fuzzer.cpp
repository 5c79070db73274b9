// Coverage-guided fuzzing of the state engine on plain data. Each input is a
// sequence of operations, run against the engine and against a model built
// from standard containers that follows the engine's rules word for word;
// any disagreement ends the run with both answers.
//
// Three subjects share the input, chosen by its first byte:
// - a StateEngine on a hand-set clock: nonces, bans with any duration,
//   unbans, lookups, hydration, statistics, reset, and the wall and
//   monotonic clocks stepped forward and backward, by any amount;
// - a BanTable and a NonceBucket made with room for only a few entries, so
//   that short inputs already grow them, fill them with deleted slots and
//   rebuild them;
// - the four-lane, eight-lane and two-key hashes against the one-message
//   hash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "hashing/siphash.hpp"
#include "hashing/siphash_lanes.hpp"
#include "state/ban_list.hpp"
#include "state/ban_table.hpp"
#include "state/nonce_bucket.hpp"
#include "state/state_engine.hpp"

using namespace quelvar;

namespace {

[[noreturn]] void disagree(const char* what, int line) {
    std::fprintf(stderr, "state engine and model disagree at line %d: %s\n", line, what);
    std::abort();
}
#define EXPECT(condition) ((condition) ? void() : disagree(#condition, __LINE__))

constexpr std::uint64_t NANOS = 1'000'000'000;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

class FakeClock final : public Clock {
public:
    std::uint64_t unix_now_secs() const noexcept override { return wall_; }
    MonoTime monotonic_now() const noexcept override { return mono_; }

    void set_wall(std::uint64_t secs) { wall_ = secs; }
    // Moves the monotonic reading by a signed amount, stopping at the ends
    // of its range: the engine must cope with readings out of order.
    void step_mono(bool backward, std::uint64_t secs, std::uint32_t nanos) {
        using Wide = unsigned __int128;
        const Wide latest = static_cast<Wide>(U64_MAX) * NANOS + (NANOS - 1);
        const Wide at = static_cast<Wide>(mono_.secs) * NANOS + mono_.nanos;
        const Wide step = static_cast<Wide>(secs) * NANOS + nanos % NANOS;
        const Wide to = backward ? (step > at ? 0 : at - step) : (step > latest - at ? latest : at + step);
        mono_ = MonoTime{static_cast<std::uint64_t>(to / NANOS), static_cast<std::uint32_t>(to % NANOS)};
    }

private:
    std::uint64_t wall_ = 1'700'000'000;
    MonoTime mono_{5'000, 0};
};

// The rules, written as directly as they read.
struct Model {
    std::set<std::string> current, previous;
    MonoTime bucket_start;
    std::map<std::string, std::uint64_t> bans;

    static bool window_over(MonoTime start, MonoTime now) {
        if (now <= start) return false;  // out of order: no time has passed
        unsigned __int128 a = static_cast<unsigned __int128>(start.secs) * NANOS + start.nanos;
        unsigned __int128 b = static_cast<unsigned __int128>(now.secs) * NANOS + now.nanos;
        return b - a >= static_cast<unsigned __int128>(60) * NANOS;
    }

    bool consume(const std::string& token, MonoTime now) {
        if (window_over(bucket_start, now)) {
            previous = std::move(current);
            current.clear();
            bucket_start = now;
        }
        if (current.count(token) || previous.count(token)) return false;
        current.insert(token);
        return true;
    }
    void ban(const std::string& address, std::uint64_t now, std::uint64_t duration) {
        bans[address] = duration > U64_MAX - now ? U64_MAX : now + duration;
    }
    bool banned(const std::string& address, std::uint64_t now) const {
        auto found = bans.find(address);
        return found != bans.end() && now < found->second;
    }
    std::uint64_t active(std::uint64_t now) const {
        std::uint64_t count = 0;
        for (const auto& [address, expires_at] : bans) count += now < expires_at;
        return count;
    }
};

// Strings drawn from the input: mostly from a small pool, so that the same
// tokens and addresses come back, sometimes new ones of any length (up to a
// few hundred bytes, past the one-byte length of an arena record and the
// vector hash's limit).
class Strings {
public:
    explicit Strings(FuzzedDataProvider& in) : in_(in) {}
    std::string next() {
        if (!pool_.empty() && in_.ConsumeBool())
            return pool_[in_.ConsumeIntegralInRange<std::size_t>(0, pool_.size() - 1)];
        std::string fresh;
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: fresh = in_.ConsumeRandomLengthString(24); break;
            case 1: fresh = "10.0." + std::to_string(in_.ConsumeIntegral<std::uint16_t>() % 300); break;
            case 2:
                fresh = std::string(in_.ConsumeIntegralInRange<std::size_t>(0, 300),
                                    static_cast<char>(in_.ConsumeIntegral<char>()));
                break;
            default: fresh = in_.ConsumeRandomLengthString(80); break;
        }
        if (pool_.size() < 64) pool_.push_back(fresh);
        return fresh;
    }

private:
    FuzzedDataProvider& in_;
    std::vector<std::string> pool_;
};

std::uint64_t interesting_u64(FuzzedDataProvider& in, std::uint64_t near) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return 0;
        case 1: return U64_MAX;
        case 2: return near;
        case 3: return near + in.ConsumeIntegralInRange<std::uint64_t>(0, 200) - 100;
        case 4: return U64_MAX - in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
        default: return in.ConsumeIntegral<std::uint64_t>();
    }
}

void check_stats(const StateEngine& engine, const Model& model, const FakeClock& clock) {
    const EngineStats stats = engine.stats();
    EXPECT(stats.current_bucket_nonces == model.current.size());
    EXPECT(stats.previous_bucket_nonces == model.previous.size());
    EXPECT(stats.active_ip_bans == model.active(clock.unix_now_secs()));
}

void fuzz_engine(FuzzedDataProvider& in) {
    FakeClock clock;
    // Mostly small tables, so that short inputs grow them; sometimes the
    // module's own sizes.
    const EngineReserves reserves = in.ConsumeIntegralInRange<int>(0, 63) == 0
                                        ? EngineReserves{}
                                        : EngineReserves{in.ConsumeIntegralInRange<std::size_t>(0, 16),
                                                         in.ConsumeIntegralInRange<std::size_t>(0, 16)};
    StateEngine engine(clock, reserves);
    Model model;
    model.bucket_start = clock.monotonic_now();
    Strings strings(in);
    while (in.remaining_bytes() > 0) {
        const std::uint64_t now = clock.unix_now_secs();
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1: {
                const std::string token = strings.next();
                EXPECT(engine.consume_nonce(token) == model.consume(token, clock.monotonic_now()));
                break;
            }
            case 2: {
                const std::string address = strings.next();
                const std::uint64_t duration = interesting_u64(in, 3'600);
                engine.ban(BanAddress(address), now, duration);
                model.ban(address, now, duration);
                break;
            }
            case 3: {
                const std::string address = strings.next();
                engine.unban(BanAddress(address));
                model.bans.erase(address);
                break;
            }
            case 4: {
                const std::string address = strings.next();
                EXPECT(engine.is_banned(BanAddress(address), now) == model.banned(address, now));
                break;
            }
            case 5: {
                // The module hashes under the process key; a list under any
                // other key must give the same result.
                BanList list(in.ConsumeBool() ? process_ban_hash() : KeyedHash::random());
                std::vector<std::pair<std::string, std::uint64_t>> pairs;
                const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 40);
                for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
                    pairs.emplace_back(strings.next(), interesting_u64(in, now));
                    list.append(pairs.back().first, pairs.back().second);
                }
                if (in.ConsumeBool()) list.finish();
                engine.hydrate(list);
                for (const auto& [address, expires_at] : pairs) {
                    if (expires_at > now) model.bans[address] = expires_at;
                }
                break;
            }
            case 6: check_stats(engine, model, clock); break;
            case 7:
                engine.clear();
                model = Model{};
                model.bucket_start = clock.monotonic_now();
                break;
            case 8: clock.set_wall(interesting_u64(in, now)); break;
            default: {
                const bool backward = in.ConsumeIntegralInRange<int>(0, 3) == 0;
                std::uint64_t secs;
                switch (in.ConsumeIntegralInRange<int>(0, 3)) {
                    case 0: secs = 60; break;
                    case 1: secs = 59; break;
                    case 2: secs = in.ConsumeIntegralInRange<std::uint64_t>(0, 200); break;
                    default: secs = in.ConsumeIntegral<std::uint64_t>(); break;
                }
                clock.step_mono(backward, secs, in.ConsumeBool() ? 0 : in.ConsumeIntegral<std::uint32_t>());
                break;
            }
        }
    }
    check_stats(engine, model, clock);
    for (const auto& [address, expires_at] : model.bans) {
        EXPECT(engine.is_banned(BanAddress(address), clock.unix_now_secs()) ==
               model.banned(address, clock.unix_now_secs()));
    }
}

// The tables below the engine, with room for a handful of entries.
void fuzz_tables(FuzzedDataProvider& in) {
    const KeyedHash key = KeyedHash::random();
    BanTable table(in.ConsumeIntegralInRange<std::size_t>(0, 20), key);
    NonceBucket bucket(in.ConsumeIntegralInRange<std::size_t>(0, 20), KeyedHash::random());
    std::map<std::string, std::uint64_t> bans;
    std::unordered_set<std::string> tokens;
    Strings strings(in);
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0: {
                const std::string address = strings.next();
                const std::uint64_t expires_at = in.ConsumeIntegral<std::uint8_t>();
                table.set(address, expires_at);
                bans[address] = expires_at;
                break;
            }
            case 1: {
                const std::string address = strings.next();
                table.remove(address);
                bans.erase(address);
                break;
            }
            case 2: {
                const std::string address = strings.next();
                auto found = bans.find(address);
                const std::optional<std::uint64_t> expected =
                    found == bans.end() ? std::nullopt : std::optional<std::uint64_t>(found->second);
                EXPECT(table.expires_at(address) == expected);
                const std::uint64_t now = in.ConsumeIntegral<std::uint8_t>();
                EXPECT(table.is_active(address, now) == (expected && now < *expected));
                break;
            }
            case 3: {
                const std::uint64_t now = in.ConsumeIntegral<std::uint8_t>();
                std::uint64_t active = 0;
                for (const auto& [address, expires_at] : bans) active += now < expires_at;
                EXPECT(table.count_active(now) == active);
                EXPECT(table.size() == bans.size());
                break;
            }
            case 4: {
                BanList list(in.ConsumeBool() ? key : KeyedHash::random());
                std::vector<std::pair<std::string, std::uint64_t>> pairs;
                const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 30);
                for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
                    pairs.emplace_back(strings.next(), in.ConsumeIntegral<std::uint8_t>());
                    list.append(pairs.back().first, pairs.back().second);
                }
                list.finish();
                const std::uint64_t now = in.ConsumeIntegral<std::uint8_t>();
                table.set_unexpired(list, now);
                for (const auto& [address, expires_at] : pairs) {
                    if (expires_at > now) bans[address] = expires_at;
                }
                break;
            }
            case 5: {
                const std::string token = strings.next();
                const std::uint64_t hash = bucket.hash(token);
                const bool present = tokens.count(token) != 0;
                EXPECT(bucket.contains(token, hash) == present);
                if (!present) {
                    bucket.insert_absent(token, hash);
                    tokens.insert(token);
                }
                EXPECT(bucket.size() == tokens.size());
                break;
            }
            default:
                if (in.ConsumeBool()) {
                    table.clear();
                    bans.clear();
                } else {
                    bucket.clear();
                    tokens.clear();
                }
                break;
        }
    }
    for (const auto& [address, expires_at] : bans) EXPECT(table.expires_at(address) == expires_at);
    for (const std::string& token : tokens) EXPECT(bucket.contains(token, bucket.hash(token)));
}

void fuzz_hashes(FuzzedDataProvider& in) {
    while (in.remaining_bytes() > 0) {
        const SipKey key{in.ConsumeIntegral<std::uint64_t>(), in.ConsumeIntegral<std::uint64_t>()};
        const SipKey other{in.ConsumeIntegral<std::uint64_t>(), in.ConsumeIntegral<std::uint64_t>()};
        // Exact-size buffers, so that a read past a message's end is caught.
        std::vector<char> messages[8];
        const char* data[8];
        std::size_t length[8];
        for (int lane = 0; lane < 8; ++lane) {
            const std::string bytes = in.ConsumeRandomLengthString(100);
            messages[lane].assign(bytes.begin(), bytes.end());
            data[lane] = messages[lane].data();
            length[lane] = messages[lane].size();
        }
        std::uint64_t eight[8];
        siphash13_x8(key, data, length, eight);
        for (int lane = 0; lane < 8; ++lane) {
            const std::uint64_t single = siphash13(key, data[lane], length[lane]);
            EXPECT(eight[lane] == single);
            const HashPair pair = siphash13_pair(key, other, data[lane], length[lane]);
            EXPECT(pair.first == single && pair.second == siphash13(other, data[lane], length[lane]));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
        case 1: fuzz_engine(in); break;
        case 2: fuzz_tables(in); break;
        default: fuzz_hashes(in); break;
    }
    return 0;
}
