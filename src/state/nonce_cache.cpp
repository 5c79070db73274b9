#include "state/nonce_cache.hpp"

#include <utility>

namespace quelvar {

NonceCache::NonceCache(MonoTime now, std::size_t reserve)
    : current_bucket_(reserve, KeyedHash::random()),
      previous_bucket_(reserve, KeyedHash::random()),
      reserve_(reserve),
      bucket_start_(now) {}

NonceCache::Hashes NonceCache::hash_and_prefetch(std::string_view token) const noexcept {
    if (previous_bucket_.empty()) {
        const std::uint64_t hash = current_bucket_.hash(token);
        current_bucket_.prefetch(hash);
        return Hashes{hash, 0};
    }
    // Both buckets may have to be probed: hash under both keys at once.
    const HashPair pair = siphash13_pair(current_bucket_.key(), previous_bucket_.key(), token.data(), token.size());
    current_bucket_.prefetch(pair.first);
    previous_bucket_.prefetch(pair.second);
    return Hashes{pair.first, pair.second};
}

bool NonceCache::consume(std::string_view token, const Clock& clock) {
    // The token is hashed and the lines its lookups read and its insert
    // writes are requested before the clock is read: reading the clock waits
    // for the instructions before it, and so would wait for those cache
    // misses if they came after it. A rotation changes the buckets, and then
    // the hashing is done again.
    Hashes hashes = hash_and_prefetch(token);
    // At most one rotation per call, however long the pause was: the tokens
    // of the last active window are then refused for one more window.
    if (elapsed_between(bucket_start_, clock.monotonic_now()) >= bucket_duration_) {
        rotate_buckets(clock.monotonic_now());
        hashes = hash_and_prefetch(token);
    }

    if (!current_bucket_.empty() && current_bucket_.contains(token, hashes.current)) return false;
    // A replay from the window before is refused but not copied forward, so
    // presenting a token again does not extend how long it is remembered.
    if (!previous_bucket_.empty() && previous_bucket_.contains(token, hashes.previous)) return false;
    current_bucket_.insert_absent(token, hashes.current);
    return true;
}

void NonceCache::rotate_buckets(MonoTime now) {
    // Dropping the oldest bucket first keeps the peak at two buckets.
    previous_bucket_ = std::move(current_bucket_);
    current_bucket_ = NonceBucket(reserve_, KeyedHash::random());
    bucket_start_ = now;
}

void NonceCache::clear(MonoTime now) noexcept {
    current_bucket_.clear();
    previous_bucket_.clear();
    bucket_start_ = now;
}

}  // namespace quelvar
