#include "s_zlibC.h"

#include "cmn_init_order.h"
#include "cmn_stub.h"

// The first global of the module to be built, the last to go.
Tuint32ID CMN_ZLibID CMN_INIT_RANK(CMN_INIT_ZLIB_CLIENT)(64);

// ---- CMN_ZLib --------------------------------------------------------------

CMN_ZLib::CMN_ZLib() : CMN_GRefPtr<CMN_ZLib_Interface>(CMN_ZLibID, true) {}

CMN_ZLib::CMN_ZLib(CMN_ZLib_Interface* p) : CMN_GRefPtr<CMN_ZLib_Interface>(p) {}

// The holder's destructor releases the service reference, when there is one.
CMN_ZLib::~CMN_ZLib() {}

bool CMN_ZLib::is_nil() const { return pointee == nullptr; }

VBuffer_Interface* CMN_ZLib::createVBuffer(unsigned char const* data, unsigned long len) const {
    return pointee != nullptr ? pointee->createVBuffer(data, len) : nullptr;
}

// ---- VBuffer ---------------------------------------------------------------

// Every construction looks the service up afresh, through a CMN_ZLib that is
// gone before the constructor returns: the handle keeps its compression
// buffer, never the service. The handle claims the new buffer as soon as it
// comes back (count 0 until then): one reference, one holder listing.
VBuffer::VBuffer(unsigned char const* data, unsigned long len) : CMN_GRefPtr<VBuffer_Interface>() {
    CMN_ZLib service;
    if (service.is_nil()) return;
    VBuffer_Interface* made = service.createVBuffer(data, len);
    if (made == nullptr) return;
    CMN_ClaimNewInto<VBuffer_Interface>(*this, made);
}

VBuffer::VBuffer(VBuffer_Interface* p) : CMN_GRefPtr<VBuffer_Interface>(p) {}

VBuffer::~VBuffer() {}

bool VBuffer::is_nil() const { return pointee == nullptr; }

int VBuffer::Compress() { return pointee != nullptr ? pointee->Compress() : CMN_NOT_BOUND; }

int VBuffer::Decompress() { return pointee != nullptr ? pointee->Decompress() : CMN_NOT_BOUND; }

unsigned int VBuffer::GetOutputSize() const { return pointee != nullptr ? pointee->GetOutputSize() : 0; }

unsigned char const* VBuffer::GetOutputData() const { return pointee != nullptr ? pointee->GetOutputData() : nullptr; }
