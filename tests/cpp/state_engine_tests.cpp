// Tests of the state engine on a hand-set clock: nonce windows and rotation,
// ban expiry and hydration, statistics and reset, the hash tables against
// simple models, SipHash-1-3 against known answers, and the store's lock
// under real threads.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "nonce_cache/ban_table.hpp"
#include "nonce_cache/nonce_bucket.hpp"
#include "nonce_cache/siphash.hpp"
#include "nonce_cache/state_engine.hpp"

using namespace quelvar;

namespace {

constexpr std::uint64_t NEVER = std::numeric_limits<std::uint64_t>::max();

// A clock that moves only when told. The monotonic reading is an offset in
// nanoseconds from an arbitrary start, so that timelines read as "seconds
// since the engine was created".
class ManualClock final : public Clock {
public:
    std::uint64_t unix_now_secs() const noexcept override { return wall_; }
    MonoTime monotonic_now() const noexcept override {
        const std::uint64_t ns = MONO_ORIGIN_NS + offset_ns_;
        return MonoTime{ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u)};
    }
    void at_seconds(std::uint64_t secs) { offset_ns_ = secs * 1'000'000'000u; }
    void at_nanos(std::uint64_t ns) { offset_ns_ = ns; }
    void set_wall(std::uint64_t secs) { wall_ = secs; }

private:
    static constexpr std::uint64_t MONO_ORIGIN_NS = 5'000'000'000'000u;
    std::uint64_t offset_ns_ = 0;
    std::uint64_t wall_ = 1'700'000'000;
};

struct Counts {
    std::uint64_t current, previous, active;
};

Counts counts(const StateEngine& engine) {
    EngineStats s = engine.stats();
    return {s.current_bucket_nonces, s.previous_bucket_nonces, s.active_ip_bans};
}

bool operator==(const Counts& a, const Counts& b) {
    return a.current == b.current && a.previous == b.previous && a.active == b.active;
}
std::ostream& operator<<(std::ostream& out, const Counts& c) {
    return out << "{" << c.current << ", " << c.previous << ", " << c.active << "}";
}

BanList ban_list(std::initializer_list<std::pair<std::string_view, std::uint64_t>> pairs) {
    BanList list;
    for (auto [address, expires_at] : pairs) list.append(address, expires_at);
    return list;
}

}  // namespace

// ---------------------------------------------------------------- SipHash

// Known answers from an independent implementation of SipHash-1-3: CPython's
// hash() of bytes, with the keys that PYTHONHASHSEED=0 and =12345 select.
TEST(siphash13_matches_known_answers) {
    struct Vector {
        SipKey key;
        std::string message;
        std::uint64_t hash;
    };
    const SipKey zero{0, 0};
    const SipKey seeded{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL};
    const std::string fifteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    const std::string sixteen = fifteen + '\x0f';
    std::string forty;
    for (int b = 200; b < 240; ++b) forty += static_cast<char>(b);
    const std::vector<Vector> vectors = {
        {zero, "a", 0x407448d2b89b1813ULL},
        {zero, "abcdefg", 0x6db12aae9070f506ULL},
        {zero, "abcdefgh", 0x3f7b849c0b8e35eaULL},
        {zero, "abcdefghi", 0xf89b34a3d11eb6e5ULL},
        {zero, fifteen, 0xf30eb725bb91c9eaULL},
        {zero, sixteen, 0x8972188433a5c5b7ULL},
        {zero, "Jb0x_3kQz9-LmN2pRsTuVw", 0x5e0b3995bd6c0fdfULL},
        {zero, forty, 0xb7d2f52a6db5ee2dULL},
        {seeded, "a", 0x83a33d688c5cf68fULL},
        {seeded, "abcdefg", 0x555571eeff658e40ULL},
        {seeded, "abcdefgh", 0x17059dcb47eb5a21ULL},
        {seeded, "abcdefghi", 0xa92684ee643fd89aULL},
        {seeded, fifteen, 0xbe8dc664d017b99eULL},
        {seeded, sixteen, 0x2e932605ea370595ULL},
        {seeded, "Jb0x_3kQz9-LmN2pRsTuVw", 0xf9deb964c5521f88ULL},
        {seeded, forty, 0x3331c8cf3f63898eULL},
        {seeded, "\xc3\xbc" "n\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9", 0x7724ee5ea1c987daULL},
    };
    for (const Vector& v : vectors) {
        CHECK_EQ(siphash13(v.key, v.message.data(), v.message.size()), v.hash);
    }
}

TEST(random_keys_differ) {
    // Two tables must not share a key: equal hashes of the same bytes under
    // two random keys would mean the keys are not random.
    const std::string token = "Jb0x_3kQz9-LmN2pRsTuVw";
    CHECK(KeyedHash::random()(token) != KeyedHash::random()(token));
}

// ---------------------------------------------------------------- clocks

TEST(elapsed_time_is_never_negative) {
    CHECK(elapsed_between(MonoTime{10, 5}, MonoTime{9, 999'999'999}) == Duration{});
    CHECK(elapsed_between(MonoTime{10, 5}, MonoTime{10, 5}) == Duration{});
    CHECK(elapsed_between(MonoTime{10, 900'000'000}, MonoTime{12, 100'000'000}) == (Duration{1, 200'000'000}));
    CHECK(elapsed_between(MonoTime{0, 0}, MonoTime{NEVER, 999'999'999}) == (Duration{NEVER, 999'999'999}));
}

// ---------------------------------------------------------------- nonces

TEST(replays_are_refused_and_tokens_compare_as_exact_bytes) {
    ManualClock clock;
    StateEngine engine(clock);
    const std::vector<std::string> tokens = {"", "a", "A", "a ", std::string("a\0b", 3), std::string(200, 'x'),
                                             std::string(20'000, 'y'), "\xc3\xa9", "e\xcc\x81"};
    for (const std::string& token : tokens) CHECK(engine.consume_nonce(token));
    for (const std::string& token : tokens) CHECK(!engine.consume_nonce(token));
    CHECK_EQ(counts(engine), (Counts{tokens.size(), 0, 0}));
}

TEST(token_refused_at_61_seconds) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("t"));
    clock.at_seconds(61);
    CHECK(!engine.consume_nonce("t"));
    CHECK_EQ(counts(engine), (Counts{0, 1, 0}));
}

TEST(token_accepted_again_after_two_rotations) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("t"));
    clock.at_seconds(61);
    CHECK(engine.consume_nonce("other"));
    clock.at_seconds(122);
    CHECK(engine.consume_nonce("t"));
}

TEST(replay_does_not_refresh_a_token) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("t"));
    clock.at_seconds(59);
    CHECK(!engine.consume_nonce("t"));
    clock.at_seconds(60);
    CHECK(engine.consume_nonce("other"));
    CHECK_EQ(counts(engine), (Counts{1, 1, 0}));
    clock.at_seconds(121);
    CHECK(engine.consume_nonce("t"));
}

TEST(one_rotation_however_long_the_pause) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("t"));
    clock.at_seconds(600);
    CHECK(!engine.consume_nonce("t"));
    CHECK_EQ(counts(engine), (Counts{0, 1, 0}));
    // The window restarted at 600 s, not at a multiple of 60 s.
    clock.at_seconds(659);
    CHECK(!engine.consume_nonce("t"));
    clock.at_seconds(660);
    CHECK(engine.consume_nonce("t"));
}

TEST(exactly_sixty_seconds_rotates_one_nanosecond_less_does_not) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("a"));
    clock.at_nanos(59'999'999'999u);
    CHECK(engine.consume_nonce("b"));
    CHECK_EQ(counts(engine), (Counts{2, 0, 0}));
    clock.at_nanos(60'000'000'000u);
    CHECK(engine.consume_nonce("c"));
    CHECK_EQ(counts(engine), (Counts{1, 2, 0}));
}

TEST(clock_going_backwards_does_not_rotate) {
    ManualClock clock;
    clock.at_seconds(100);
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("a"));
    clock.at_seconds(0);  // a reading before the window began
    CHECK(engine.consume_nonce("b"));
    CHECK_EQ(counts(engine), (Counts{2, 0, 0}));
    clock.at_seconds(160);
    CHECK(engine.consume_nonce("c"));
    CHECK_EQ(counts(engine), (Counts{1, 2, 0}));
}

TEST(buckets_grow_past_their_reservation) {
    ManualClock clock;
    StateEngine engine(clock);
    const std::size_t n = NONCE_BUCKET_RESERVE * 3 + 7;
    for (std::size_t i = 0; i < n; ++i) CHECK(engine.consume_nonce("token-" + std::to_string(i)));
    for (std::size_t i = 0; i < n; ++i) CHECK(!engine.consume_nonce("token-" + std::to_string(i)));
    clock.at_seconds(60);
    for (std::size_t i = 0; i < n; ++i) CHECK(!engine.consume_nonce("token-" + std::to_string(i)));
    CHECK_EQ(counts(engine), (Counts{0, n, 0}));
}

TEST(nonce_bucket_agrees_with_a_set) {
    // Random tokens of random lengths (including long ones whose length takes
    // more than one byte in the arena), checked against std::unordered_set.
    std::mt19937_64 random(7);
    NonceBucket bucket(16, KeyedHash::random());
    std::unordered_set<std::string> model;
    for (int i = 0; i < 50'000; ++i) {
        const std::size_t length = random() % 8 == 0 ? random() % 400 : random() % 12;
        std::string token(length, '\0');
        for (char& c : token) c = static_cast<char>('a' + random() % 3);
        const std::uint64_t hash = bucket.hash(token);
        const bool present = bucket.contains(token, hash);
        CHECK_EQ(present, model.count(token) == 1);
        if (!present) {
            bucket.insert_absent(token, hash);
            model.insert(token);
        }
    }
    CHECK_EQ(bucket.size(), model.size());
    for (const std::string& token : model) CHECK(bucket.contains(token, bucket.hash(token)));
}

// ---------------------------------------------------------------- bans

TEST(ban_expires_exactly_at_expires_at) {
    ManualClock clock;
    StateEngine engine(clock);
    engine.ban("203.0.113.7", 1'000, 3'600);
    CHECK_EQ(engine.ban_expiry("203.0.113.7"), std::optional<std::uint64_t>(4'600));
    CHECK(engine.is_banned("203.0.113.7", 4'599));
    CHECK(!engine.is_banned("203.0.113.7", 4'600));
    // Expired, but still stored.
    CHECK_EQ(engine.ban_expiry("203.0.113.7"), std::optional<std::uint64_t>(4'600));
}

TEST(a_later_ban_replaces_the_earlier_even_when_shorter) {
    ManualClock clock;
    StateEngine engine(clock);
    engine.ban("a", 1'000, 3'600);
    engine.ban("a", 1'000, 10);
    CHECK(!engine.is_banned("a", 1'010));
    engine.ban("a", 1'000, 0);
    CHECK(!engine.is_banned("a", 1'000));
    CHECK_EQ(engine.ban_expiry("a"), std::optional<std::uint64_t>(1'000));
}

TEST(expiry_saturates_instead_of_wrapping) {
    ManualClock clock;
    StateEngine engine(clock);
    engine.ban("a", 1'000, NEVER);
    engine.ban("b", 1'000, NEVER - 1'000);
    engine.ban("c", 1'000, NEVER - 1'001);
    CHECK_EQ(engine.ban_expiry("a"), std::optional<std::uint64_t>(NEVER));
    CHECK_EQ(engine.ban_expiry("b"), std::optional<std::uint64_t>(NEVER));
    CHECK_EQ(engine.ban_expiry("c"), std::optional<std::uint64_t>(NEVER - 1));
    CHECK(engine.is_banned("a", 1'000));
    CHECK(engine.is_banned("a", NEVER - 1));
}

TEST(addresses_compare_as_exact_bytes) {
    ManualClock clock;
    StateEngine engine(clock);
    engine.ban("2001:db8::1", 1'000, 60);
    for (std::string_view other : {"2001:DB8::1", "2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1 ", ""}) {
        CHECK(!engine.is_banned(other, 1'000));
    }
    CHECK(engine.is_banned("2001:db8::1", 1'000));
}

TEST(hydration_skips_expired_pairs_and_keeps_their_entries) {
    ManualClock clock;
    clock.set_wall(10'000);
    StateEngine engine(clock);
    engine.ban("Q", 10'000, 50);
    engine.ban("R", 10'000, 60);
    engine.hydrate(ban_list({{"P", 10'100}, {"Q", 10'000}, {"R", 5}}));
    CHECK_EQ(engine.ban_expiry("P"), std::optional<std::uint64_t>(10'100));
    CHECK_EQ(engine.ban_expiry("Q"), std::optional<std::uint64_t>(10'050));
    CHECK_EQ(engine.ban_expiry("R"), std::optional<std::uint64_t>(10'060));
    CHECK_EQ(counts(engine), (Counts{0, 0, 3}));
}

TEST(hydration_applies_pairs_in_order) {
    ManualClock clock;
    clock.set_wall(10'000);
    StateEngine engine(clock);
    engine.hydrate(ban_list({{"a", 10'100}, {"a", 9'999}, {"b", 10'100}, {"b", 10'010}}));
    CHECK_EQ(engine.ban_expiry("a"), std::optional<std::uint64_t>(10'100));
    CHECK_EQ(engine.ban_expiry("b"), std::optional<std::uint64_t>(10'010));
    engine.hydrate(BanList());
    CHECK_EQ(counts(engine), (Counts{0, 0, 2}));
}

TEST(hydration_reads_the_clock_when_it_runs) {
    ManualClock clock;
    clock.set_wall(10'000);
    StateEngine engine(clock);
    clock.set_wall(20'000);
    engine.hydrate(ban_list({{"a", 15'000}, {"b", 20'001}}));
    CHECK_EQ(engine.ban_expiry("a"), std::optional<std::uint64_t>());
    CHECK_EQ(engine.ban_expiry("b"), std::optional<std::uint64_t>(20'001));
}

TEST(active_count_excludes_expired_entries) {
    ManualClock clock;
    clock.set_wall(1'000);
    StateEngine engine(clock);
    engine.ban("gone", 900, 100);  // expires at 1 000: not active at 1 000
    engine.ban("live", 1'000, 1);
    CHECK_EQ(counts(engine), (Counts{0, 0, 1}));
    engine.unban("gone");
    CHECK_EQ(counts(engine), (Counts{0, 0, 1}));
    clock.set_wall(1'001);
    CHECK_EQ(counts(engine), (Counts{0, 0, 0}));
}

TEST(ban_table_agrees_with_a_map) {
    // Sets, replacements and removals in a small key space, so that entries
    // are removed and reinserted many times (deleted slots, moved entries,
    // rebuilds at the same size and at twice the size).
    std::mt19937_64 random(11);
    BanTable table(16, KeyedHash::random());
    std::unordered_map<std::string, std::uint64_t> model;
    for (int i = 0; i < 200'000; ++i) {
        const std::uint64_t now = 1'000;
        std::string address = "10.0." + std::to_string(random() % (i < 100'000 ? 3'000 : 40));
        switch (random() % 4) {
            case 0:
            case 1: {
                const std::uint64_t expires_at = now - 5 + random() % 10;
                table.set(address, expires_at);
                model[address] = expires_at;
                break;
            }
            case 2:
                table.remove(address);
                model.erase(address);
                break;
            default: {
                auto found = model.find(address);
                CHECK_EQ(table.is_active(address, now), found != model.end() && now < found->second);
            }
        }
        if (i % 10'000 == 0) {
            std::uint64_t active = 0;
            for (const auto& [key, expires_at] : model) {
                active += expires_at > now;
                CHECK_EQ(table.expires_at(key), std::optional<std::uint64_t>(expires_at));
            }
            CHECK_EQ(table.count_active(now), active);
            CHECK_EQ(table.size(), model.size());
        }
    }
}

// ---------------------------------------------------------------- reset

TEST(clear_leaves_the_engine_as_if_new) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("a"));
    clock.at_seconds(61);
    CHECK(engine.consume_nonce("b"));
    engine.ban("x", 1'700'000'000, 3'600);
    clock.at_seconds(90);
    engine.clear();
    CHECK_EQ(counts(engine), (Counts{0, 0, 0}));
    CHECK(!engine.is_banned("x", 1'700'000'000));
    CHECK_EQ(engine.ban_expiry("x"), std::optional<std::uint64_t>());
    CHECK(engine.consume_nonce("a"));
    CHECK(engine.consume_nonce("b"));
    // The window restarted at the reset (90 s), not at the rotation (61 s).
    clock.at_seconds(149);
    CHECK(engine.consume_nonce("c"));
    CHECK_EQ(counts(engine), (Counts{3, 0, 0}));
    clock.at_seconds(150);
    CHECK(!engine.consume_nonce("c"));
    CHECK_EQ(counts(engine), (Counts{0, 3, 0}));
}

// ---------------------------------------------------------------- the store

TEST(first_use_from_many_readers_creates_one_engine) {
    ManualClock clock;
    for (int round = 0; round < 20; ++round) {
        EngineStore store(clock);
        constexpr int THREADS = 8;
        std::vector<const StateEngine*> seen(THREADS);
        std::barrier start(THREADS);
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                seen[t] = store.read([](const StateEngine& engine) { return &engine; });
            });
        }
        for (std::thread& thread : threads) thread.join();
        CHECK(std::all_of(seen.begin(), seen.end(), [&](const StateEngine* e) { return e == seen[0]; }));
        CHECK_EQ(store.read([](const StateEngine& engine) { return &engine; }), seen[0]);
    }
}

TEST(racing_threads_get_exactly_one_true_per_token) {
    ManualClock clock;
    EngineStore store(clock);
    constexpr int THREADS = 4;
    constexpr int TOKENS = 20'000;
    std::vector<std::atomic<int>> accepted(TOKENS);
    std::barrier start(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::vector<int> order(TOKENS);
            for (int i = 0; i < TOKENS; ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), std::mt19937(t));
            start.arrive_and_wait();
            for (int i : order) {
                const std::string token = "nonce-" + std::to_string(i);
                if (store.write([&](StateEngine& engine) { return engine.consume_nonce(token); })) ++accepted[i];
                // Readers share the lock with the writers above.
                store.read([](const StateEngine& engine) { return engine.stats(); });
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(std::all_of(accepted.begin(), accepted.end(), [](const std::atomic<int>& n) { return n.load() == 1; }));
    CHECK_EQ(store.read([](const StateEngine& engine) { return engine.stats().current_bucket_nonces; }),
             std::uint64_t{TOKENS});
}

int main() { return check::run_all(); }
