#include "cmn_ref.h"

#include "cmn_init_order.h"

CMN_RecursiveMutex CMN_Reference::RefMutex CMN_INIT_RANK(CMN_INIT_REF_MUTEX)("RefMutex");

CMN_Reference::CMN_Reference() : refLock(&RefMutex), refCount(0) {}
CMN_Reference::CMN_Reference(CMN_RecursiveMutex* lock) : refLock(lock), refCount(0) {}
CMN_Reference::CMN_Reference(CMN_Reference const&) : refLock(&RefMutex), refCount(0) {}
CMN_Reference::~CMN_Reference() = default;

// The count changes only under refLock; the stores are relaxed atomics so the
// unlocked read of references() is well defined. The lock orders them.
void CMN_Reference::addReference() {
    refLock->enter();
    __atomic_store_n(&refCount, refCount + 1, __ATOMIC_RELAXED);
    refLock->exit();
}

int CMN_Reference::remReference() {
    refLock->enter();
    int n = refCount - 1;
    __atomic_store_n(&refCount, n, __ATOMIC_RELAXED);
    refLock->exit();
    // Outside the lock: the destructor may take RefMutex again (guarded
    // objects leave the registry there).
    if (n == 0) delete this;
    return n;
}

int CMN_Reference::references() { return __atomic_load_n(&refCount, __ATOMIC_RELAXED); }
