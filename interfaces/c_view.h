#ifndef ZIP_C_VIEW_H
#define ZIP_C_VIEW_H
/** @file
 * The binary interface of the host's modules, as C sees it.
 *
 * Every object that crosses a module boundary is declared here as a plain
 * struct of its fields, in the order and with the sizes the C++ classes have
 * under the Itanium C++ ABI (g++, x86-64 and i386), and every virtual table
 * as a struct of function pointers in slot order. A peer or host written in
 * C (or in any language that can lay out C structs) can build objects that
 * modules accept as their own, and call modules' objects, from this header
 * alone. The C++ headers stay the reference: the build checks this view
 * against them (sizes, offsets, alignments and slot positions).
 *
 * Rules of the ABI that the declarations follow:
 *  - An object with virtual operations starts with its table pointer, which
 *    points at the first slot. The two words before that slot hold the
 *    offset from the table's sub-object to the object's start (0 for a
 *    primary table, minus the sub-object's offset for a secondary one) and
 *    the type information; modules never read them for these interfaces,
 *    but a table built in C reserves them (CV_TablePrefix).
 *  - A virtual destructor takes two slots: the complete-object destructor
 *    (destroys, does not free) and the deleting destructor (destroys, then
 *    frees the object with the allocator of the code in that slot).
 *  - A member function receives the object (`this`) as its first argument;
 *    a C++ reference argument is passed as a pointer. On i386 every argument
 *    goes on the stack (cdecl), `this` included.
 *  - A class with a second polymorphic base (TZip_Interface,
 *    CMN_ZLib_Interface: BaseModuleInterface first, CMN_GuardedRef second)
 *    carries a second table pointer at the start of that base's part; the
 *    slots of that table receive a pointer to that part, not to the object.
 *  - A derived class's fields may start inside the tail padding of a base
 *    class with virtual operations, so derived structs repeat their base's
 *    fields instead of embedding the base's struct where that would differ.
 *
 * Which operations go through tables and which do not. Tables: destructors,
 * init/fini, the service and buffer operations, the holder interface
 * (replacePointee, getModuleID), the holder list's push_front/eraseitem,
 * identifiers' val_comp/dump, the object manager's fini/moduleIsUsed and the
 * module manager. Not through tables: the reference operations
 * (addReference, remReference, references), the lock operations
 * (enter/exit of CMN_RecursiveMutex, lockHolderList/unlockHolderList) and
 * identifier comparison (operator==). Each module compiles its own copy of
 * those and runs it on whatever object it is handed, another module's
 * included; a C peer does the same with the cv_* functions at the end of
 * this header, which have exactly the framework's effect on the fields.
 *
 * Ownership, in short: a guarded object belongs to its references; the
 * release that brings its count to 0 destroys it through its own deleting
 * destructor, whichever module released. Holder items are allocated by the
 * module that lists the holder and freed through the list's own eraseitem,
 * i.e. by the module that owns the object: both sides must use one heap
 * (malloc, which operator new uses too).
 */

#include <pthread.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The two words in front of a table's first slot. */
typedef struct CV_TablePrefix {
    ptrdiff_t offset_to_top;
    void const* type_info;
} CV_TablePrefix;

/** ---- Identifiers (TypifiedID, Tuint32ID, TstringID) --------------------
 * Passed by pointer and compared by the receiving module: equal when the
 * kinds are equal and the left operand's val_comp answers 0. Owned by whoever
 * made them; never freed by the module that receives one. */
enum { CV_IDT_UINT32 = 0, CV_IDT_STRING = 1 };

struct CV_TypifiedID;
typedef struct CV_TypifiedID_vtbl {
    void (*destroy)(struct CV_TypifiedID* self);
    void (*destroy_deleting)(struct CV_TypifiedID* self);
    /** Sign of the other's order against self: Tuint32ID 1/-1/0 (unsigned);
     * TstringID strcmp(other's string, self's string). */
    int (*val_comp)(struct CV_TypifiedID const* self, struct CV_TypifiedID const* other);
    void (*dump)(struct CV_TypifiedID const* self);
} CV_TypifiedID_vtbl;

typedef struct CV_TypifiedID {
    CV_TypifiedID_vtbl const* vtbl;
    unsigned int type;
} CV_TypifiedID;

typedef struct CV_Tuint32ID {
    CV_TypifiedID_vtbl const* vtbl;
    unsigned int type; /* CV_IDT_UINT32 */
    unsigned int value;
} CV_Tuint32ID;

typedef struct CV_TstringID {
    CV_TypifiedID_vtbl const* vtbl;
    unsigned int type; /* CV_IDT_STRING */
    char* value;       /* never null; owned by the identifier */
} CV_TstringID;

/** ---- Locks (CMN_Mutex, CMN_RecursiveMutex) ------------------------------
 * POSIX mutexes with default attributes. The recursive mutex counts its own
 * depth: free is depth 0, owner 0. Its table holds only the destructors,
 * which nobody calls across modules; enter/exit are inline (see below). */
struct CV_Mutex;
typedef struct CV_Mutex_vtbl {
    void (*destroy)(struct CV_Mutex* self);
    void (*destroy_deleting)(struct CV_Mutex* self);
} CV_Mutex_vtbl;

typedef struct CV_Mutex {
    CV_Mutex_vtbl const* vtbl;
    pthread_mutex_t mutex;
} CV_Mutex;

struct CV_RecursiveMutex;
typedef struct CV_RecursiveMutex_vtbl {
    void (*destroy)(struct CV_RecursiveMutex* self);
    void (*destroy_deleting)(struct CV_RecursiveMutex* self);
} CV_RecursiveMutex_vtbl;

typedef struct CV_RecursiveMutex {
    CV_RecursiveMutex_vtbl const* vtbl;
    pthread_mutex_t mutex;
    unsigned int depth;
    pthread_t owner;
} CV_RecursiveMutex;

/** ---- Counted objects (CMN_Reference) ------------------------------------
 * refLock points at the owning module's RefMutex (every guarded object uses
 * it); the count changes only under that lock. */
struct CV_GuardedRef;
typedef struct CV_Reference {
    void const* vtbl; /* the object's own table: a CV_GuardedRef_vtbl or one that starts with it */
    CV_RecursiveMutex* refLock;
    int refCount;
} CV_Reference;

/** ---- The holder list (slist<CMN_GRPHolder>, sitem) -----------------------
 * Intrusive, doubly linked, newest first. Guarded by the object's
 * holderLock. Items are linked by whichever module takes a reference and are
 * always erased through the table of the list, so the owner's code frees
 * them. push_front is how a module links an item with the owner's allocator;
 * the framework itself links with its own. */
struct CV_GRPHolder;
typedef struct CV_SItem {
    struct CV_SItem* next;
    struct CV_SItem** prevLink; /* the pointer that points at this item */
    struct CV_GRPHolder* item;
} CV_SItem;

struct CV_SList;
typedef struct CV_SList_vtbl {
    CV_SItem* (*push_front)(struct CV_SList* self, struct CV_GRPHolder* holder);
    /** Unlinks and frees the item (not the holder); null is ignored. */
    void (*eraseitem)(struct CV_SList* self, CV_SItem* item);
} CV_SList_vtbl;

typedef struct CV_SList {
    CV_SList_vtbl const* vtbl;
    CV_SItem* head;
    unsigned int count;
} CV_SList;

/** ---- Holders (CMN_GRPHolder, CMN_GRefPtr<T>) -----------------------------
 * Whoever holds a reference. Never destroyed through this interface. An
 * object's module calls replacePointee(null) on a holder to cut it loose (at
 * unload): the holder must release its reference in its own name. */
typedef struct CV_GRPHolder_vtbl {
    void (*replacePointee)(struct CV_GRPHolder* self, struct CV_GuardedRef* ref);
    CV_TypifiedID const* (*getModuleID)(struct CV_GRPHolder* self);
} CV_GRPHolder_vtbl;

typedef struct CV_GRPHolder {
    CV_GRPHolder_vtbl const* vtbl;
} CV_GRPHolder;

/** The typed holder of the framework: one reference on `pointee`, stamped
 * with its module's identifier. `pointee` points at the typed object (for a
 * service interface, at its start, not at its guarded part). */
typedef struct CV_GRefPtr {
    CV_GRPHolder_vtbl const* vtbl;
    CV_TypifiedID const* serviceID;
    void* pointee;
    CV_TypifiedID const* moduleID;
    struct CV_GuardedRef* (*factory)(CV_TypifiedID const* service);
} CV_GRefPtr;

/** ---- Guarded objects (CMN_GuardedRef) -----------------------------------
 * Registered in the owning module's object manager (prevLink/next, guarded
 * by its RefMutex) from construction to destruction. */
typedef struct CV_GuardedRef_vtbl {
    void (*destroy)(struct CV_GuardedRef* self);
    void (*destroy_deleting)(struct CV_GuardedRef* self);
    unsigned int (*init)(struct CV_GuardedRef* self);
    unsigned int (*fini)(struct CV_GuardedRef* self);
} CV_GuardedRef_vtbl;

typedef struct CV_GuardedRef {
    CV_Reference ref;
    CV_SList holders;
    CV_RecursiveMutex holderLock;
    struct CV_GuardedRef** prevLink;
    struct CV_GuardedRef* next;
} CV_GuardedRef;

/** ---- The object manager (CMN_ObjectManager), via GetObjectManager() ------
 * Owned by its module. A host may call its two operations: moduleIsUsed()
 * (1 while a holder stamped with another module's identifier holds one of
 * the module's objects) and fini() (cuts every holder loose). guardMutex is
 * locked by nothing; objLock is the module's RefMutex. */
struct CV_ObjectManager;
typedef struct CV_ObjectManager_vtbl {
    void (*fini)(struct CV_ObjectManager* self);
    int (*moduleIsUsed)(struct CV_ObjectManager* self);
} CV_ObjectManager_vtbl;

typedef struct CV_ObjectManager {
    CV_ObjectManager_vtbl const* vtbl;
    CV_Mutex guardMutex;
    CV_RecursiveMutex* objLock;
    CV_GuardedRef* objects;
} CV_ObjectManager;

/** ---- The module contract (BaseModuleInterface) --------------------------
 * The primary table of every service object. getService answers the
 * service's guarded part (no reference comes with it) or null. */
struct CV_BaseModule;
#define CV_BASE_MODULE_SLOTS(Self)         \
    void (*destroy)(Self * self);          \
    void (*destroy_deleting)(Self * self); \
    int (*getModuleID)(Self * self);       \
    int (*getVersion)(Self * self);        \
    int (*getBuild)(Self * self);          \
    CV_GuardedRef* (*getService)(Self * self, CV_TypifiedID const* id)

typedef struct CV_BaseModule_vtbl {
    CV_BASE_MODULE_SLOTS(struct CV_BaseModule);
} CV_BaseModule_vtbl;

typedef struct CV_BaseModule {
    CV_BaseModule_vtbl const* vtbl;
} CV_BaseModule;

/** ---- Byte buffers (TBuf) and their service (X509CmnSrv_I, id 111) --------
 * Made by the byte-buffer peer. Every buffer a createTBuf returns carries one
 * hold for its caller (given back with release()); holds are separate from
 * guarded references, and the buffer lives while either remains. */
struct CV_TBuf;
typedef struct CV_TBuf_vtbl {
    CV_GuardedRef_vtbl gref;
    int (*acquire)(struct CV_TBuf* self); /* negative: refused */
    int (*release)(struct CV_TBuf* self);
    int (*set_str)(struct CV_TBuf* self, char const* s);
    int (*set_bytes)(struct CV_TBuf* self, unsigned char const* data, unsigned int len);
    int (*reservedSlot5)(struct CV_TBuf* self);
    unsigned char* (*datap)(struct CV_TBuf* self); /* null when empty */
    unsigned int (*len)(struct CV_TBuf* self);
    int (*dup)(struct CV_TBuf* self, struct CV_TBuf* source);
    int (*reservedSlot9)(struct CV_TBuf* self);
    int (*differs)(struct CV_TBuf* self, struct CV_TBuf* other); /* operator!= */
    int (*load)(struct CV_TBuf* self, char const* path);
    int (*save)(struct CV_TBuf* self, char const* path);
    int (*shift)(struct CV_TBuf* self, unsigned int n);
    int (*retreat)(struct CV_TBuf* self, unsigned int n);
} CV_TBuf_vtbl;

typedef struct CV_TBuf {
    CV_GuardedRef gref;
} CV_TBuf;

struct CV_X509CmnSrv;
typedef struct CV_X509CmnSrv_vtbl {
    CV_GuardedRef_vtbl gref;
    CV_TBuf* (*createTBuf)(struct CV_X509CmnSrv* self);
    CV_TBuf* (*createTBuf_str)(struct CV_X509CmnSrv* self, char const* s);
    /** The buffer keeps its own copy of the bytes. */
    CV_TBuf* (*createTBuf_bytes)(struct CV_X509CmnSrv* self, unsigned char const* data, unsigned int len);
    CV_TBuf* (*createTBuf_copy)(struct CV_X509CmnSrv* self, CV_TBuf* source); /* source may be null */
} CV_X509CmnSrv_vtbl;

typedef struct CV_X509CmnSrv {
    CV_GuardedRef gref;
} CV_X509CmnSrv;

/** ---- The zlib peer (CMN_ZLib_Interface, id 64) and its buffers -----------
 * createVBuffer returns a new compression buffer with count 0 (the caller's
 * holder takes the first reference); the input bytes stay the caller's and
 * must outlive the buffer. Output belongs to the buffer. Decompress answers
 * CV_VBUFFER_NOT_COMPRESSED for input that is not compressed data. */
enum { CV_VBUFFER_NOT_COMPRESSED = 59 };

struct CV_VBuffer;
typedef struct CV_VBuffer_vtbl {
    CV_GuardedRef_vtbl gref;
    int (*Compress)(struct CV_VBuffer* self);
    int (*Decompress)(struct CV_VBuffer* self);
    unsigned int (*GetOutputSize)(struct CV_VBuffer* self);
    unsigned char const* (*GetOutputData)(struct CV_VBuffer* self);
} CV_VBuffer_vtbl;

typedef struct CV_VBuffer {
    CV_GuardedRef gref;
} CV_VBuffer;

struct CV_ZLib;
typedef struct CV_ZLib_vtbl {
    CV_BASE_MODULE_SLOTS(struct CV_ZLib);
    CV_VBuffer* (*createVBuffer)(struct CV_ZLib* self, unsigned char const* data, unsigned long len);
} CV_ZLib_vtbl;

/** Two tables: `vtbl` (the contract and createVBuffer) and gref's own, whose
 * slots receive `&gref`. Modules find the service by lookupService, which
 * answers `&gref`; they reach the object's start by subtracting gref's offset. */
typedef struct CV_ZLib {
    CV_ZLib_vtbl const* vtbl;
    CV_GuardedRef gref;
} CV_ZLib;

/** ---- The ZIP service (TZip_Interface, name "ZIP") and zip buffers ---------
 * Both belong to libs_zip. createTZipBuffer returns a zip buffer with count
 * 0 over `in`, on which it takes a hold; the caller's holder takes the first
 * reference. Codes of ZipTBuf/UnzipTBuf: 0 ok, 1 no output buffer, 4 no
 * input, 9 hold refused, 40 no compression buffer, else the compression
 * buffer's own. GetResultTBuf is borrowed until the next call or the end. */
enum {
    CV_ZIP_OK = 0,
    CV_ZIP_NO_OUTPUT_BUFFER = 1,
    CV_ZIP_NO_INPUT = 4,
    CV_ZIP_HOLD_REFUSED = 9,
    CV_NOT_BOUND = 40,
    CV_ZIP_MODULE_NUMBER = 65
};

struct CV_TZipBuffer;
typedef struct CV_TZipBuffer_vtbl {
    CV_GuardedRef_vtbl gref;
    unsigned int (*ZipTBuf)(struct CV_TZipBuffer* self);
    unsigned int (*UnzipTBuf)(struct CV_TZipBuffer* self);
    CV_TBuf* (*GetResultTBuf)(struct CV_TZipBuffer* self);
} CV_TZipBuffer_vtbl;

typedef struct CV_TZipBuffer {
    CV_GuardedRef gref;
} CV_TZipBuffer;

struct CV_TZip;
typedef struct CV_TZip_vtbl {
    CV_BASE_MODULE_SLOTS(struct CV_TZip);
    CV_TZipBuffer* (*createTZipBuffer)(struct CV_TZip const* self, CV_TBuf* in);
} CV_TZip_vtbl;

/** Laid out like CV_ZLib: the contract's table, then the guarded part. */
typedef struct CV_TZip {
    CV_TZip_vtbl const* vtbl;
    CV_GuardedRef gref;
} CV_TZip;

/** ---- The host's module manager (ModMgr_Interface) -------------------------
 * Owned by the host, handed to a module by the load call; no destructor
 * slots. Modules call lookupService only: it answers the guarded part of the
 * named service (no reference comes with it) or null; `asking` is the
 * calling module's identifier. */
struct CV_ModMgr;
typedef struct CV_ModMgr_vtbl {
    int (*moduleCount)(struct CV_ModMgr* self);
    CV_BaseModule* (*findModule)(struct CV_ModMgr* self, CV_TypifiedID const* module);
    CV_GuardedRef* (*lookupService)(struct CV_ModMgr* self, CV_TypifiedID const* service, CV_TypifiedID const* asking);
} CV_ModMgr_vtbl;

typedef struct CV_ModMgr {
    CV_ModMgr_vtbl const* vtbl;
} CV_ModMgr;

/** ---- Exported entry points of a module (C linkage, found with dlsym) ------
 * GetInterfaceClass(manager, 0): the load call; records the manager and
 * returns the service object, held by the module. GetInterfaceClass(manager,
 * n != 0) records the manager only. GetInterfaceClass(NULL, any): the unload
 * call; finishes every live object and lets the service object go. */
typedef CV_BaseModule* (*CV_GetInterfaceClass_fn)(CV_ModMgr* manager, int flags);
typedef CV_ObjectManager* (*CV_GetObjectManager_fn)(void);

/* ---- The inline framework operations, for C peers ------------------------
 * What every module compiles itself, with the same effect on the fields.
 * They work on any module's objects: the locks are the object's own. */

static inline void cv_rmutex_init(CV_RecursiveMutex* m, CV_RecursiveMutex_vtbl const* vtbl) {
    m->vtbl = vtbl;
    pthread_mutex_init(&m->mutex, NULL);
    m->depth = 0;
    m->owner = (pthread_t)0;
}

/** Only the owner can find itself in `owner`, so the unlocked read is sound. */
static inline void cv_rmutex_enter(CV_RecursiveMutex* m) {
    pthread_t self = pthread_self();
    if (!(__atomic_load_n(&m->depth, __ATOMIC_RELAXED) != 0 &&
          pthread_equal(__atomic_load_n(&m->owner, __ATOMIC_RELAXED), self)))
        pthread_mutex_lock(&m->mutex);
    __atomic_store_n(&m->depth, m->depth + 1, __ATOMIC_RELAXED);
    __atomic_store_n(&m->owner, self, __ATOMIC_RELAXED);
}

static inline void cv_rmutex_exit(CV_RecursiveMutex* m) {
    unsigned int left = m->depth - 1;
    __atomic_store_n(&m->depth, left, __ATOMIC_RELAXED);
    if (left == 0) {
        __atomic_store_n(&m->owner, (pthread_t)0, __ATOMIC_RELAXED);
        pthread_mutex_unlock(&m->mutex);
    }
}

/** CMN_Reference::addReference: count + 1 under refLock, no holder listed. */
static inline void cv_count_up(CV_GuardedRef* o) {
    cv_rmutex_enter(o->ref.refLock);
    __atomic_store_n(&o->ref.refCount, o->ref.refCount + 1, __ATOMIC_RELAXED);
    cv_rmutex_exit(o->ref.refLock);
}

/** CMN_Reference::remReference: count - 1 under refLock; at 0 the object is
 * destroyed through its deleting destructor, outside the lock. */
static inline int cv_count_down(CV_GuardedRef* o) {
    int n;
    cv_rmutex_enter(o->ref.refLock);
    n = o->ref.refCount - 1;
    __atomic_store_n(&o->ref.refCount, n, __ATOMIC_RELAXED);
    cv_rmutex_exit(o->ref.refLock);
    if (n == 0) ((CV_GuardedRef_vtbl const*)o->ref.vtbl)->destroy_deleting(o);
    return n;
}

/** CMN_GuardedRef::addReference: counts, then lists `h` under holderLock.
 * The item is linked through the list's table, with its owner's allocator. */
static inline void cv_add_reference(CV_GuardedRef* o, CV_GRPHolder* h) {
    cv_count_up(o);
    cv_rmutex_enter(&o->holderLock);
    o->holders.vtbl->push_front(&o->holders, h);
    cv_rmutex_exit(&o->holderLock);
}

/** CMN_GuardedRef::remReference: unlists the newest listing of `h` through
 * the list's table, then counts down (0: destroyed). A holder not listed
 * changes nothing and gets the current count. */
static inline int cv_rem_reference(CV_GuardedRef* o, CV_GRPHolder* h) {
    CV_SItem* it;
    cv_rmutex_enter(&o->holderLock);
    for (it = o->holders.head; it != NULL; it = it->next) {
        if (it->item == h) {
            o->holders.vtbl->eraseitem(&o->holders, it);
            cv_rmutex_exit(&o->holderLock);
            return cv_count_down(o);
        }
    }
    cv_rmutex_exit(&o->holderLock);
    return __atomic_load_n(&o->ref.refCount, __ATOMIC_RELAXED);
}

#ifdef __cplusplus
}
#endif

#endif /* ZIP_C_VIEW_H */
