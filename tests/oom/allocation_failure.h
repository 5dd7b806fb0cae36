// Out-of-memory sweeps: this test program replaces operator new so that the
// n-th allocation from now on fails (std::bad_alloc, or null for the nothrow
// forms), and Sweep runs a call once for every n until a run makes no failed
// allocation. The component is linked into the program, so its own
// allocations are the ones that fail; the simulator's DLL keeps its allocator.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

namespace oomtest {

// The n-th allocation from now on (0: the next one) fails.
void FailAllocationAfter(long n);
// No allocation fails any more.
void StopFailingAllocations();
// Whether an allocation was made to fail since FailAllocationAfter.
bool AllocationFailed();

// Runs call() (which returns an HRESULT) with the n-th allocation failing, for
// n = 0, 1, ... until a run in which no allocation failed. Every run must
// return (no exception may leave the component), with `success` or
// E_OUTOFMEMORY; tidy() runs after each, with allocations working again, to
// undo what the call left (outputs, added items).
template <class Call, class Tidy>
void Sweep(const char* what, HRESULT success, Call call, Tidy tidy) {
    for (long n = 0; n < 100000; ++n) {
        FailAllocationAfter(n);
        HRESULT hr = E_UNEXPECTED;
        bool escaped = false;
        try {
            hr = call();
        } catch (...) {
            escaped = true;
        }
        const bool failed = AllocationFailed();
        StopFailingAllocations();
        tidy();
        ASSERT_FALSE(escaped) << what << ": an exception left the call when allocation " << n << " failed";
        EXPECT_TRUE(hr == success || (failed && hr == E_OUTOFMEMORY))
            << what << ": allocation " << n << (failed ? " failed" : " did not fail") << ", result 0x" << std::hex
            << static_cast<unsigned long>(hr);
        if (!failed) return;
    }
    ADD_FAILURE() << what << ": never ran without a failed allocation";
}

}  // namespace oomtest
