// SipHash-1-3 of four messages at once under one key: the four states sit
// in the four 64-bit lanes of AVX2 registers, so that a round of all four
// costs about what a round of one costs in scalar code. Used where many
// addresses are hashed in a row (a converted ban list); the result of every
// lane equals siphash13 of its message, whatever the four lengths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nonce_cache/siphash.hpp"

namespace quelvar {

// out[i] = siphash13(key, data[i], length[i]) for i in 0..3. Runs the AVX2
// code where the processor has it, the scalar hash otherwise.
void siphash13_x4(SipKey key, const char* const data[4], const std::size_t length[4], std::uint64_t out[4]) noexcept;

// Whether siphash13_x4 runs the AVX2 code on this processor.
bool siphash13_x4_is_vectorised() noexcept;

}  // namespace quelvar
