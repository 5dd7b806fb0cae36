#include "allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {
// Allocations left before one fails; negative: none fails.
volatile LONG g_countdown = -1;
volatile LONG g_failed = 0;

// True when this allocation is to fail.
bool ShouldFail() {
    if (InterlockedCompareExchange(&g_countdown, 0, 0) < 0) return false;
    if (InterlockedDecrement(&g_countdown) != -1) return false;
    InterlockedExchange(&g_failed, 1);
    return true;
}

void* Allocate(std::size_t size) { return std::malloc(size ? size : 1); }
}  // namespace

namespace oomtest {
void FailAllocationAfter(long n) {
    InterlockedExchange(&g_failed, 0);
    InterlockedExchange(&g_countdown, n);
}
void StopFailingAllocations() { InterlockedExchange(&g_countdown, -1); }
bool AllocationFailed() { return InterlockedCompareExchange(&g_failed, 0, 0) != 0; }
}  // namespace oomtest

void* operator new(std::size_t size) {
    void* p = ShouldFail() ? nullptr : Allocate(size);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return ShouldFail() ? nullptr : Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return operator new(size, std::nothrow); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
