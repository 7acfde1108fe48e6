/* Counts every acquisition of a POSIX mutex (pthread_mutex_lock, and a
 * successful pthread_mutex_trylock), by which mutex and from where. Every
 * lock of the modules goes through these two calls: CMN_Mutex, the outer
 * level of CMN_RecursiveMutex (a nested enter() takes nothing), std::mutex.
 *
 * Built two ways from this one file:
 *   liblockcount.so   an LD_PRELOAD shim: counts from the start of the process
 *                     to its end and writes the records to the file named by
 *                     $ZIP_LOCKCOUNT_OUT at exit (the count taken from outside)
 *   zip-locks         linked in (LOCKCOUNT_WINDOW): counts only between
 *                     lockcount_start() and lockcount_stop(), which write the
 *                     records to a file (bench/lock_count.cpp)
 *
 * One record per distinct (mutex, call stack): the mutex named by the module
 * and symbol it is a static of, or "heap"; the stack as module+offset frames,
 * so that records of two processes compare and addr2line can name them.
 * Counting serves single-threaded runs: the table has no lock of its own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kDepth = 10, kRecords = 4096, kText = 1024 };

struct Record {
    void* key[kDepth + 1];  // the mutex, then the stack's raw addresses
    unsigned long count;
    char text[kText];  // "mutex<TAB>frame;frame;..." resolved when first seen
};

static struct Record records[kRecords];
static int used;
static __thread int inside;  // the shim's own locking (dladdr, backtrace) is not counted
#ifdef LOCKCOUNT_WINDOW
static int counting;
#else
static int counting = 1;
#endif

#define EXPORTED __attribute__((visibility("default")))

typedef int (*LockFn)(pthread_mutex_t*);
static LockFn realLock, realTrylock;

static void name(void* addr, char* out, size_t room, int isMutex) {
    Dl_info info;
    if (dladdr(addr, &info) == 0 || info.dli_fname == NULL) {
        snprintf(out, room, isMutex ? "heap" : "?+%p", addr);
        return;
    }
    char const* base = strrchr(info.dli_fname, '/');
    base = base ? base + 1 : info.dli_fname;
    // A static mutex as module:0xOFFSET, a frame as module+0xOFFSET; the
    // offsets are addresses in the file, for nm and addr2line.
    snprintf(out, room, isMutex ? "%s:0x%lx" : "%s+0x%lx", base, (unsigned long)((char*)addr - (char*)info.dli_fbase));
}

static void record(pthread_mutex_t* m) {
    void* stack[kDepth + 2];
    int n = backtrace(stack, kDepth + 2) - 2;  // less this function and the interposed call
    if (n < 0) n = 0;
    void* key[kDepth + 1] = {m};
    memcpy(key + 1, stack + 2, (size_t)n * sizeof(void*));
    for (int i = 0; i < used; ++i)
        if (memcmp(records[i].key, key, sizeof key) == 0) {
            ++records[i].count;
            return;
        }
    if (used == kRecords) return;
    struct Record* r = &records[used++];
    memcpy(r->key, key, sizeof key);
    r->count = 1;
    name(m, r->text, kText, 1);
    for (int i = 0; i < n; ++i) {
        size_t at = strlen(r->text);
        if (at + 80 >= kText) break;
        r->text[at] = i == 0 ? '\t' : ';';
        name((char*)stack[i + 2] - 1, r->text + at + 1, kText - at - 1, 0);  // the call, not the return address
    }
}

static void resolve(void) {
    if (realLock == NULL) {
        realLock = (LockFn)dlsym(RTLD_NEXT, "pthread_mutex_lock");
        realTrylock = (LockFn)dlsym(RTLD_NEXT, "pthread_mutex_trylock");
    }
}

/* Records `m` when the lock or trylock that returned `rc` took it. */
static int counted(pthread_mutex_t* m, int rc) {
    if (counting && !inside && rc == 0) {
        inside = 1;
        record(m);
        inside = 0;
    }
    return rc;
}

EXPORTED int pthread_mutex_lock(pthread_mutex_t* m) {
    resolve();
    return counted(m, realLock(m));
}

EXPORTED int pthread_mutex_trylock(pthread_mutex_t* m) {
    resolve();
    return counted(m, realTrylock(m));
}

static void write_records(char const* path) {
    FILE* f = path ? fopen(path, "w") : NULL;
    if (f == NULL) return;
    for (int i = 0; i < used; ++i) fprintf(f, "%lu\t%s\n", records[i].count, records[i].text);
    fclose(f);
}

#ifdef LOCKCOUNT_WINDOW
EXPORTED void lockcount_start(void) {
    void* warm[4];
    inside = 1;
    backtrace(warm, 4);  // its first call loads the unwinder, which locks
    inside = 0;
    used = 0;
    counting = 1;
}

EXPORTED void lockcount_stop(char const* path) {
    counting = 0;
    inside = 1;
    write_records(path);
    inside = 0;
}
#else
__attribute__((constructor)) static void warm_up(void) {
    void* warm[4];
    inside = 1;
    backtrace(warm, 4);
    inside = 0;
}

// Modules still loaded at exit are named when first seen, so nothing here
// needs them.
__attribute__((destructor)) static void at_exit(void) {
    counting = 0;
    inside = 1;
    write_records(getenv("ZIP_LOCKCOUNT_OUT"));
}
#endif
