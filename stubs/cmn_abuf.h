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

class X509CmnSrv : public CMN_ServiceStub<X509CmnSrv_I> {
public:
    X509CmnSrv();  ///< unbound, serviceID X509CmnSrvID
    explicit X509CmnSrv(bool bindNow);
    ~X509CmnSrv() override;
    X509CmnSrv& operator=(X509CmnSrv const& other);
};

CMN_EXPORT extern X509CmnSrv theX509Cmn;

/// Binds theX509Cmn to the service the module manager returns now (unbinds it
/// when there is none) and sets its use count to 0. Always returns 0.
CMN_EXPORT int x509cmn_init();
/// Unbinds theX509Cmn and sets its use count to 0; the next use binds again.
CMN_EXPORT void x509cmn_fini();

/// Each returns a new buffer carrying one hold for the caller, or null when the
/// service cannot be bound or makes no buffer.
CMN_EXPORT TBuf* createTBuf();
CMN_EXPORT TBuf* createTBuf(char const* s);
CMN_EXPORT TBuf* createTBuf(unsigned char const* data, unsigned int len);
CMN_EXPORT TBuf* createTBuf(TBuf* source);

/// Owns one buffer by its holder alone (no hold), counts once in theX509Cmn's
/// use count for its life, and forwards the buffer's operations; 40 is the
/// answer of a wrapper that holds no buffer. error() is the code of the last
/// operation.
class CMN_EXPORT aBuf : public PKIXAnyObject<TBuf> {
public:
    aBuf();
    explicit aBuf(char const* s);
    aBuf(unsigned char const* data, unsigned int len);
    explicit aBuf(TBuf* buf);  ///< holds `buf` without taking or giving back a hold
    ~aBuf() override;

    unsigned char const* datap() const;
    unsigned char* datap();
    unsigned int len() const;
    int set(char const* s);
    int set(unsigned char const* data, unsigned int len);
    int dup(aBuf const& other);
    int operator!=(aBuf const& other) const;
    int load(char const* path);
    int save(char const* path);
    int shift(unsigned int n);
    int retreat(unsigned int n);
};
