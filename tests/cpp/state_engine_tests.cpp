// Tests of the state engine core that the module cannot reach: the nonce
// window to the nanosecond on a hand-set clock, the ban table against a
// simple map under heavy churn, SipHash-1-3 against known answers, and the
// store's lock under real threads.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "check.hpp"
#include "hashing/siphash.hpp"
#include "state/ban_table.hpp"
#include "state/rw_lock.hpp"
#include "state/state_engine.hpp"

using namespace quelvar;

namespace {

// A monotonic clock that moves only when told, counted in nanoseconds from
// an arbitrary origin.
class ManualClock final : public Clock {
public:
    std::uint64_t unix_now_secs() const noexcept override { return 1'700'000'000; }
    MonoTime monotonic_now() const noexcept override {
        const std::uint64_t ns = 5'000'000'000'000u + offset_ns_;
        return MonoTime{ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u)};
    }
    void at_nanos(std::uint64_t ns) { offset_ns_ = ns; }

private:
    std::uint64_t offset_ns_ = 0;
};

bool stats_are(const StateEngine& engine, std::uint64_t current, std::uint64_t previous) {
    const EngineStats stats = engine.stats();
    return stats.current_bucket_nonces == current && stats.previous_bucket_nonces == previous;
}

}  // namespace

// Known answers from an independent implementation of SipHash-1-3: CPython's
// hash() of bytes under the keys that PYTHONHASHSEED=0 and =12345 select.
TEST(siphash13_matches_known_answers) {
    const SipKey zero{0, 0};
    const SipKey seeded{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL};
    std::string forty;
    for (int b = 200; b < 240; ++b) forty += static_cast<char>(b);
    const struct {
        SipKey key;
        std::string message;
        std::uint64_t hash;
    } vectors[] = {
        {zero, "a", 0x407448d2b89b1813ULL},          {zero, "abcdefg", 0x6db12aae9070f506ULL},
        {zero, "abcdefgh", 0x3f7b849c0b8e35eaULL},   {zero, "abcdefghi", 0xf89b34a3d11eb6e5ULL},
        {zero, forty, 0xb7d2f52a6db5ee2dULL},        {seeded, "a", 0x83a33d688c5cf68fULL},
        {seeded, "abcdefgh", 0x17059dcb47eb5a21ULL}, {seeded, "Jb0x_3kQz9-LmN2pRsTuVw", 0xf9deb964c5521f88ULL},
        {seeded, forty, 0x3331c8cf3f63898eULL},
    };
    for (const auto& v : vectors) CHECK(siphash13(v.key, v.message.data(), v.message.size()) == v.hash);
    // Keys from the random source: two keys that hash alike are not random.
    CHECK(KeyedHash::random()("token") != KeyedHash::random()("token"));
}

TEST(window_turns_at_exactly_sixty_seconds) {
    ManualClock clock;
    StateEngine engine(clock);
    CHECK(engine.consume_nonce("a"));
    clock.at_nanos(59'999'999'999u);
    CHECK(engine.consume_nonce("b"));
    CHECK(stats_are(engine, 2, 0));
    clock.at_nanos(60'000'000'000u);
    CHECK(engine.consume_nonce("c"));
    CHECK(stats_are(engine, 1, 2));
}

TEST(clock_reading_before_the_window_start_counts_as_no_time) {
    ManualClock clock;
    clock.at_nanos(100'000'000'000u);
    StateEngine engine(clock);
    clock.at_nanos(0);
    CHECK(engine.consume_nonce("a"));
    CHECK(stats_are(engine, 1, 0));
    clock.at_nanos(160'000'000'000u);
    CHECK(engine.consume_nonce("b"));
    CHECK(stats_are(engine, 1, 1));
}

TEST(ban_table_agrees_with_a_map) {
    // Sets, replacements and removals over a small key space, so that entries
    // are removed and reinserted many times: deleted slots, entries moved into
    // holes, rebuilds at the same size and at twice the size.
    std::mt19937_64 random(11);
    BanTable table(16, KeyedHash::random());
    std::unordered_map<std::string, std::uint64_t> model;
    const std::uint64_t now = 1'000;
    for (int i = 0; i < 200'000; ++i) {
        const std::string address = "10.0." + std::to_string(random() % (i < 100'000 ? 3'000 : 40));
        const unsigned action = random() % 4;
        if (action < 2) {
            const std::uint64_t expires_at = now - 5 + random() % 10;
            table.set(address, expires_at);
            model[address] = expires_at;
        } else if (action == 2) {
            table.remove(address);
            model.erase(address);
        } else {
            auto found = model.find(address);
            CHECK(table.is_active(address, now) == (found != model.end() && now < found->second));
        }
        if (i % 20'000 == 0) {
            std::uint64_t active = 0;
            for (const auto& [key, expires_at] : model) {
                active += expires_at > now;
                CHECK(table.expires_at(key) == expires_at);
            }
            CHECK(table.count_active(now) == active);
            CHECK(table.size() == model.size());
        }
    }
}

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
        CHECK(std::count(seen.begin(), seen.end(), seen[0]) == THREADS);
    }
}

TEST(racing_threads_get_exactly_one_true_per_token) {
    ManualClock clock;
    EngineStore store(clock);
    constexpr int THREADS = 4, TOKENS = 20'000;
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
                store.read([](const StateEngine& engine) { return engine.stats(); });  // readers in between
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(std::all_of(accepted.begin(), accepted.end(), [](const std::atomic<int>& n) { return n == 1; }));
}

TEST(store_lock_excludes_writers_from_everyone_and_lets_readers_share) {
    // Writers keep two plain counters equal, stepping them one after the
    // other with a pause between; a reader that ever sees them differ, or a
    // writer that finds another inside, shows the lock let two in at once.
    // Readers also count how many of them are inside together.
    RwLock lock;
    std::uint64_t first = 0, second = 0;
    std::atomic<int> writers_inside{0}, readers_inside{0}, most_readers{0};
    std::atomic<bool> broken{false};
    constexpr int WRITERS = 3, READERS = 5, ROUNDS = 20'000;
    std::barrier start(WRITERS + READERS);
    std::vector<std::thread> threads;
    for (int t = 0; t < WRITERS; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < ROUNDS; ++i) {
                std::unique_lock exclusive(lock);
                if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) broken = true;
                ++first;
                if (i % 64 == 0) std::this_thread::yield();
                ++second;
                writers_inside.fetch_sub(1);
            }
        });
    }
    for (int t = 0; t < READERS; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < ROUNDS; ++i) {
                std::shared_lock shared(lock);
                const int inside = readers_inside.fetch_add(1) + 1;
                for (int most = most_readers.load();
                     inside > most && !most_readers.compare_exchange_weak(most, inside);) {}
                if (writers_inside.load() != 0 || first != second) broken = true;
                if (i % 64 == 0) std::this_thread::yield();
                readers_inside.fetch_sub(1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(!broken);
    CHECK(first == std::uint64_t{WRITERS} * ROUNDS && second == first);
    std::printf("  at most %d readers inside at once\n", most_readers.load());
}

int main() { return check::run_all(); }
