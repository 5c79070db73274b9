#include "nonce_cache/siphash.hpp"

#include "nonce_cache/platform.hpp"

namespace quelvar {

KeyedHash KeyedHash::random() noexcept {
    unsigned char bytes[16];
    platform::fill_random(bytes, sizeof bytes);
    return KeyedHash(SipKey{sip_detail::load_le64(bytes), sip_detail::load_le64(bytes + 8)});
}

}  // namespace quelvar
