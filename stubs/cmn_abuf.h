#pragma once
/// @file
///
/// The module's client of the peer byte-buffer service (identifier 111): the
/// module-global service stub theX509Cmn, the four createTBuf forwarders, and
/// aBuf, a wrapper that owns one buffer and keeps the result of its last
/// operation.
///
/// theX509Cmn binds lazily: once bound, createTBuf is one acquire-ordered load
/// and the factory call, with no lock. Its mutex guards binding and the use
/// count (one per live aBuf); x509cmn_init/x509cmn_fini take no lock and must
/// not run while another thread uses the stub.

#include "cmn_export.h"
#include "cmn_stub.h"
#include "id_type.h"
#include "tbuf.h"

/// The numeric identifier 111 of the byte-buffer service. The identifiers and
/// the stub class are private to each module that carries this client; of the
/// stub, only the global theX509Cmn is exported.
extern Tuint32ID X509CmnSrvID;

/// The service stub on the byte-buffer service (CMN_ServiceStub): binds
/// lazily under its mutex, and lets go of the service when its use count falls
/// to 0.
class X509CmnSrv : public CMN_ServiceStub<X509CmnSrv_I> {
public:
    X509CmnSrv();  ///< unbound, serviceID X509CmnSrvID
    /// Looks the service up at once when `bindNow`, else stays unbound.
    explicit X509CmnSrv(bool bindNow);
    /// Releases the service, if bound.
    ~X509CmnSrv() override;
    /// Binds to what `other` holds and copies its use count (CMN_ServiceStub's
    /// assignment: never waits; the old service is released once the calls
    /// that may still use it have returned).
    X509CmnSrv& operator=(X509CmnSrv const& other);
};

/// The module's one stub on the byte-buffer service, behind every aBuf and
/// createTBuf() of the module; built at rank CMN_INIT_BUFFER_CLIENT.
CMN_EXPORT extern X509CmnSrv theX509Cmn;

/// Binds theX509Cmn to the service the module manager returns now (unbinds it
/// when there is none) and sets its use count to 0. Always returns 0.
CMN_EXPORT int x509cmn_init();
/// Unbinds theX509Cmn and sets its use count to 0; the next use binds again.
CMN_EXPORT void x509cmn_fini();

/// Each returns a new buffer carrying one hold for the caller, or null when the
/// service cannot be bound or makes no buffer.
/// Binds theX509Cmn first when it is unbound (without counting a use); once
/// bound, takes no lock. An empty buffer.
CMN_EXPORT TBuf* createTBuf();
/// A buffer with a copy of the characters of `s` (null: an empty buffer).
CMN_EXPORT TBuf* createTBuf(char const* s);
/// A buffer with a copy of `len` bytes at `data`; null `data` with `len` > 0
/// gives null.
CMN_EXPORT TBuf* createTBuf(unsigned char const* data, unsigned int len);
/// A buffer with a copy of `source`'s contents (null: an empty buffer).
CMN_EXPORT TBuf* createTBuf(TBuf* source);

/// Owns one buffer by its holder alone (no hold), counts once in theX509Cmn's
/// use count for its life, and forwards the buffer's operations; 40 is the
/// answer of a wrapper that holds no buffer. error() is the code of the last
/// operation.
class CMN_EXPORT aBuf : public PKIXAnyObject<TBuf> {
public:
    /// A new empty buffer of the service; error() is 0, or 40 when the service
    /// made none (the wrapper then holds nothing).
    aBuf();
    /// A new buffer with a copy of the characters of `s`; error() as for aBuf().
    explicit aBuf(char const* s);
    /// A new buffer with a copy of `len` bytes at `data`; error() as for aBuf().
    aBuf(unsigned char const* data, unsigned int len);
    explicit aBuf(TBuf* buf);  ///< holds `buf` without taking or giving back a hold
    /// Releases the buffer through the holder (it dies if nothing else holds
    /// it), then counts out of theX509Cmn's use count.
    ~aBuf() override;

    /// The first byte, owned by the buffer and valid until its contents
    /// change; null when empty or when the wrapper holds nothing (error() 40).
    unsigned char const* datap() const;
    /// The same, writable: the caller may change the bytes in place, not the length.
    unsigned char* datap();
    /// The number of bytes; 0 (error() 40) when the wrapper holds nothing.
    unsigned int len() const;
    /// Makes the contents the characters of `s`; 0 or a code, also kept in error().
    int set(char const* s);
    /// Makes the contents a copy of `len` bytes at `data`; 0 or a code, also
    /// kept in error().
    int set(unsigned char const* data, unsigned int len);
    /// Makes the contents a copy of `other`'s; 0 or a code, also kept in error().
    int dup(aBuf const& other);
    /// 0 when both hold buffers with the same bytes, else 1 (also when either
    /// holds nothing: error() 40).
    int operator!=(aBuf const& other) const;
    /// Makes the contents the bytes of the regular file `path`; 0 or a code
    /// (S_TBUF_FILE_*), also kept in error().
    int load(char const* path);
    /// Writes the contents to the file `path`, replacing it atomically; 0 or a
    /// code, also kept in error().
    int save(char const* path);
    /// Drops `n` bytes from the front; 0 or a code (S_TBUF_OUT_OF_RANGE when
    /// n > len()), also kept in error().
    int shift(unsigned int n);
    /// Drops `n` bytes from the back; 0 or a code, also kept in error().
    int retreat(unsigned int n);
};
