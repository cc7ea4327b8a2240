#pragma once

// Counts the heap allocations a piece of code makes on the calling thread, by
// replacing the global operator new. Replacements are program-wide: include
// this header in exactly one source file of a test binary.

#include <cstdlib>
#include <new>

namespace vorn::testing {

inline thread_local bool counting_allocations = false;
inline thread_local std::size_t allocations_counted = 0;

inline void* counted_allocate(std::size_t size) {
    if (counting_allocations) ++allocations_counted;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

// The allocations `body` makes on the calling thread.
template <typename Body>
std::size_t allocations_of(Body&& body) {
    allocations_counted = 0;
    counting_allocations = true;
    body();
    counting_allocations = false;
    return allocations_counted;
}

}  // namespace vorn::testing

void* operator new(std::size_t size) { return vorn::testing::counted_allocate(size); }
void* operator new[](std::size_t size) { return vorn::testing::counted_allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
// The nothrow forms as well: GoogleTest allocates with new(std::nothrow) and
// frees with plain delete, which must then be the same malloc-based pair (the
// address sanitizer reports the mix of its operator new and our free).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return vorn::testing::counted_allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
