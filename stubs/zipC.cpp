#include "zipC.h"

#include "cmn_abuf.h"
#include "cmn_init_order.h"

// Built after the framework's lock and registry, before the module's own
// identifier and service stub; destroyed in the reverse order.
TstringID TZipID CMN_INIT_RANK(CMN_INIT_SERVICE_ID)("ZIP");

// ---- TZip ------------------------------------------------------------------

TZip::TZip() : CMN_Stub<TZip_Interface>(TZipID) {}

TZip::TZip(TZip_Interface* p) : CMN_Stub<TZip_Interface>(p) {}

TZip::~TZip() {}

TZipBuffer_Interface* TZip::createTZipBuffer(TBuf* in) const {
    TZip_Interface* service = holder.pointee;
    return service != nullptr ? service->createTZipBuffer(in) : nullptr;
}

// ---- TZipBuffer ------------------------------------------------------------

// The service is held only for the length of the constructor: the zip buffer
// never keeps the service object alive through this stub. The stub's holder
// claims the new zip buffer as soon as it comes back, so it is owned from
// then on, and the stub holds the only reference.
TZipBuffer::TZipBuffer(TBuf* in) : CMN_Stub<TZipBuffer_Interface>() {
    TZip service;
    if (!service.isBound()) return;
    TZipBuffer_Interface* made = service.createTZipBuffer(in);
    if (made == nullptr) return;
    CMN_ClaimNewInto(holder, made);
}

TZipBuffer::TZipBuffer(TZipBuffer_Interface* p) : CMN_Stub<TZipBuffer_Interface>(p) {}

TZipBuffer::~TZipBuffer() {}

unsigned int TZipBuffer::ZipTBuf() {
    TZipBuffer_Interface* zb = holder.pointee;
    return zb != nullptr ? zb->ZipTBuf() : CMN_NOT_BOUND;
}

unsigned int TZipBuffer::UnzipTBuf() {
    TZipBuffer_Interface* zb = holder.pointee;
    return zb != nullptr ? zb->UnzipTBuf() : CMN_NOT_BOUND;
}

// The zip buffer's result stays the zip buffer's: it is only read, through an
// intermediate copy whose hold is given back on every path. The caller gets a
// second, independent copy that carries the one hold it must give back.
TBuf* TZipBuffer::GetResultTBuf() {
    TZipBuffer_Interface* zb = holder.pointee;
    if (zb == nullptr) return nullptr;
    TBuf* copy = createTBuf(zb->GetResultTBuf());
    if (copy == nullptr) return nullptr;
    TBuf* out = nullptr;
    try {
        unsigned int n = copy->len();
        unsigned char const* bytes = copy->datap();
        out = createTBuf(bytes, n);
    } catch (...) {
        copy->release();
        throw;
    }
    copy->release();
    return out;
}
