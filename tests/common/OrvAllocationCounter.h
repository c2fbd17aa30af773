// Counts the allocations of a test program by replacing the global operator
// new (and its delete). Include it from exactly one source file of a test
// program: the replacement functions are defined here, not only declared.
//
// Single-threaded like the engine; a forked child counts on its own copy.
#ifndef ORV_ALLOCATION_COUNTER_H
#define ORV_ALLOCATION_COUNTER_H

#include <cstdlib>
#include <new>

namespace orvtest {

// Calls of the replaced operator new (of every form but the aligned ones)
// since the program started.
inline long allocationCount = 0;

} // namespace orvtest

// The replacements pair malloc with free on purpose; once inlined, GCC
// takes that pairing for a mismatch of new and free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    ++orvtest::allocationCount;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

// The nothrow forms too (the log entries copy their images with them): left
// to the library, they would allocate memory that the delete below frees.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++orvtest::allocationCount;
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete[](void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
