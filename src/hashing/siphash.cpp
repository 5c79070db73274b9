#include "hashing/siphash.hpp"

#include "runtime/random.hpp"

namespace quelvar {

KeyedHash KeyedHash::random() noexcept {
    unsigned char bytes[16];
    fill_random(bytes, sizeof bytes);
    return KeyedHash(SipKey{sip_detail::load_le64(bytes), sip_detail::load_le64(bytes + 8)});
}

}  // namespace quelvar
