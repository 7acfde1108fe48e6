#pragma once
// A global operator new that can be told to fail: a test binary that links
// the `zip_test_failing_allocator` objects replaces every form of operator new
// and delete with malloc/free, and throws std::bad_alloc from the allocation
// it was armed for. Such tests live in binaries of their own, so the
// sanitizers' checks of new/delete pairs stay on everywhere else. Arm it only
// around the code under test on one thread; the assertion macros allocate too.

#include <gtest/gtest.h>

#include <new>

// While alive, the allocation `skip` allocations from now (0: the next one)
// throws std::bad_alloc; later ones succeed again.
struct FailAllocation {
    explicit FailAllocation(long skip);
    ~FailAllocation();
    bool fired() const;  // whether the armed allocation was reached (and failed)
};

// Runs `op` with its k-th allocation failing, for k = 0, 1, ... until it
// completes; `check` runs after every attempt, disarmed (given whether the
// attempt failed). Returns the number of allocations the
// operation makes, or -1 when a check failed fatally or it never completed.
template <class Op, class Check>
int SweepAllocationFailures(Op op, Check check) {
    for (int k = 0; k < 1000; ++k) {
        bool failed = false;
        {
            FailAllocation arm(k);
            try {
                op();
            } catch (std::bad_alloc const&) {
                failed = true;
            }
        }
        check(failed);
        if (::testing::Test::HasFatalFailure()) return -1;
        if (!failed) return k;
    }
    ADD_FAILURE() << "the operation never completed";
    return -1;
}
