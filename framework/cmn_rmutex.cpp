#include "cmn_rmutex.h"

CMN_Mutex::CMN_Mutex() { pthread_mutex_init(&mutex, nullptr); }
CMN_Mutex::CMN_Mutex(CMN_Mutex const&) { pthread_mutex_init(&mutex, nullptr); }
CMN_Mutex::~CMN_Mutex() { pthread_mutex_destroy(&mutex); }
void CMN_Mutex::lock() { pthread_mutex_lock(&mutex); }
void CMN_Mutex::unlock() { pthread_mutex_unlock(&mutex); }

CMN_RecursiveMutex::CMN_RecursiveMutex(char const*) : depth(0), owner(0) { pthread_mutex_init(&mutex, nullptr); }

CMN_RecursiveMutex::~CMN_RecursiveMutex() { pthread_mutex_destroy(&mutex); }

// `depth` and `owner` are read without holding `mutex`. That is sound because
// only the owning thread can ever find its own identity in `owner`: the owner
// sets it after obtaining the mutex and clears it before releasing it, and any
// other thread takes the path through the POSIX mutex. The accesses are
// relaxed atomics so that the unlocked read is well defined (and visible as
// deliberate to ThreadSanitizer); ordering comes from the POSIX mutex.
bool CMN_RecursiveMutex::heldByCaller(pthread_t self) const {
    return __atomic_load_n(&depth, __ATOMIC_RELAXED) != 0 &&
           pthread_equal(__atomic_load_n(&owner, __ATOMIC_RELAXED), self);
}

void CMN_RecursiveMutex::take(pthread_t self) {
    __atomic_store_n(&depth, depth + 1, __ATOMIC_RELAXED);
    __atomic_store_n(&owner, self, __ATOMIC_RELAXED);
}

void CMN_RecursiveMutex::enter() {
    pthread_t self = pthread_self();
    if (!heldByCaller(self)) pthread_mutex_lock(&mutex);
    take(self);
}

int CMN_RecursiveMutex::tryenter() {
    pthread_t self = pthread_self();
    if (!heldByCaller(self) && pthread_mutex_trylock(&mutex) != 0) return 0;
    take(self);
    return 1;
}

void CMN_RecursiveMutex::exit() {
    unsigned int left = depth - 1;
    __atomic_store_n(&depth, left, __ATOMIC_RELAXED);
    if (left == 0) {
        __atomic_store_n(&owner, pthread_t(0), __ATOMIC_RELAXED);
        pthread_mutex_unlock(&mutex);
    }
}
