#pragma once
// A global operator new that can be told to fail: the test binary that links
// failing_allocator.cpp replaces every form of operator new and delete with
// malloc/free, and throws std::bad_alloc from the allocation it was armed for.
// Arm it only around framework calls on one thread; the assertion macros
// allocate too.

// While alive, the allocation `skip` allocations from now (0: the next one)
// throws std::bad_alloc; later ones succeed again.
class FailAllocation {
public:
    explicit FailAllocation(long skip);
    ~FailAllocation();
    FailAllocation(FailAllocation const&) = delete;
    FailAllocation& operator=(FailAllocation const&) = delete;

    // Whether the armed allocation was reached (and failed).
    bool fired() const;
};
