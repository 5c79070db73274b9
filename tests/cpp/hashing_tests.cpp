// Tests of the pieces under the tables' speed: the hash against a plain
// byte-by-byte SipHash-1-3 at every length and tail, the many-lane and
// two-key forms against the one-message form, short copies, and the
// converted ban list with its hashes and its reused buffers.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "containers/byte_copy.hpp"
#include "hashing/siphash.hpp"
#include "hashing/siphash_lanes.hpp"
#include "state/ban_list.hpp"
#include "state/ban_table.hpp"

using namespace quelvar;

namespace {

// SipHash-1-3 as the reference describes it, a byte at a time.
std::uint64_t reference_siphash13(SipKey key, const std::string& message) {
    auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    std::uint64_t v0 = key.k0 ^ 0x736f6d6570736575ULL, v1 = key.k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = key.k0 ^ 0x6c7967656e657261ULL, v3 = key.k1 ^ 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    };
    std::vector<unsigned char> padded(message.begin(), message.end());
    while (padded.size() % 8 != 7) padded.push_back(0);
    padded.push_back(static_cast<unsigned char>(message.size()));
    for (std::size_t i = 0; i < padded.size(); i += 8) {
        std::uint64_t m = 0;
        for (int b = 0; b < 8; ++b) m |= static_cast<std::uint64_t>(padded[i + b]) << (8 * b);
        v3 ^= m, round(), v0 ^= m;
    }
    v2 ^= 0xff, round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

std::string random_bytes(std::mt19937_64& random, std::size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

}  // namespace

TEST(siphash13_agrees_with_the_bytewise_reference_at_every_length) {
    std::mt19937_64 random(1);
    for (std::size_t length = 0; length <= 80; ++length) {
        for (int trial = 0; trial < 20; ++trial) {
            const SipKey key{random(), random()}, other{random(), random()};
            // The message sits at the very end of its buffer, so that a read
            // past it would be seen by a sanitizer.
            const std::string message = random_bytes(random, length);
            std::vector<char> exact(message.begin(), message.end());
            const std::uint64_t expected = reference_siphash13(key, message);
            CHECK(siphash13(key, exact.data(), exact.size()) == expected);
            const HashPair pair = siphash13_pair(key, other, exact.data(), exact.size());
            CHECK(pair.first == expected && pair.second == reference_siphash13(other, message));
        }
    }
}

TEST(eight_lane_siphash_agrees_with_one_lane_for_any_mix_of_lengths) {
    std::mt19937_64 random(2);
    // Lengths around every word boundary, across the vector limit of 63
    // bytes, in groups of one word count and of mixed counts.
    const std::size_t lengths[] = {0, 1, 3, 4, 7, 8, 9, 12, 15, 16, 17, 22, 23, 24, 31, 39, 40, 55, 63, 64, 65, 200};
    for (int trial = 0; trial < 20'000; ++trial) {
        const SipKey key{random(), random()};
        std::string messages[8];
        const char* data[8];
        std::size_t length[8];
        // Even trials: all eight with one word count (the interleaved path),
        // now and then one lane off by a word or past the vector limit.
        const bool same_words = trial % 2 == 0;
        const std::size_t words = 1 + random() % 7;
        for (int lane = 0; lane < 8; ++lane) {
            std::size_t n =
                same_words ? words * 8 + random() % 8 : lengths[random() % (sizeof lengths / sizeof lengths[0])];
            if (same_words && trial % 10 == 0 && lane == trial % 8) n = trial % 20 == 0 ? n + 8 : 64 + n;
            messages[lane] = random_bytes(random, n);
            data[lane] = messages[lane].data();
            length[lane] = n;
        }
        std::uint64_t eight[8];
        siphash13_x8(key, data, length, eight);
        for (int lane = 0; lane < 8; ++lane) {
            const std::uint64_t expected = reference_siphash13(key, messages[lane]);
            CHECK(eight[lane] == expected);
        }
    }
    std::printf("  many-lane hashing %s\n", siphash13_x8_is_vectorised() ? "in AVX2 lanes" : "in scalar code");
}

TEST(short_copies_move_exactly_the_bytes_asked_for) {
    std::mt19937_64 random(3);
    for (std::size_t n = 0; n <= 80; ++n) {
        const std::string source = random_bytes(random, n);
        std::string target(n + 16, '#');
        copy_bytes(target.data() + 8, source.data(), n);
        CHECK(target.substr(0, 8) == std::string(8, '#'));
        CHECK(target.substr(8, n) == source);
        CHECK(target.substr(8 + n) == std::string(8, '#'));
    }
}

TEST(ban_list_keeps_pairs_and_hashes_them_under_its_key) {
    std::mt19937_64 random(4);
    const KeyedHash hash = KeyedHash::random();
    // Two rounds on one thread: the second list reuses the first one's buffers.
    for (int round = 0; round < 2; ++round) {
        BanList list(hash);
        std::vector<std::pair<std::string, std::uint64_t>> pairs;
        const std::size_t count = 1'000 + static_cast<std::size_t>(round);
        list.reserve(round == 0 ? 4 : count);
        for (std::size_t i = 0; i < count; ++i) {
            pairs.emplace_back(random_bytes(random, random() % 50), random());
            list.append(pairs.back().first, pairs.back().second);
        }
        CHECK(!list.finished() || count % 4 == 0);
        // Before finish the tail is hashed on demand; after it, stored.
        CHECK(list.hash(count - 1) == hash(pairs.back().first));
        list.finish();
        CHECK(list.finished() && list.size() == count);
        for (std::size_t i = 0; i < count; ++i) {
            CHECK(list.address(i) == pairs[i].first);
            CHECK(list.expires_at(i) == pairs[i].second);
            CHECK(list.finished_hash(i) == hash(pairs[i].first));
        }
        // A list made while another is alive gets buffers of its own.
        BanList inner(hash);
        inner.append("198.51.100.7", 9);
        inner.finish();
        CHECK(inner.address(0) == "198.51.100.7" && list.address(0) == pairs[0].first);
    }
}

TEST(hydration_under_another_key_hashes_again) {
    // A list hashed under a key other than the table's must still land on
    // the right entries, also when pairs for one address follow each other.
    BanTable table(16, KeyedHash::random());
    BanList list(KeyedHash::random());
    for (int i = 0; i < 300; ++i) list.append("10.0.0." + std::to_string(i % 100), 1'000 + i);
    list.append("expired", 5);
    list.finish();
    table.set_unexpired(list, 100);
    CHECK(table.size() == 100);
    CHECK(table.expires_at("10.0.0.7") == 1'207u);
    CHECK(!table.expires_at("expired"));
}

int main() { return check::run_all(); }
