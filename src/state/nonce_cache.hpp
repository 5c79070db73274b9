// The replay guard: two buckets of tokens that take turns. A token is
// accepted once and refused while it sits in the running window's bucket or
// in the one before; old tokens are forgotten a whole bucket at a time, when
// a call finds the running window 60 s old or more.
#pragma once

#include <cstddef>
#include <string_view>

#include "state/clock.hpp"
#include "state/nonce_bucket.hpp"

namespace quelvar {

inline constexpr std::size_t NONCE_BUCKET_RESERVE = 14'336;
inline constexpr Duration NONCE_BUCKET_SECONDS{60, 0};

class NonceCache {
public:
    // Every bucket is made with room for `reserve` tokens.
    explicit NonceCache(MonoTime now, std::size_t reserve = NONCE_BUCKET_RESERVE);

    // True when the token is fresh (and is now recorded), false for a replay.
    // Rotates the buckets first if the running window is over.
    bool consume(std::string_view token, const Clock& clock);

    // Empties both buckets and starts a new window at `now`.
    void clear(MonoTime now) noexcept;

    std::size_t current_size() const noexcept { return current_bucket_.size(); }
    std::size_t previous_size() const noexcept { return previous_bucket_.size(); }

private:
    // A token's hashes under the two buckets' keys; the second only when the
    // previous bucket holds tokens.
    struct Hashes {
        std::uint64_t current;
        std::uint64_t previous;
    };
    Hashes hash_and_prefetch(std::string_view token) const noexcept;
    // Starts a new window at `now`; gives the token's hashes under the new
    // pair of buckets, given its hash under the old current one.
    [[gnu::noinline, gnu::cold]] Hashes rotate_buckets(std::string_view token, std::uint64_t current_hash,
                                                       MonoTime now);

    NonceBucket current_bucket_;
    NonceBucket previous_bucket_;
    std::size_t reserve_;
    MonoTime bucket_start_;
    Duration bucket_duration_ = NONCE_BUCKET_SECONDS;
};

}  // namespace quelvar
