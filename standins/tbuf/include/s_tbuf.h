#pragma once
// libs_tbuf.so: the byte-buffer service (service identifier 111) of the host.
//
// A module of the host in its own right, named "TBUF". Its load call,
// GetInterfaceClass(manager, 0), returns the module object (module number
// 111, version 1, build 1), which holds the buffer factory, an X509CmnSrv_I
// (interfaces/tbuf.h). getService(Tuint32ID(111)) answers the factory's
// guarded-reference part (null once the factory has been cut loose), any
// other identifier null. GetInterfaceClass(manager, n != 0) records the
// manager and returns null; GetInterfaceClass(null, any) finishes every live
// object of the module (buffers then refuse new holds) and lets the module
// object go.
//
// Factory (X509CmnSrv_I). Every createTBuf form returns a new buffer that
// carries one hold for the caller, or null:
//   createTBuf()                  an empty buffer;
//   createTBuf(char const* s)     a copy of the characters of s (without the
//                                 terminating NUL); null s: an empty buffer;
//   createTBuf(bytes, len)        a copy of the bytes; null bytes with len 0:
//                                 an empty buffer; null bytes with len > 0:
//                                 null (no buffer);
//   createTBuf(TBuf* source)      a copy of the source's contents (the source
//                                 may belong to any module); null source: an
//                                 empty buffer.
// Null also when memory runs out. The factory is safe from any thread.
//
// Lifetime. A buffer lives while it has a hold (acquire/release) or a
// guarded-reference holder, and is freed once, when the last of them goes.
// While it has holds, the buffer holds one guarded reference on itself
// through an internal holder stamped with this module's identifier, so
// holds alone never count as use of the module by another one.
//   acquire()   one more hold; returns the number of holds now (>= 1), or
//               S_TBUF_HOLD_REFUSED once the buffer is finished (see below),
//               and then nothing changes.
//   release()   gives one hold back; returns the number of holds left (the
//               buffer may be gone when it is 0), or S_TBUF_NOT_HELD when the
//               buffer has no hold, and then nothing changes.
// Finished buffers. The module's unload call runs fini() on every buffer:
// existing holds stay valid and can be released, new ones are refused. When
// the host then has the module's object manager cut every holder loose
// (fini()), each buffer's hold on itself is cut too: its holds end at once
// (release() answers S_TBUF_NOT_HELD) and a buffer that nothing else holds is
// freed. Pointers kept by holds alone are invalid from then on; this is the
// last step before the module is unloaded.
// Holds on one buffer may be taken and given from several threads at once.
//
// Contents. The other operations are for one thread at a time per buffer;
// distinct buffers may be used from any number of threads. The data is always
// followed by a NUL byte that len() does not count. On failure the contents
// are unchanged.
//   set(char const* s)       the characters of s; null: S_TBUF_BAD_ARGUMENT.
//   set(bytes, len)          a copy of the bytes (they may lie inside this
//                            buffer); null with len > 0: S_TBUF_BAD_ARGUMENT.
//   datap()                  the first byte, or null when the buffer is empty.
//   len()                    the number of bytes.
//   dup(source)              a copy of source's contents; null source:
//                            S_TBUF_BAD_ARGUMENT; the buffer itself: nothing.
//   operator!=(other)        0 when other has the same bytes, else 1; a null
//                            other differs from every buffer.
//   load(path)               the bytes of a regular file. Null path:
//                            S_TBUF_BAD_ARGUMENT; no such file:
//                            S_TBUF_FILE_MISSING; not a regular file, no
//                            permission or a read error:
//                            S_TBUF_FILE_UNREADABLE; more than S_TBUF_MAX_LEN
//                            bytes: S_TBUF_FILE_TOO_LARGE.
//   save(path)               writes the bytes to the file, atomically: into a
//                            new file beside it, synced, then renamed over
//                            it, so the file holds the old or the new bytes,
//                            never a mix. New files get mode 0666 less the
//                            umask. Null path: S_TBUF_BAD_ARGUMENT; directory
//                            missing, no permission, path is a directory, or
//                            a write error: S_TBUF_FILE_UNWRITABLE.
//   shift(n)                 drops n bytes from the front.
//   retreat(n)               drops n bytes from the back.
//                            Both: n > len(): S_TBUF_OUT_OF_RANGE.
//   reservedSlot5(), reservedSlot9()
//                            held places of the shared table:
//                            S_TBUF_NOT_SUPPORTED.
// A buffer holds at most S_TBUF_MAX_LEN bytes (S_TBUF_TOO_LARGE beyond);
// memory exhaustion answers S_TBUF_NO_MEMORY.

#include "cmn_export.h"
#include "cmn_om_s.h"
#include "modmgr.h"
#include "zip_result.h"

// Results: S_TBUF_OK (0) and the codes 201 to 209, and acquire()'s and
// release()'s S_TBUF_HOLD_REFUSED and S_TBUF_NOT_HELD, are named in
// zip_result.h with every other code a client meets.

// The module's number, version and build.
enum : int {
    S_TBUF_MODULE_NUMBER = 111,
    S_TBUF_MODULE_VERSION = 1,
    S_TBUF_MODULE_BUILD = 1,
};

// The most bytes a buffer holds.
constexpr unsigned int S_TBUF_MAX_LEN = 0xFFFFFFFEu;

extern "C" {
// The module entry point (load and unload calls, see above).
CMN_EXPORT BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags);
}
