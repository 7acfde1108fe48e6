#pragma once
/// @file
///
/// The peer byte-buffer service and its buffers, as every module sees them.
///
/// Both derive from CMN_GuardedRef alone, so the guarded part lies at the start
/// of the object: one pointer serves for holder operations and for calls.
///
///   TBuf vtable:         ~dtor, ~dtor(deleting), init, fini, acquire, release,
///                        set(str), set(bytes,len), reservedSlot5, datap, len,
///                        dup, reservedSlot9, operator!=, load, save, shift, retreat
///   X509CmnSrv_I vtable: ~dtor, ~dtor(deleting), init, fini,
///                        createTBuf(), createTBuf(str), createTBuf(bytes,len),
///                        createTBuf(TBuf*)
///
/// Holds: every buffer a createTBuf returns carries one hold for its caller,
/// given back with release(). A buffer stays valid while any hold or any
/// guarded-reference holder remains on it.

#include "cmn_gref.h"

/// A byte buffer of the byte-buffer service: owned by that service's module,
/// alive while any hold or holder remains. Result codes are 0 or the
/// byte-buffer service's (S_TBUF_* in zip_result.h). One thread uses a buffer's
/// contents at a time; holds may be taken and given from any thread.
class TBuf : public CMN_GuardedRef {
public:
    /// One more hold for the caller; negative: refused, do not keep the buffer.
    virtual int acquire() = 0;
    /// Gives one hold back; callers ignore the result and drop the pointer.
    virtual int release() = 0;
    /// Makes the contents the characters of `s` (without the NUL); 0 or a code.
    virtual int set(char const* s) = 0;
    /// Makes the contents a copy of `len` bytes at `data`, which may lie inside
    /// this buffer; 0 or a code.
    virtual int set(unsigned char const* data, unsigned int len) = 0;
    /// A slot of the shared table that the ZIP module never calls.
    virtual int reservedSlot5() = 0;
    /// The first data byte, or null when the buffer has none.
    virtual unsigned char* datap() = 0;
    /// The number of bytes (a NUL that len() does not count follows them).
    virtual unsigned int len() = 0;
    /// Copies the source's contents; the source may be null.
    virtual int dup(TBuf* source) = 0;
    /// A slot of the shared table that the ZIP module never calls.
    virtual int reservedSlot9() = 0;
    /// Nonzero when the two differ, else 0.
    virtual int operator!=(TBuf* other) = 0;
    /// Makes the contents the bytes of the regular file `path`; 0 or a code.
    virtual int load(char const* path) = 0;
    /// Writes the contents to the file `path`, replacing it atomically; 0 or a code.
    virtual int save(char const* path) = 0;
    /// Drops `n` bytes from the front; 0 or a code (n > len()).
    virtual int shift(unsigned int n) = 0;
    /// Drops `n` bytes from the back; 0 or a code (n > len()).
    virtual int retreat(unsigned int n) = 0;
};

/// The byte-buffer service (number 111): the factory of byte buffers, owned by
/// its module. Safe to call from any thread.
class X509CmnSrv_I : public CMN_GuardedRef {
public:
    /// Each returns a new buffer carrying one hold for the caller, or null.
    virtual TBuf* createTBuf() = 0;
    /// A buffer with a copy of the characters of `s`; null `s`: an empty one.
    virtual TBuf* createTBuf(char const* s) = 0;
    /// The buffer keeps its own copy: `data` may be freed on return.
    virtual TBuf* createTBuf(unsigned char const* data, unsigned int len) = 0;
    /// A buffer with a copy of `source`'s contents (of any module); null
    /// `source`: an empty one.
    virtual TBuf* createTBuf(TBuf* source) = 0;
};
