#include "runtime/memory.hpp"

#include <cstdlib>
#include <new>

#include "runtime/fault.hpp"

namespace quelvar {

void* checked_alloc(std::size_t bytes) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) allocation_failure(bytes);
    return block;
}

void* checked_realloc(void* block, std::size_t bytes) {
    void* grown = std::realloc(block, bytes == 0 ? 1 : bytes);
    if (grown == nullptr) allocation_failure(bytes);
    return grown;
}

void checked_free(void* block) noexcept { std::free(block); }

namespace {
void* checked_aligned_alloc(std::size_t bytes, std::align_val_t alignment) {
    std::size_t align = static_cast<std::size_t>(alignment);
    std::size_t rounded = (bytes + align - 1) / align * align;
    void* block = std::aligned_alloc(align, rounded == 0 ? align : rounded);
    if (block == nullptr) allocation_failure(bytes);
    return block;
}
}  // namespace

}  // namespace quelvar

// Global operator new and delete for every program linked with the runtime.
// In the extension the linker script keeps them local, so the interpreter and
// other libraries keep their own; the C++ tests and fuzzers use them
// throughout, so exhausted memory ends every program with the same report.
void* operator new(std::size_t bytes) { return quelvar::checked_alloc(bytes); }
void* operator new[](std::size_t bytes) { return quelvar::checked_alloc(bytes); }
void* operator new(std::size_t bytes, std::align_val_t a) { return quelvar::checked_aligned_alloc(bytes, a); }
void* operator new[](std::size_t bytes, std::align_val_t a) { return quelvar::checked_aligned_alloc(bytes, a); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return quelvar::checked_alloc(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return quelvar::checked_alloc(bytes); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
