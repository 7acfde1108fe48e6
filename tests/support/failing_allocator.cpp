#include "tests/support/failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Allocations left before the failing one; -1 while disarmed.
std::atomic<long> gCountdown{-1};
std::atomic<bool> gFired{false};

void* Allocate(std::size_t n) {
    long left = gCountdown.load(std::memory_order_relaxed);
    while (left >= 0 && !gCountdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    if (left == 0) {
        gFired = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

// The replacements must be visible to the shared libraries of the process
// (libstdc++ allocates and frees on our behalf), whatever the default
// visibility of the build.
#define REPLACEMENT __attribute__((visibility("default")))

FailAllocation::FailAllocation(long skip) {
    gFired = false;
    gCountdown = skip;
}
FailAllocation::~FailAllocation() { gCountdown = -1; }
bool FailAllocation::fired() const { return gFired; }

REPLACEMENT void* operator new(std::size_t n) { return Allocate(n); }
REPLACEMENT void* operator new[](std::size_t n) { return Allocate(n); }
REPLACEMENT void* operator new(std::size_t n, std::nothrow_t const&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
REPLACEMENT void* operator new[](std::size_t n, std::nothrow_t const&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
REPLACEMENT void operator delete(void* p) noexcept { std::free(p); }
REPLACEMENT void operator delete[](void* p) noexcept { std::free(p); }
REPLACEMENT void operator delete(void* p, std::size_t) noexcept { std::free(p); }
REPLACEMENT void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
REPLACEMENT void operator delete(void* p, std::nothrow_t const&) noexcept { std::free(p); }
REPLACEMENT void operator delete[](void* p, std::nothrow_t const&) noexcept { std::free(p); }
