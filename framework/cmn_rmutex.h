#pragma once
/// @file
///
/// Locks of the object framework: a plain mutex and a recursive mutex.
///
/// Both wrap a POSIX mutex with default attributes. The recursive mutex keeps
/// its own owner and nesting depth instead of using a recursive POSIX mutex,
/// because its layout is shared with the other modules of the host:
///
///   CMN_Mutex:          [vtable][pthread_mutex_t mutex]
///   CMN_RecursiveMutex: [vtable][pthread_mutex_t mutex][unsigned depth][pthread_t owner]
///
/// States of a CMN_RecursiveMutex: free (depth 0, owner 0), or held by `owner`
/// with depth >= 1. enter() and a successful tryenter() add one level, exit()
/// removes one; only the owner may call exit(), once per level it entered.
/// Results of the POSIX calls are not examined (except trylock's).

#include <pthread.h>

/// A plain, non-recursive mutex with the layout every module shares.
class CMN_Mutex {
public:
    /// A free mutex, default attributes.
    CMN_Mutex();
    /// A mutex is never copied: a copy is a fresh mutex, and assigning an
    /// object that contains one leaves the target's mutex as it is.
    CMN_Mutex(CMN_Mutex const&);
    /// Leaves the target's mutex as it is (see the copy constructor).
    CMN_Mutex& operator=(CMN_Mutex const&) { return *this; }
    /// Destroys the POSIX mutex; it must be free.
    virtual ~CMN_Mutex();

    /// Waits until the calling thread holds the mutex; not recursive.
    void lock();
    /// Releases the mutex; only the thread that holds it may call this.
    void unlock();

    /// The POSIX mutex.
    pthread_mutex_t mutex;
};

/// A recursive mutex that keeps its own owner and depth, with the layout every
/// module shares, so that the code of any module can enter another module's
/// lock (a RefMutex, an object's holderLock).
class CMN_RecursiveMutex {
public:
    /// The name documents the lock's role at the definition; it is not stored.
    explicit CMN_RecursiveMutex(char const* name);
    CMN_RecursiveMutex(CMN_RecursiveMutex const&) = delete;
    CMN_RecursiveMutex& operator=(CMN_RecursiveMutex const&) = delete;
    /// Destroys the POSIX mutex; it must be free.
    virtual ~CMN_RecursiveMutex();

    /// Waits until the calling thread holds the mutex.
    void enter();
    /// 1 if the calling thread now holds the mutex (newly or once more),
    /// 0 if another thread holds it. Never waits.
    int tryenter();
    /// Leaves one level; the last level releases the mutex. Owner only.
    void exit();

    /// The POSIX mutex, held while depth > 0.
    pthread_mutex_t mutex;
    /// How many levels the owner has entered; 0 when free.
    unsigned int depth;
    /// The thread that holds the mutex; 0 when free.
    pthread_t owner;

private:
    bool heldByCaller(pthread_t self) const;
    void take(pthread_t self);
};

/// Holds a lock for the length of a scope (CMN_Mutex or CMN_RecursiveMutex),
/// so that every way out of the scope, an exception included, leaves it.
template <class Lock>
class CMN_ScopedLock {
public:
    /// Takes `lock`, waiting as long as needed; `lock` must outlive the scope.
    explicit CMN_ScopedLock(Lock& lock) : lock_(lock) { enter(lock_); }
    /// Leaves the lock once.
    ~CMN_ScopedLock() { leave(lock_); }
    CMN_ScopedLock(CMN_ScopedLock const&) = delete;
    CMN_ScopedLock& operator=(CMN_ScopedLock const&) = delete;

private:
    static void enter(CMN_Mutex& m) { m.lock(); }
    static void leave(CMN_Mutex& m) { m.unlock(); }
    static void enter(CMN_RecursiveMutex& m) { m.enter(); }
    static void leave(CMN_RecursiveMutex& m) { m.exit(); }

    Lock& lock_;
};
