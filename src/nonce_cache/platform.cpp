// POSIX clocks and the Linux random source. The clocks are read through the
// C library's clock_gettime (not a raw system call), so that a preloaded
// library can stand in for them when a test needs to drive time.
#include "nonce_cache/platform.hpp"

#include <cerrno>
#include <ctime>

#if defined(__linux__)
#include <sys/random.h>
#else
#error "quelvar_core_rs: no clock and random source for this platform yet"
#endif

#include "runtime/fault.hpp"

namespace quelvar::platform {
namespace {

timespec read_clock(clockid_t clock) noexcept {
    timespec now{};
    // Fails only for an unknown clock id, which these are not.
    if (::clock_gettime(clock, &now) != 0) internal_fault("clock_gettime failed");
    return now;
}

}  // namespace

std::uint64_t unix_now_secs() noexcept {
    timespec now = read_clock(CLOCK_REALTIME);
    // tv_sec < 0 is before 1970; tv_nsec is always a forward offset, so
    // truncation to whole seconds is just tv_sec.
    return now.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(now.tv_sec);
}

MonoTime monotonic_now() noexcept {
    timespec now = read_clock(CLOCK_MONOTONIC);
    if (now.tv_sec < 0) return MonoTime{};
    return MonoTime{static_cast<std::uint64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

void fill_random(void* buffer, std::size_t length) noexcept {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        ssize_t got = ::getrandom(out, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            internal_fault("the operating system's random source failed");
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
}

}  // namespace quelvar::platform

namespace quelvar {

std::uint64_t SystemClock::unix_now_secs() const noexcept { return platform::unix_now_secs(); }
MonoTime SystemClock::monotonic_now() const noexcept { return platform::monotonic_now(); }

constinit const SystemClock SYSTEM_CLOCK{};

const Clock& system_clock() noexcept { return SYSTEM_CLOCK; }

}  // namespace quelvar
