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
    /** From the table's sub-object to the object's start: 0 for a primary table, minus the sub-object's offset for a
     * secondary one. */
    ptrdiff_t offset_to_top;
    /** The type information; never read by modules for these interfaces (null is fine). */
    void const* type_info;
} CV_TablePrefix;

/** ---- Identifiers (TypifiedID, Tuint32ID, TstringID) --------------------
 * Passed by pointer and compared by the receiving module: equal when the
 * kinds are equal and the left operand's val_comp answers 0. Owned by whoever
 * made them; never freed by the module that receives one. */
enum { CV_IDT_UINT32 = 0, CV_IDT_STRING = 1 };

struct CV_TypifiedID;
/** The table of every identifier: destructors, comparison of values, and a debug dump. */
typedef struct CV_TypifiedID_vtbl {
    /** Complete-object destructor: destroys, does not free. */
    void (*destroy)(struct CV_TypifiedID* self);
    /** Deleting destructor: destroys, then frees with the allocator of the code in this slot. */
    void (*destroy_deleting)(struct CV_TypifiedID* self);
    /** Sign of the other's order against self: Tuint32ID 1/-1/0 (unsigned);
     * TstringID strcmp(other's string, self's string). */
    int (*val_comp)(struct CV_TypifiedID const* self, struct CV_TypifiedID const* other);
    /** A debugging hook; the framework's identifiers write nothing. */
    void (*dump)(struct CV_TypifiedID const* self);
} CV_TypifiedID_vtbl;

/** An identifier as every module sees it: its table and its kind; the value follows in the concrete identifiers. */
typedef struct CV_TypifiedID {
    /** The object's table. */
    CV_TypifiedID_vtbl const* vtbl;
    /** The kind: CV_IDT_UINT32 or CV_IDT_STRING. */
    unsigned int type;
} CV_TypifiedID;

/** A numeric identifier (Tuint32ID): names a service by number, e.g. 111 for the byte-buffer service. */
typedef struct CV_Tuint32ID {
    /** The object's table. */
    CV_TypifiedID_vtbl const* vtbl;
    /** CV_IDT_UINT32. */
    unsigned int type;
    /** The number. */
    unsigned int value;
} CV_Tuint32ID;

/** A text identifier (TstringID): names a module or a service by text, e.g. "ZIP". */
typedef struct CV_TstringID {
    /** The object's table. */
    CV_TypifiedID_vtbl const* vtbl;
    /** CV_IDT_STRING. */
    unsigned int type;
    /** The text; never null, owned by the identifier. */
    char* value;
} CV_TstringID;

/** ---- Locks (CMN_Mutex, CMN_RecursiveMutex) ------------------------------
 * POSIX mutexes with default attributes. The recursive mutex counts its own
 * depth: free is depth 0, owner 0. Its table holds only the destructors,
 * which nobody calls across modules; enter/exit are inline (see below). */
struct CV_Mutex;
/** The table of a plain mutex: its destructors only. */
typedef struct CV_Mutex_vtbl {
    /** Complete-object destructor: destroys, does not free. */
    void (*destroy)(struct CV_Mutex* self);
    /** Deleting destructor: destroys, then frees with the allocator of the code in this slot. */
    void (*destroy_deleting)(struct CV_Mutex* self);
} CV_Mutex_vtbl;

/** A plain mutex (CMN_Mutex): a table and a POSIX mutex. */
typedef struct CV_Mutex {
    /** The object's table. */
    CV_Mutex_vtbl const* vtbl;
    /** The POSIX mutex, default attributes. */
    pthread_mutex_t mutex;
} CV_Mutex;

struct CV_RecursiveMutex;
/** The table of a recursive mutex: its destructors only. */
typedef struct CV_RecursiveMutex_vtbl {
    /** Complete-object destructor: destroys, does not free. */
    void (*destroy)(struct CV_RecursiveMutex* self);
    /** Deleting destructor: destroys, then frees with the allocator of the code in this slot. */
    void (*destroy_deleting)(struct CV_RecursiveMutex* self);
} CV_RecursiveMutex_vtbl;

/** A recursive mutex (CMN_RecursiveMutex): a POSIX mutex with its own owner and depth; entered and left with
 * cv_rmutex_enter() and cv_rmutex_exit(). */
typedef struct CV_RecursiveMutex {
    /** The object's table. */
    CV_RecursiveMutex_vtbl const* vtbl;
    /** The POSIX mutex, default attributes; held while depth > 0. */
    pthread_mutex_t mutex;
    /** How often the owner has entered; 0 when free. */
    unsigned int depth;
    /** The thread that holds it; 0 when free. */
    pthread_t owner;
} CV_RecursiveMutex;

/** ---- Counted objects (CMN_Reference) ------------------------------------
 * refLock points at the owning module's RefMutex (every guarded object uses
 * it); the count changes only under that lock. */
struct CV_GuardedRef;
/** The counted part of every guarded object (CMN_Reference). */
typedef struct CV_Reference {
    /** The object's own table: a CV_GuardedRef_vtbl or one that starts with it. */
    void const* vtbl;
    /** The owning module's RefMutex, which guards refCount and the module's registry. */
    CV_RecursiveMutex* refLock;
    /** The number of references; changed only under refLock. The release that brings it to 0 destroys the object. */
    int refCount;
} CV_Reference;

/** ---- The holder list (slist<CMN_GRPHolder>, sitem) -----------------------
 * Intrusive, doubly linked, newest first. Guarded by the object's
 * holderLock. Items are linked by whichever module takes a reference and are
 * always erased through the table of the list, so the owner's code frees
 * them. push_front is how a module links an item with the owner's allocator;
 * the framework itself links with its own. */
struct CV_GRPHolder;
/** One item of a holder list: which holder holds one reference. */
typedef struct CV_SItem {
    /** The next (older) item, or null. */
    struct CV_SItem* next;
    /** The pointer that points at this item (the list's head or the previous item's next). */
    struct CV_SItem** prevLink;
    /** The holder; not owned by the item. */
    struct CV_GRPHolder* item;
} CV_SItem;

struct CV_SList;
/** The table of a holder list: linking and unlinking, both with the allocator of the module that made the list. */
typedef struct CV_SList_vtbl {
    /** Links a new item for `holder` at the front, allocated by this list's module; returns it. Called under the
     * object's holderLock. */
    CV_SItem* (*push_front)(struct CV_SList* self, struct CV_GRPHolder* holder);
    /** Unlinks and frees the item (not the holder); null is ignored. */
    void (*eraseitem)(struct CV_SList* self, CV_SItem* item);
} CV_SList_vtbl;

/** A holder list (slist<CMN_GRPHolder>), guarded by its object's holderLock. */
typedef struct CV_SList {
    /** The object's table. */
    CV_SList_vtbl const* vtbl;
    /** The newest item, or null. */
    CV_SItem* head;
    /** The number of items. */
    unsigned int count;
} CV_SList;

/** ---- Holders (CMN_GRPHolder, CMN_GRefPtr<T>) -----------------------------
 * Whoever holds a reference. Never destroyed through this interface. An
 * object's module calls replacePointee(null) on a holder to cut it loose (at
 * unload): the holder must release its reference in its own name. */
/** The table of every holder. */
typedef struct CV_GRPHolder_vtbl {
    /** Called with null by the object's module to cut the holder loose: the holder releases its reference in its own
     * name and holds nothing from then on. */
    void (*replacePointee)(struct CV_GRPHolder* self, struct CV_GuardedRef* ref);
    /** The identifier of the module the holder belongs to; owned by that module. */
    CV_TypifiedID const* (*getModuleID)(struct CV_GRPHolder* self);
} CV_GRPHolder_vtbl;

/** A holder (CMN_GRPHolder): anything that holds a reference on a guarded object and can be told to let go. */
typedef struct CV_GRPHolder {
    /** The object's table. */
    CV_GRPHolder_vtbl const* vtbl;
} CV_GRPHolder;

/** The typed holder of the framework: one reference on `pointee`, stamped
 * with its module's identifier. `pointee` points at the typed object (for a
 * service interface, at its start, not at its guarded part). */
typedef struct CV_GRefPtr {
    /** The holder's table. */
    CV_GRPHolder_vtbl const* vtbl;
    /** The identifier of the service it binds to by lookup, or null; owned by its module. */
    CV_TypifiedID const* serviceID;
    /** The typed object held (one reference), or null. */
    void* pointee;
    /** The identifier of the holder's module, stamped on the listing. */
    CV_TypifiedID const* moduleID;
    /** How the holder finds its service (the framework's lookup through the host), or null. */
    struct CV_GuardedRef* (*factory)(CV_TypifiedID const* service);
} CV_GRefPtr;

/** ---- Guarded objects (CMN_GuardedRef) -----------------------------------
 * Registered in the owning module's object manager (prevLink/next, guarded
 * by its RefMutex) from construction to destruction. */
/** The table every guarded object starts with; interfaces append their own slots after it. */
typedef struct CV_GuardedRef_vtbl {
    /** Complete-object destructor: destroys, does not free. */
    void (*destroy)(struct CV_GuardedRef* self);
    /** Deleting destructor: destroys, then frees with the allocator of the code in this slot. */
    void (*destroy_deleting)(struct CV_GuardedRef* self);
    /** Starts the object; 0 on success. */
    unsigned int (*init)(struct CV_GuardedRef* self);
    /** Finishes the object at its module's unload call; 0 on success. */
    unsigned int (*fini)(struct CV_GuardedRef* self);
} CV_GuardedRef_vtbl;

/** A guarded object (CMN_GuardedRef): counted, listing its holders, and registered in its module's object manager for
 * its whole life. */
typedef struct CV_GuardedRef {
    /** The count and its lock. */
    CV_Reference ref;
    /** Every holder of every reference; guarded by holderLock. */
    CV_SList holders;
    /** Guards the holder list. Reference operations take it and refLock one at a time; registry walks take it while
     * holding the module's RefMutex, never the other way round. */
    CV_RecursiveMutex holderLock;
    /** The registry link that points at this object; guarded by the module's RefMutex. */
    struct CV_GuardedRef** prevLink;
    /** The next object in the module's registry; guarded by the module's RefMutex. */
    struct CV_GuardedRef* next;
} CV_GuardedRef;

/** ---- The object manager (CMN_ObjectManager), via GetObjectManager() ------
 * Owned by its module. A host may call its two operations: moduleIsUsed()
 * (1 while a holder stamped with another module's identifier holds one of
 * the module's objects) and fini() (cuts every holder loose). guardMutex is
 * locked by nothing; objLock is the module's RefMutex. */
struct CV_ObjectManager;
/** The table of a module's object manager: the two operations of the unload protocol. */
typedef struct CV_ObjectManager_vtbl {
    /** Cuts every holder of every object of the module loose (replacePointee(null)); objects held by nothing else
     * die. */
    void (*fini)(struct CV_ObjectManager* self);
    /** 1 while a holder stamped with another module's identifier holds one of the module's objects, else 0. */
    int (*moduleIsUsed)(struct CV_ObjectManager* self);
} CV_ObjectManager_vtbl;

/** A module's object manager (CMN_ObjectManager), its registry of guarded objects, as GetObjectManager() returns it. */
typedef struct CV_ObjectManager {
    /** The object's table. */
    CV_ObjectManager_vtbl const* vtbl;
    /** Locked by nothing; kept for the layout. */
    CV_Mutex guardMutex;
    /** The module's RefMutex, which guards the registry. */
    CV_RecursiveMutex* objLock;
    /** The newest registered object, or null. */
    CV_GuardedRef* objects;
} CV_ObjectManager;

/** ---- The module contract (BaseModuleInterface) --------------------------
 * The primary table of every service object. getService answers the
 * service's guarded part (no reference comes with it) or null. */
struct CV_BaseModule;
/** The slots of the module contract, for the object type `Self`: the two
 * destructors, getModuleID, getVersion and getBuild (the module's number,
 * version and build), and getService. Every service's primary table starts
 * with them. */
#define CV_BASE_MODULE_SLOTS(Self)         \
    void (*destroy)(Self * self);          \
    void (*destroy_deleting)(Self * self); \
    int (*getModuleID)(Self * self);       \
    int (*getVersion)(Self * self);        \
    int (*getBuild)(Self * self);          \
    CV_GuardedRef* (*getService)(Self * self, CV_TypifiedID const* id)

/** The table of the module contract: the slots of CV_BASE_MODULE_SLOTS. */
typedef struct CV_BaseModule_vtbl {
    /** The module contract's slots. */
    CV_BASE_MODULE_SLOTS(struct CV_BaseModule);
} CV_BaseModule_vtbl;

/** A module's service object as the module contract (BaseModuleInterface) sees it. */
typedef struct CV_BaseModule {
    /** The object's table. */
    CV_BaseModule_vtbl const* vtbl;
} CV_BaseModule;

/** ---- Byte buffers (TBuf) and their service (X509CmnSrv_I, id 111) --------
 * Made by the byte-buffer peer. Every buffer a createTBuf returns carries one
 * hold for its caller (given back with release()); holds are separate from
 * guarded references, and the buffer lives while either remains. */
struct CV_TBuf;
/** The table of a byte buffer: the guarded object's slots, then the buffer's, in the order of TBuf. Codes are those
 * of the byte-buffer peer (zip_result.h). */
typedef struct CV_TBuf_vtbl {
    /** The guarded object's slots. */
    CV_GuardedRef_vtbl gref;
    /** One more hold; the number of holds now, or negative (S_TBUF_HOLD_REFUSED) once the buffer is finished. */
    int (*acquire)(struct CV_TBuf* self);
    /** Gives one hold back; the number left (0: the buffer may be gone), or negative (S_TBUF_NOT_HELD) without a
     * hold. */
    int (*release)(struct CV_TBuf* self);
    /** The characters of `s`, without the NUL; 0 or a code. */
    int (*set_str)(struct CV_TBuf* self, char const* s);
    /** A copy of `len` bytes (they may lie inside this buffer); 0 or a code. */
    int (*set_bytes)(struct CV_TBuf* self, unsigned char const* data, unsigned int len);
    /** A held place: answers S_TBUF_NOT_SUPPORTED. */
    int (*reservedSlot5)(struct CV_TBuf* self);
    /** The first byte, owned by the buffer; null when empty. */
    unsigned char* (*datap)(struct CV_TBuf* self);
    /** The number of bytes. */
    unsigned int (*len)(struct CV_TBuf* self);
    /** A copy of `source`'s contents; 0 or a code. */
    int (*dup)(struct CV_TBuf* self, struct CV_TBuf* source);
    /** A held place: answers S_TBUF_NOT_SUPPORTED. */
    int (*reservedSlot9)(struct CV_TBuf* self);
    /** operator!=: 0 when `other` has the same bytes, else 1. */
    int (*differs)(struct CV_TBuf* self, struct CV_TBuf* other);
    /** The bytes of a regular file; 0 or a code. */
    int (*load)(struct CV_TBuf* self, char const* path);
    /** Writes the bytes to a file, atomically; 0 or a code. */
    int (*save)(struct CV_TBuf* self, char const* path);
    /** Drops `n` bytes from the front; 0 or a code. */
    int (*shift)(struct CV_TBuf* self, unsigned int n);
    /** Drops `n` bytes from the back; 0 or a code. */
    int (*retreat)(struct CV_TBuf* self, unsigned int n);
} CV_TBuf_vtbl;

/** A byte buffer (TBuf) of the byte-buffer peer; its table is a CV_TBuf_vtbl. */
typedef struct CV_TBuf {
    /** The guarded object's part, at the same offset as in the C++ class. */
    CV_GuardedRef gref;
} CV_TBuf;

struct CV_X509CmnSrv;
/** The table of the byte-buffer factory (X509CmnSrv_I): each createTBuf slot returns a new buffer carrying one hold
 * for the caller, or null. */
typedef struct CV_X509CmnSrv_vtbl {
    /** The guarded object's slots. */
    CV_GuardedRef_vtbl gref;
    /** An empty buffer. */
    CV_TBuf* (*createTBuf)(struct CV_X509CmnSrv* self);
    /** A copy of the characters of `s`. */
    CV_TBuf* (*createTBuf_str)(struct CV_X509CmnSrv* self, char const* s);
    /** The buffer keeps its own copy of the bytes. */
    CV_TBuf* (*createTBuf_bytes)(struct CV_X509CmnSrv* self, unsigned char const* data, unsigned int len);
    /** A copy of `source`'s contents (source may belong to any module, or be null). */
    CV_TBuf* (*createTBuf_copy)(struct CV_X509CmnSrv* self, CV_TBuf* source);
} CV_X509CmnSrv_vtbl;

/** The byte-buffer factory (X509CmnSrv_I, service 111); its table is a CV_X509CmnSrv_vtbl. */
typedef struct CV_X509CmnSrv {
    /** The guarded object's part, at the same offset as in the C++ class. */
    CV_GuardedRef gref;
} CV_X509CmnSrv;

/** ---- The zlib peer (CMN_ZLib_Interface, id 64) and its buffers -----------
 * createVBuffer returns a new compression buffer with count 0 (the caller's
 * holder takes the first reference); the input bytes stay the caller's and
 * must outlive the buffer. Output belongs to the buffer. Decompress answers
 * CV_VBUFFER_NOT_COMPRESSED for input that is not compressed data. */
enum { CV_VBUFFER_NOT_COMPRESSED = 59 };

struct CV_VBuffer;
/** The table of a compression buffer: the guarded object's slots, then the buffer's (VBuffer_Interface). */
typedef struct CV_VBuffer_vtbl {
    /** The guarded object's slots. */
    CV_GuardedRef_vtbl gref;
    /** Compresses the input into the buffer's output; 0 or a zlib code. */
    int (*Compress)(struct CV_VBuffer* self);
    /** Restores the input into the buffer's output; 0, CV_VBUFFER_NOT_COMPRESSED or a zlib code. */
    int (*Decompress)(struct CV_VBuffer* self);
    /** The bytes of output of the last success; 0 before any. */
    unsigned int (*GetOutputSize)(struct CV_VBuffer* self);
    /** The output of the last success, owned by the buffer; null before any. */
    unsigned char const* (*GetOutputData)(struct CV_VBuffer* self);
} CV_VBuffer_vtbl;

/** A compression buffer (VBuffer_Interface) of the zlib peer; its table is a CV_VBuffer_vtbl. */
typedef struct CV_VBuffer {
    /** The guarded object's part, at the same offset as in the C++ class. */
    CV_GuardedRef gref;
} CV_VBuffer;

struct CV_ZLib;
/** The primary table of the zlib service: the module contract, then createVBuffer. */
typedef struct CV_ZLib_vtbl {
    /** The module contract's slots. */
    CV_BASE_MODULE_SLOTS(struct CV_ZLib);
    /** A new compression buffer over the caller's bytes, count 0; null for null data with len > 0. */
    CV_VBuffer* (*createVBuffer)(struct CV_ZLib* self, unsigned char const* data, unsigned long len);
} CV_ZLib_vtbl;

/** Two tables: `vtbl` (the contract and createVBuffer) and gref's own, whose
 * slots receive `&gref`. Modules find the service by lookupService, which
 * answers `&gref`; they reach the object's start by subtracting gref's offset. */
typedef struct CV_ZLib {
    /** The primary table: the contract and createVBuffer. */
    CV_ZLib_vtbl const* vtbl;
    /** The guarded part, with its own table; what lookupService answers. */
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
/** The table of a zip buffer: the guarded object's slots, then ZipTBuf, UnzipTBuf and GetResultTBuf. */
typedef struct CV_TZipBuffer_vtbl {
    /** The guarded object's slots. */
    CV_GuardedRef_vtbl gref;
    /** Compresses the input, or passes it through when compression is off; a result code. */
    unsigned int (*ZipTBuf)(struct CV_TZipBuffer* self);
    /** Restores the input, or passes through input that is not compressed data; a result code. */
    unsigned int (*UnzipTBuf)(struct CV_TZipBuffer* self);
    /** The result, borrowed until the next call or the zip buffer's end; null before a success. */
    CV_TBuf* (*GetResultTBuf)(struct CV_TZipBuffer* self);
} CV_TZipBuffer_vtbl;

/** A zip buffer (TZipBuffer_Interface) of libs_zip; its table is a CV_TZipBuffer_vtbl. */
typedef struct CV_TZipBuffer {
    /** The guarded object's part, at the same offset as in the C++ class. */
    CV_GuardedRef gref;
} CV_TZipBuffer;

struct CV_TZip;
/** The primary table of the ZIP service: the module contract, then createTZipBuffer. */
typedef struct CV_TZip_vtbl {
    /** The module contract's slots. */
    CV_BASE_MODULE_SLOTS(struct CV_TZip);
    /** A new zip buffer over `in` with count 0; it takes a hold on `in`. */
    CV_TZipBuffer* (*createTZipBuffer)(struct CV_TZip const* self, CV_TBuf* in);
} CV_TZip_vtbl;

/** Laid out like CV_ZLib: the contract's table, then the guarded part. */
typedef struct CV_TZip {
    /** The primary table: the contract and createTZipBuffer. */
    CV_TZip_vtbl const* vtbl;
    /** The guarded part, with its own table; what lookupService answers. */
    CV_GuardedRef gref;
} CV_TZip;

/** ---- The host's module manager (ModMgr_Interface) -------------------------
 * Owned by the host, handed to a module by the load call; no destructor
 * slots. Modules call lookupService only: it answers the guarded part of the
 * named service (no reference comes with it) or null; `asking` is the
 * calling module's identifier. */
struct CV_ModMgr;
/** The table of the host's module manager. */
typedef struct CV_ModMgr_vtbl {
    /** The number of loaded modules. */
    int (*moduleCount)(struct CV_ModMgr* self);
    /** The service object of the named module, or null; no reference comes with it. */
    CV_BaseModule* (*findModule)(struct CV_ModMgr* self, CV_TypifiedID const* module);
    /** The guarded part of the named service, or null; no reference comes with it. `asking` names the calling module. */
    CV_GuardedRef* (*lookupService)(struct CV_ModMgr* self, CV_TypifiedID const* service, CV_TypifiedID const* asking);
} CV_ModMgr_vtbl;

/** The host's module manager (ModMgr_Interface), owned by the host. */
typedef struct CV_ModMgr {
    /** The object's table. */
    CV_ModMgr_vtbl const* vtbl;
} CV_ModMgr;

/** ---- Exported entry points of a module (C linkage, found with dlsym) ------
 * GetInterfaceClass(manager, 0): the load call; records the manager and
 * returns the service object, held by the module. GetInterfaceClass(manager,
 * n != 0) records the manager only. GetInterfaceClass(NULL, any): the unload
 * call; finishes every live object and lets the service object go. */
typedef CV_BaseModule* (*CV_GetInterfaceClass_fn)(CV_ModMgr* manager, int flags);
/** GetObjectManager(): the module's object manager, owned by the module and
 * valid until it is unloaded; a host asks it moduleIsUsed() and fini() during
 * the unload protocol. */
typedef CV_ObjectManager* (*CV_GetObjectManager_fn)(void);

/* ---- The inline framework operations, for C peers ------------------------
 * What every module compiles itself, with the same effect on the fields.
 * They work on any module's objects: the locks are the object's own. */

/** Makes `m` a free recursive mutex with the table `vtbl` (which a C peer
 * provides); the counterpart of the CMN_RecursiveMutex constructor. */
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

/** Leaves `m` once; the last exit frees it. Only its owner may call it. */
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
