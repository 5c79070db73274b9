// One branch per platform; only Linux is built today.
#include "runtime/random.hpp"

#include "runtime/fault.hpp"

#if defined(__linux__)

#include <sys/random.h>

#include <cerrno>

namespace quelvar {

void fill_random(void* buffer, std::size_t length) noexcept {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t got = ::getrandom(out, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            internal_fault("the operating system's random source failed");
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
}

}  // namespace quelvar

#else
#error "no random source for this platform yet (see random.hpp)"
#endif
