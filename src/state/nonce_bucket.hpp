// One window's set of nonces: the token bytes live in one arena, the hash
// index holds their offsets. A bucket is only ever filled and then dropped
// whole, so nothing is removed one by one and dropping it is two frees.
//
// Each payload packs the token's arena offset (low 40 bits) with the 24 hash
// bits just above the slot tag. Those bits let a lookup pass over a slot whose
// 7-bit tag agrees by chance without reading the token from the arena, and
// let the index grow without hashing any stored token again, up to 2^28
// slots; past that size growth hashes the tokens anew.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "containers/byte_arena.hpp"
#include "containers/byte_equal.hpp"
#include "containers/slot_index.hpp"
#include "hashing/siphash.hpp"

namespace quelvar {

class NonceBucket {
public:
    // The arena never grows past this many bytes, so that every offset fits
    // its 40 bits of payload; asking for more is an allocation failure.
    static constexpr unsigned OFFSET_BITS = 40;
    static constexpr std::uint64_t MAX_ARENA_BYTES = std::uint64_t{1} << OFFSET_BITS;

    // Empty, with room for `reserve` tokens before the index grows.
    NonceBucket(std::size_t reserve, KeyedHash hash);

    std::size_t size() const noexcept { return index_.size(); }
    bool empty() const noexcept { return index_.size() == 0; }
    SipKey key() const noexcept { return hash_.key(); }

    // This bucket's hash of a token; the same value serves contains and
    // insert_absent, so a fresh token is hashed once per bucket.
    std::uint64_t hash(std::string_view token) const noexcept { return hash_(token); }

    // Starts loading the control bytes and payloads of the token's first
    // group, which a lookup reads and an insert most likely writes.
    void prefetch(std::uint64_t hash) const noexcept { index_.prefetch(hash); }

    bool contains(std::string_view token, std::uint64_t hash) const noexcept {
        const std::uint64_t bits = stored_bits(hash);
        return index_.find(hash, [&](std::uint64_t payload) {
            return (payload >> OFFSET_BITS) == bits && same_bytes(arena_.at(payload & OFFSET_MASK), token);
        }) != SlotIndex::NOT_FOUND;
    }

    // Stores a copy of a token that is not in the bucket.
    void insert_absent(std::string_view token, std::uint64_t hash);

    // Forgets every token; keeps the memory and the hash key.
    void clear() noexcept;

private:
    static constexpr std::uint64_t OFFSET_MASK = MAX_ARENA_BYTES - 1;
    static constexpr unsigned STORED_HASH_BITS = 64 - OFFSET_BITS;
    static_assert(OFFSET_BITS + STORED_HASH_BITS == 64 && SlotIndex::TAG_BITS + STORED_HASH_BITS <= 64);
    // The hash bits just above the tag: the ones that pick the group.
    static std::uint64_t stored_bits(std::uint64_t hash) noexcept {
        return (hash >> SlotIndex::TAG_BITS) & ((std::uint64_t{1} << STORED_HASH_BITS) - 1);
    }

    KeyedHash hash_;
    SlotIndex index_;
    ByteArena arena_;
};

}  // namespace quelvar
