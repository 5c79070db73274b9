// Every allocation the module makes for itself goes through checked_alloc,
// directly or through the replaced global operator new, so that exhausted
// memory is always reported with the size that was asked for and ends the
// process instead of surfacing as an exception.
#pragma once

#include <cstddef>

namespace quelvar {

// Never returns null.
void* checked_alloc(std::size_t bytes);
void* checked_realloc(void* block, std::size_t bytes);
void checked_free(void* block) noexcept;

}  // namespace quelvar
