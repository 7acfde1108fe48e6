// The calls that the shared layout routes through a table really read the
// table in the built libs_zip.so, so a peer of another make gets its own code
// run on its own objects. Here the peer is the byte-buffer service, whose
// holder list counts the calls of its eraseitem. What would break it: the
// module calling `holders.eraseitem(...)` on the member itself, which g++
// binds statically (the unlink and the delete of the item inlined), so the
// peer's count stays 0.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <new>

#include "host_loader.h"
#include "modmgr.h"
#include "tbuf.h"

namespace {

// A holder list of another make: same layout, its own table.
struct CountingList final : slist<CMN_GRPHolder> {
    static inline int erased = 0;
    void eraseitem(sitem<CMN_GRPHolder>* it) override {
        if (it != nullptr) ++erased;
        slist<CMN_GRPHolder>::eraseitem(it);
    }
};
static_assert(sizeof(CountingList) == sizeof(slist<CMN_GRPHolder>));

class PeerFactory final : public X509CmnSrv_I {
public:
    PeerFactory() { new (&holders) CountingList; }  // the list as the peer builds it
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    TBuf* createTBuf() override { return nullptr; }
    TBuf* createTBuf(char const*) override { return nullptr; }
    TBuf* createTBuf(unsigned char const*, unsigned int) override { return nullptr; }
    TBuf* createTBuf(TBuf*) override { return nullptr; }
};

class OneService final : public ModMgr_Interface {
public:
    explicit OneService(CMN_GuardedRef* s) : service(s) {}
    int moduleCount() override { return 0; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const*, TypifiedID const*) override { return service; }
    CMN_GuardedRef* service;
};

TEST(ModuleTables, ReleaseErasesThroughThePeersListTable) {
    OpenedModule zip;
    std::string error;
    ASSERT_TRUE(openModule(ZIP_MODULE_DIR "/libs_zip.so", 0, &zip, &error)) << error;
    auto* peer = new PeerFactory;
    CMN_GRefPtr<X509CmnSrv_I> peerHold(peer);  // the peer's own hold
    OneService manager(peer);
    ASSERT_NE(zip.entry(&manager, 0), nullptr);
    auto init = reinterpret_cast<int (*)()>(dlsym(zip.handle, "_Z12x509cmn_initv"));
    auto fini = reinterpret_cast<void (*)()>(dlsym(zip.handle, "_Z12x509cmn_finiv"));
    ASSERT_TRUE(init != nullptr && fini != nullptr);

    init();  // the module's stub takes a reference in its own name
    EXPECT_EQ(peer->references(), 2);
    int const erasedBefore = CountingList::erased;
    fini();  // ... and gives it back through the peer's table
    EXPECT_EQ(peer->references(), 1);
    EXPECT_EQ(CountingList::erased, erasedBefore + 1);

    zip.entry(nullptr, 0);
    CloseResult closed = closeModule(zip);
    EXPECT_TRUE(closed.dlcloseOk && !closed.stillMapped) << closed.dlcloseError;
}

}  // namespace
