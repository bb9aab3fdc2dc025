#include "tests/support/allocation_counter.h"

#include <cstdlib>
#include <new>

// clang's ThreadSanitizer runtime defines the allocation functions itself,
// so under it nothing is replaced and the count stays 0: the cases then run
// the same cycles without counting.
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARNWICK_NO_ALLOCATION_COUNT
#endif
#endif

namespace {
thread_local std::size_t allocations = 0;
}  // namespace

std::size_t tarnwick::testing::allocationsOnThisThread() { return allocations; }

#if !defined(TARNWICK_NO_ALLOCATION_COUNT)
// The replacements pair malloc with free by design; the compiler sees only
// "new" and "free" once it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif
