// Random bytes from the operating system, for hash keys.
#pragma once

#include <cstddef>

namespace quelvar {

// Fills the buffer from the operating system's random source. A source that
// fails is an internal fault: hash keys must never be predictable.
void fill_random(void* buffer, std::size_t length) noexcept;

}  // namespace quelvar
