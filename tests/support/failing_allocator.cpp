#include "tests/support/failing_allocator.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<long> gCountdown{-1};  // allocations left before the failing one; negative: disarmed
std::atomic<bool> gFired{false};

void* Allocate(std::size_t n) {
    if (gCountdown.load() >= 0 && gCountdown.fetch_sub(1) == 0) {
        gFired = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}

void* AllocateOrNull(std::size_t n) noexcept try { return Allocate(n); } catch (...) {
    return nullptr;
}

}  // namespace

FailAllocation::FailAllocation(long skip) { gFired = false, gCountdown = skip; }
FailAllocation::~FailAllocation() { gCountdown = -1; }
bool FailAllocation::fired() const { return gFired; }

// The replacements must be visible to the shared libraries of the process
// (libstdc++ allocates and frees on our behalf), whatever the default
// visibility of the build.
#define REPLACEMENT __attribute__((visibility("default")))
REPLACEMENT void* operator new(std::size_t n) { return Allocate(n); }
REPLACEMENT void* operator new[](std::size_t n) { return Allocate(n); }
REPLACEMENT void* operator new(std::size_t n, std::nothrow_t const&) noexcept { return AllocateOrNull(n); }
REPLACEMENT void* operator new[](std::size_t n, std::nothrow_t const&) noexcept { return AllocateOrNull(n); }
REPLACEMENT void operator delete(void* p) noexcept { std::free(p); }
REPLACEMENT void operator delete[](void* p) noexcept { std::free(p); }
REPLACEMENT void operator delete(void* p, std::size_t) noexcept { std::free(p); }
REPLACEMENT void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
REPLACEMENT void operator delete(void* p, std::nothrow_t const&) noexcept { std::free(p); }
REPLACEMENT void operator delete[](void* p, std::nothrow_t const&) noexcept { std::free(p); }
