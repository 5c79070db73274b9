#include "nonce_cache/nonce_bucket.hpp"

namespace quelvar {
namespace {
// Arena bytes set aside per reserved token: a typical token is 22 characters
// plus its length byte.
constexpr std::size_t RESERVED_BYTES_PER_TOKEN = 24;
}  // namespace

NonceBucket::NonceBucket(std::size_t reserve, KeyedHash hash)
    : hash_(hash), index_(reserve), arena_(reserve * RESERVED_BYTES_PER_TOKEN) {}

void NonceBucket::insert_absent(std::string_view token, std::uint64_t hash) {
    const std::uint64_t offset = arena_.append(token);
    index_.insert_absent(hash, offset, [this](std::uint64_t stored) { return hash_(arena_.at(stored)); });
}

void NonceBucket::clear() noexcept {
    index_.clear();
    arena_.clear();
}

}  // namespace quelvar
