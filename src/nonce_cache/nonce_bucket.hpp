// One window's set of nonces: the token bytes live in one arena, the hash
// index holds their offsets. A bucket is only ever filled and then dropped
// whole, so nothing is removed one by one and dropping it is two frees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "nonce_cache/byte_arena.hpp"
#include "nonce_cache/byte_equal.hpp"
#include "nonce_cache/siphash.hpp"
#include "nonce_cache/slot_index.hpp"

namespace quelvar {

class NonceBucket {
public:
    // Empty, with room for `reserve` tokens before the index grows.
    NonceBucket(std::size_t reserve, KeyedHash hash);

    std::size_t size() const noexcept { return index_.size(); }
    bool empty() const noexcept { return index_.size() == 0; }

    // This bucket's hash of a token; the same value serves contains and
    // insert_absent, so a fresh token is hashed once per bucket.
    std::uint64_t hash(std::string_view token) const noexcept { return hash_(token); }

    bool contains(std::string_view token, std::uint64_t hash) const noexcept {
        return index_.find(hash, [&](std::uint64_t offset) { return same_bytes(arena_.at(offset), token); }) !=
               SlotIndex::NOT_FOUND;
    }

    // Stores a copy of a token that is not in the bucket.
    void insert_absent(std::string_view token, std::uint64_t hash);

    // Forgets every token; keeps the memory and the hash key.
    void clear() noexcept;

private:
    KeyedHash hash_;
    SlotIndex index_;
    ByteArena arena_;
};

}  // namespace quelvar
