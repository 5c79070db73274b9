#include "state/nonce_bucket.hpp"

namespace quelvar {
namespace {
// Arena bytes set aside per reserved token: a typical token is 22 characters
// plus its length byte.
constexpr std::size_t RESERVED_BYTES_PER_TOKEN = 24;
}  // namespace

NonceBucket::NonceBucket(std::size_t reserve, KeyedHash hash)
    : hash_(hash), index_(reserve), arena_(reserve * RESERVED_BYTES_PER_TOKEN, MAX_ARENA_BYTES) {}

void NonceBucket::insert_absent(std::string_view token, std::uint64_t hash) {
    const std::uint64_t offset = arena_.append(token);
    index_.insert_absent(hash, offset | stored_bits(hash) << OFFSET_BITS,
                         [this](std::uint64_t payload, std::size_t slot_count) {
                             // The stored bits pick the group among up to 2^24 groups.
                             if (slot_count / SlotIndex::GROUP_WIDTH <= (std::size_t{1} << STORED_HASH_BITS)) {
                                 return (payload >> OFFSET_BITS) << SlotIndex::TAG_BITS;
                             }
                             return hash_(arena_.at(payload & OFFSET_MASK));
                         });
}

void NonceBucket::clear() noexcept {
    index_.clear();
    arena_.clear();
}

}  // namespace quelvar
