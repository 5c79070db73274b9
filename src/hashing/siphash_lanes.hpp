// SipHash-1-3 of eight messages at once under one key: four states sit in
// the four 64-bit lanes of an AVX2 register, so that a round of all four
// costs about what a round of one costs in scalar code. Used where
// many addresses are hashed in a row (a converted ban list); the result of
// every lane equals siphash13 of its message, whatever the lengths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hashing/siphash.hpp"

namespace quelvar {

// out[i] = siphash13(key, data[i], length[i]) for i in 0..7. Runs the AVX2
// code where the processor has it, the scalar hash otherwise: when all eight
// have as many words, the rounds of the two groups of four are interleaved,
// otherwise the groups are hashed one after the other.
void siphash13_x8(SipKey key, const char* const data[8], const std::size_t length[8], std::uint64_t out[8]) noexcept;

// Whether siphash13_x8 runs the AVX2 code on this processor.
bool siphash13_x8_is_vectorised() noexcept;

}  // namespace quelvar
