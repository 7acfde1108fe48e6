#pragma once
/// @file
///
/// CMN_Reference: a reference count guarded by a shared recursive mutex.
///
///   layout: [vtable][CMN_RecursiveMutex* refLock][int refCount]
///
/// A counted object starts at 0; creating it is not a reference. The
/// remReference() that brings the count back to 0 destroys the object through
/// its virtual deleting destructor, after leaving the lock, so every counted
/// object must be allocated with plain `new`. An object whose count never rises
/// is never destroyed by the count; its creator deletes it.
///
/// Worked example:
///   auto* o = new Counted;  // references() == 0
///   o->addReference();      // 1
///   o->addReference();      // 2
///   o->remReference();      // returns 1
///   o->remReference();      // returns 0: `delete o` has run; o is gone
///
/// Callers never release more often than they added, and never touch an object
/// after the release that returned 0.

#include "cmn_export.h"
#include "cmn_rmutex.h"

/// The counted part of every guarded object: a count and the lock that guards
/// it. Objects are destroyed by the release that brings the count to 0.
class CMN_Reference {
public:
    /// Guarded by CMN_Reference::RefMutex.
    CMN_Reference();
    /// Guarded by `lock`, which the object does not own.
    explicit CMN_Reference(CMN_RecursiveMutex* lock);
    /// A copy is a new object: count 0, guarded by RefMutex, whatever `other` had.
    CMN_Reference(CMN_Reference const& other);
    /// Changes nothing: the target keeps its own lock and count.
    CMN_Reference& operator=(CMN_Reference const&) { return *this; }
    /// Destroys the object; called through the deleting destructor by the
    /// last remReference(), or by the creator of an object never counted.
    virtual ~CMN_Reference();

    /// Count + 1, under `*refLock`. The caller owns the new reference and gives
    /// it back with exactly one remReference().
    void addReference();
    /// Count - 1 under `*refLock`; returns the new count. At 0 the object has
    /// been destroyed (outside the lock) and must not be touched again.
    int remReference();
    /// Unlocked snapshot of the count; may be stale by the time it is used.
    int references();

    /// The module-wide lock of every count of the module's guarded objects
    /// and of the module's object registry.
    CMN_EXPORT static CMN_RecursiveMutex RefMutex;

    /// The lock that guards refCount: RefMutex of the module that made the
    /// object (or the lock given to the constructor), never owned.
    CMN_RecursiveMutex* refLock;
    /// The number of references; read and written only under `*refLock`.
    int refCount;
};
