#include "cmn_abuf.h"

#include "cmn_init_order.h"

// Built in this order, right after the zlib client's identifier, and
// destroyed in the reverse order: the stub names its identifier and must not
// outlive it.
Tuint32ID X509CmnSrvID CMN_INIT_RANK(CMN_INIT_BUFFER_CLIENT)(111);
X509CmnSrv theX509Cmn CMN_INIT_RANK(CMN_INIT_BUFFER_CLIENT);

// ---- X509CmnSrv ------------------------------------------------------------

X509CmnSrv::X509CmnSrv() : CMN_ServiceStub<X509CmnSrv_I>(X509CmnSrvID, false) {}

X509CmnSrv::X509CmnSrv(bool bindNow) : CMN_ServiceStub<X509CmnSrv_I>(X509CmnSrvID, bindNow) {}

X509CmnSrv::~X509CmnSrv() {}

X509CmnSrv& X509CmnSrv::operator=(X509CmnSrv const& other) {
    CMN_ServiceStub<X509CmnSrv_I>::operator=(other);
    return *this;
}

// ---- binding ---------------------------------------------------------------

// Assigning the temporary moves theX509Cmn to what the lookup found now; when
// that is the service it already holds, its reference stays as it is.
int x509cmn_init() {
    X509CmnSrv found(true);
    theX509Cmn = found;
    theX509Cmn.useCount = 0;
    return 0;
}

void x509cmn_fini() {
    X509CmnSrv none;
    theX509Cmn = none;
    theX509Cmn.useCount = 0;
}

// ---- factory forwarding ----------------------------------------------------

// Each binds theX509Cmn when it is unbound (without counting a use) and calls
// the factory on the bound service, which stays alive until the factory
// returns; once bound, no lock is taken.

TBuf* createTBuf() {
    return theX509Cmn.callBound<TBuf*>(nullptr, [&](X509CmnSrv_I* service) { return service->createTBuf(); });
}

TBuf* createTBuf(char const* s) {
    return theX509Cmn.callBound<TBuf*>(nullptr, [&](X509CmnSrv_I* service) { return service->createTBuf(s); });
}

TBuf* createTBuf(unsigned char const* data, unsigned int len) {
    return theX509Cmn.callBound<TBuf*>(nullptr, [&](X509CmnSrv_I* service) { return service->createTBuf(data, len); });
}

TBuf* createTBuf(TBuf* source) {
    return theX509Cmn.callBound<TBuf*>(nullptr, [&](X509CmnSrv_I* service) { return service->createTBuf(source); });
}

// ---- aBuf ------------------------------------------------------------------

namespace {

// Takes a freshly made buffer (count 0, one hold for us) into `w`: a temporary
// holder claims it at once, `w`'s holder takes its own reference, and the hold
// is given back, so from then on the wrapper keeps the buffer by its holder
// alone. Should a reference fail (allocation), the hold is given back all the
// same before the failure goes on, so the buffer does not outlive it.
void adopt(aBuf& w, TBuf* made) {
    if (made == nullptr) return;
    try {
        CMN_GRefPtr<TBuf> claimed(made);
        w.holder = claimed;
    } catch (...) {
        made->release();
        throw;
    }
    w.err = 0;
    made->release();
}

}  // namespace

aBuf::aBuf() : PKIXAnyObject<TBuf>(&theX509Cmn) { adopt(*this, createTBuf()); }

aBuf::aBuf(char const* s) : PKIXAnyObject<TBuf>(&theX509Cmn) { adopt(*this, createTBuf(s)); }

aBuf::aBuf(unsigned char const* data, unsigned int len) : PKIXAnyObject<TBuf>(&theX509Cmn) {
    adopt(*this, createTBuf(data, len));
}

aBuf::aBuf(TBuf* buf) : PKIXAnyObject<TBuf>(buf, &theX509Cmn) {}

// The buffer is released before theX509Cmn counts this wrapper out
// (CMN_ObjectStub's destructor); no hold is given back here.
aBuf::~aBuf() {}

namespace {

// datap() and len() record success before the call: the buffer's answer
// carries no code.
template <class R, class Read>
R readUncoded(aBuf const& w, R unbound, Read read) {
    TBuf* b = w.holder.pointee;
    w.err = b != nullptr ? 0 : CMN_NOT_BOUND;
    return b != nullptr ? read(b) : unbound;
}

}  // namespace

unsigned char const* aBuf::datap() const {
    return readUncoded<unsigned char const*>(*this, nullptr, [](TBuf* b) { return b->datap(); });
}

unsigned char* aBuf::datap() {
    return readUncoded<unsigned char*>(*this, nullptr, [](TBuf* b) { return b->datap(); });
}

unsigned int aBuf::len() const {
    return readUncoded<unsigned int>(*this, 0, [](TBuf* b) { return b->len(); });
}

int aBuf::set(char const* s) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->set(s) : CMN_NOT_BOUND);
}

int aBuf::set(unsigned char const* data, unsigned int len) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->set(data, len) : CMN_NOT_BOUND);
}

int aBuf::dup(aBuf const& other) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->dup(other.holder.pointee) : CMN_NOT_BOUND);
}

int aBuf::operator!=(aBuf const& other) const {
    TBuf* b = holder.pointee;
    TBuf* o = other.holder.pointee;
    if (b == nullptr || o == nullptr) {
        err = CMN_NOT_BOUND;
        return 1;
    }
    err = 0;
    return b->operator!=(o);
}

int aBuf::load(char const* path) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->load(path) : CMN_NOT_BOUND);
}

int aBuf::save(char const* path) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->save(path) : CMN_NOT_BOUND);
}

int aBuf::shift(unsigned int n) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->shift(n) : CMN_NOT_BOUND);
}

int aBuf::retreat(unsigned int n) {
    TBuf* b = holder.pointee;
    return err = (b != nullptr ? b->retreat(n) : CMN_NOT_BOUND);
}
