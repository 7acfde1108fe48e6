// The byte-buffer service module: its identity, entry point, module object
// and buffer factory.
#include "s_tbuf.h"

#include <cstring>
#include <new>

#include "cmn_init_order.h"
#include "cmn_module_entry.h"
#include "cmn_obj_mgr.h"
#include "cmn_stub.h"
#include "tbuf.h"
#include "tbuf_buffer.h"

namespace {

// A new buffer with one hold, filled by `fill`; null when it cannot be made.
// A buffer that fails to fill is freed by giving its only hold back.
template <class Fill>
TBuf* makeBuffer(Fill fill) {
    TBufImpl* b = new (std::nothrow) TBufImpl;
    if (b == nullptr) return nullptr;
    if (fill(b) != S_TBUF_OK) {
        b->release();
        return nullptr;
    }
    return b;
}

// The factory: stateless, safe from any thread.
class X509CmnSrvImpl final : public X509CmnSrv_I {
public:
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }

    TBuf* createTBuf() override {
        return makeBuffer([](TBufImpl*) { return S_TBUF_OK; });
    }
    TBuf* createTBuf(char const* s) override {
        return makeBuffer([s](TBufImpl* b) { return s != nullptr ? b->set(s) : S_TBUF_OK; });
    }
    TBuf* createTBuf(unsigned char const* data, unsigned int len) override {
        if (data == nullptr && len != 0) return nullptr;
        return makeBuffer([=](TBufImpl* b) { return b->set(data, len); });
    }
    TBuf* createTBuf(TBuf* source) override {
        return makeBuffer([source](TBufImpl* b) { return source != nullptr ? b->dup(source) : S_TBUF_OK; });
    }
};

}  // namespace

// The object the host receives at the load call: the module contract, and
// through getService the factory, which it holds for its whole life (a
// holder stamped with this module's identifier).
class TBufModuleImpl final : public BaseModuleInterface, public CMN_GuardedRef {
public:
    TBufModuleImpl() : factory(new X509CmnSrvImpl) {}

    int getModuleID() override { return S_TBUF_MODULE_NUMBER; }
    int getVersion() override { return S_TBUF_MODULE_VERSION; }
    int getBuild() override { return S_TBUF_MODULE_BUILD; }
    CMN_GuardedRef* getService(TypifiedID const& id) override;
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }

    CMN_GRefPtr<X509CmnSrv_I> factory;
};

// Static construction order (cmn_init_order.h): the service identifier, then
// the module identifier and the module's own stub on its module object.
Tuint32ID TBufServiceID CMN_INIT_RANK(CMN_INIT_SERVICE_ID)(111);
static TstringID ModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("TBUF");
// Holds the module object from the load call to the unload call.
CMN_Stub<TBufModuleImpl> TBufS CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY);

TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;

// The factory, or null once the object manager has cut it loose. The
// acquire-ordered read pairs with the holder's release-ordered writes.
CMN_GuardedRef* TBufModuleImpl::getService(TypifiedID const& id) {
    if (!(id == TBufServiceID)) return nullptr;
    return factory.loadPointee();
}

BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags) {
    return CMN_ModuleEntry<TBufModuleImpl>(manager, flags, TBufS);
}
