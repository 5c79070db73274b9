// The coarse-first clock at its two boundaries, with the coarse clocks
// lagging the precise ones: every answer must be the precise clock's.
#include <cstdint>
#include <string>

#include "check.hpp"
#include "state/state_engine.hpp"

using namespace quelvar;

namespace {

constexpr std::uint64_t NS = 1'000'000'000;
constexpr std::uint32_t MARGIN = 8'000'000;  // two ticks of 4 ms

// Precise clocks set by hand in nanoseconds; the coarse ones lag by `lag`.
struct HandSetReadings {
    std::uint64_t wall_ns = 0;
    std::uint64_t mono_ns = 0;
    std::uint32_t lag = 0;
    mutable int precise_reads = 0;

    WallTime wall() const noexcept { return ++precise_reads, wall_at(wall_ns); }
    WallTime wall_coarse() const noexcept { return wall_at(wall_ns - lag); }
    MonoTime monotonic() const noexcept { return ++precise_reads, mono_at(mono_ns); }
    MonoTime monotonic_coarse() const noexcept { return mono_at(mono_ns - lag); }
    std::uint32_t wall_margin_nanos() const noexcept { return MARGIN; }
    std::uint32_t monotonic_margin_nanos() const noexcept { return MARGIN; }

    static WallTime wall_at(std::uint64_t ns) {
        return WallTime{static_cast<std::int64_t>(ns / NS), std::uint32_t(ns % NS)};
    }
    static MonoTime mono_at(std::uint64_t ns) { return MonoTime{ns / NS, std::uint32_t(ns % NS)}; }
};
using LaggingClock = CoarseFirstClock<HandSetReadings>;

// Offsets from a boundary, in 50 us steps across both margins and at the
// nanoseconds on each side of it.
template <class Probe>
void around_boundary(Probe probe) {
    for (std::int64_t offset = -3 * std::int64_t{MARGIN}; offset <= 2 * std::int64_t{MARGIN}; offset += 50'000) {
        probe(offset);
        for (std::int64_t edge : {-1, 1}) probe(offset + edge);
    }
}

}  // namespace

TEST(ban_answers_are_the_precise_clocks_at_the_whole_second) {
    constexpr std::uint64_t EXPIRES = 1'700'000'100;
    for (std::uint32_t lag : {0u, MARGIN / 2 - 1, MARGIN - 1}) {
        LaggingClock clock({.lag = lag});
        StateEngine engine(clock, EngineReserves{16, 16});
        const BanAddress address("192.0.2.7");
        engine.ban(address, EXPIRES - 10, 10);
        around_boundary([&](std::int64_t offset) {
            clock.readings().wall_ns = EXPIRES * NS + offset;
            const std::uint64_t now = clock.unix_now_secs();
            CHECK(now == clock.readings().wall_ns / NS);
            CHECK(engine.is_banned(address, now) == (offset < 0));
        });
    }
    // Mid-second the coarse clock alone answers.
    LaggingClock clock({.wall_ns = 1'700'000'000 * NS + NS / 2, .lag = MARGIN - 1});
    CHECK(clock.unix_now_secs() == 1'700'000'000 && clock.readings().precise_reads == 0);
}

TEST(nonce_window_turns_where_the_precise_clock_says) {
    constexpr std::uint64_t START = 5'000 * NS + 123'456'789;
    for (std::uint32_t lag : {0u, MARGIN / 2 - 1, MARGIN - 1}) {
        around_boundary([&](std::int64_t offset) {
            LaggingClock clock({.mono_ns = START, .lag = lag});
            StateEngine engine(clock, EngineReserves{16, 16});
            CHECK(engine.consume_nonce("a"));
            clock.readings().mono_ns = START + 60 * NS + offset;
            CHECK(engine.consume_nonce("b"));
            const EngineStats stats = engine.stats();
            CHECK(stats.previous_bucket_nonces == (offset >= 0 ? 1u : 0u));
        });
    }
    LaggingClock clock({.mono_ns = START, .lag = MARGIN - 1});
    CHECK(!clock.has_elapsed(HandSetReadings::mono_at(START - 59 * NS), Duration{60, 0}));
    CHECK(clock.has_elapsed(HandSetReadings::mono_at(START - 61 * NS), Duration{60, 0}));
    CHECK(clock.readings().precise_reads == 0);
}

int main() { return check::run_all(); }
