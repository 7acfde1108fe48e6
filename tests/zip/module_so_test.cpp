// libs_zip.so as the reference host loads it, beside a second module built on
// the same framework (libs_tbuf.so), both RTLD_GLOBAL and the other one first,
// so that any symbol of the ZIP module not bound inside itself would bind to
// the other's. This test binary is the host itself: the module "HOST".
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>

#include "cmn_abuf.h"
#include "host_modules.h"
#include "zipC.h"
#include "zip_result.h"
#include "zlib_service.h"

namespace {

void* refMutexOf(HostModule const& m) { return dlsym(m.handle, "_ZN13CMN_Reference8RefMutexE"); }

TEST(ZipSharedObject, EachModuleKeepsItsOwnRegistryLockAndIdentity) {
    HostModules host(RTLD_GLOBAL);
    std::string error;
    ASSERT_TRUE(host.load(ZIP_MODULE_DIR "/libs_tbuf.so", &error) && host.load(ZIP_MODULE_DIR "/libs_zip.so", &error))
        << error;
    HostModule const &tbuf = host.modules()[0], &zip = host.modules()[1];
    EXPECT_NE(zip.objects, tbuf.objects);
    EXPECT_NE(refMutexOf(zip), refMutexOf(tbuf));
    EXPECT_EQ(idText(zip.id) + idText(tbuf.id), "ZIPTBUF");

    // The load call left the service object alone in the module's registry,
    // under the module's lock, held in the module's name (by TZipS).
    CMN_GuardedRef* const service = static_cast<TZip_Interface*>(zip.service);
    CMN_VisitRegistry(
        *zip.objects, [&](CMN_GuardedRef* o) { EXPECT_EQ(o, service); },
        [&](CMN_GuardedRef*, CMN_GRPHolder* h) { EXPECT_EQ(h->getModuleID(), zip.id); });
    EXPECT_EQ(registeredObjects(zip.objects), 1);
    EXPECT_TRUE(service->refLock == refMutexOf(zip) && zip.objects->objLock == refMutexOf(zip));

    // A zip buffer the host holds is use of the ZIP module by another module;
    // the unload protocol cuts its stub loose.
    TBuf* in = createTBuf("bytes");
    TZipBuffer zb(in);
    in->release();
    EXPECT_EQ(zip.objects->moduleIsUsedBy(*GetModuleID()), 1);
    x509cmn_fini();
    std::vector<UnloadStep> const steps = host.unloadAll();
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_TRUE(steps[0].usedByOthers);
    for (UnloadStep const& s : steps) EXPECT_TRUE(s.ok() && s.objectsAfterFini == 0) << s.name << s.dlcloseError;
    EXPECT_EQ(zb.ZipTBuf(), 40u);
}

// A byte-buffer peer of another make whose factory calls back into the loaded
// module through its exported functions, answered by a module manager that
// offers nothing else. The module's theX509Cmn is the peer's only holder, so
// its release destroys the peer: never while a factory call still runs.
struct CallingBackPeer final : X509CmnSrv_I, ModMgr_Interface {
    static inline std::atomic<int> running{0};
    static inline std::atomic<bool> died{false}, diedInCall{false};

    CallingBackPeer() { died = diedInCall = false; }
    ~CallingBackPeer() override { diedInCall = running > 0, died = true; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    TBuf* createTBuf() override { return nullptr; }
    TBuf* createTBuf(char const*) override { return nullptr; }
    TBuf* createTBuf(TBuf*) override { return nullptr; }
    TBuf* createTBuf(unsigned char const*, unsigned int) override {
        ++running;
        during();
        --running;
        return nullptr;
    }
    int moduleCount() override { return 1; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const* s, TypifiedID const*) override {
        return s != nullptr && *s == X509CmnSrvID && !withdrawn ? this : nullptr;
    }

    std::function<void()> during = [] {};
    bool withdrawn = false;
};

TEST(ZipSharedObject, ByteBufferPeerCallsBackFromInsideItsFactory) {
    void* zip = dlopen(ZIP_MODULE_DIR "/libs_zip.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(zip, nullptr) << dlerror();
    auto entry = reinterpret_cast<BaseModuleInterface* (*)(ModMgr_Interface*, int)>(dlsym(zip, "GetInterfaceClass"));
    auto create = reinterpret_cast<TBuf* (*)(unsigned char const*, unsigned int)>(dlsym(zip, "_Z10createTBufPKhj"));
    auto fini = reinterpret_cast<void (*)()>(dlsym(zip, "_Z12x509cmn_finiv"));
    auto makeABuf = reinterpret_cast<void (*)(void*, char const*)>(dlsym(zip, "_ZN4aBufC1EPKc"));
    auto dropABuf = reinterpret_cast<void (*)(void*)>(dlsym(zip, "_ZN4aBufD1Ev"));
    ASSERT_TRUE(entry && create && fini && makeABuf && dropABuf);
    unsigned char const byte = 1;

    // The binding call: the factory builds and destroys an aBuf of the module,
    // which takes the stub's mutex (and, as its last user, unbinds the stub).
    auto* peer = new CallingBackPeer;
    ASSERT_NE(entry(peer, 0), nullptr);
    alignas(aBuf) unsigned char wrapper[sizeof(aBuf)];
    peer->during = [&] { makeABuf(wrapper, "inner"), dropABuf(wrapper); };
    create(&byte, 1);
    EXPECT_TRUE(CallingBackPeer::died && !CallingBackPeer::diedInCall);
    entry(nullptr, 0);

    // A bound call: the factory unbinds the stub with x509cmn_fini.
    peer = new CallingBackPeer;
    entry(peer, 1);
    create(&byte, 1);  // binds
    peer->during = [&] { fini(); };
    peer->withdrawn = true;
    create(&byte, 1);
    EXPECT_TRUE(CallingBackPeer::died && !CallingBackPeer::diedInCall);
    EXPECT_EQ(dlclose(zip), 0);
}

// Every code a client can meet has its own message, the same from the
// module's export as from the client stubs' copy; any other code is unknown.
TEST(ZipSharedObject, NamesEveryResultCodeAsTheClientsDo) {
    HostModules host;
    std::string error;
    ASSERT_TRUE(host.load(ZIP_MODULE_DIR "/libs_zip.so", &error)) << error;
    using Strerror = char const* (*)(unsigned int);
    auto const exported = reinterpret_cast<Strerror>(dlsym(host.modules()[0].handle, "s_zip_strerror"));
    ASSERT_NE(exported, nullptr);
    ASSERT_NE(exported, &s_zip_strerror);

    std::set<std::string> messages;
    unsigned int const known[] = {ZIP_OK,       ZIP_NO_OUTPUT_BUFFER,
                                  ZIP_NO_INPUT, ZIP_HOLD_REFUSED,
                                  40,           59,
                                  60,           61,
                                  62,           63,
                                  64,           65,
                                  66,           201,
                                  202,          203,
                                  204,          205,
                                  206,          207,
                                  208,          209};
    for (unsigned int code : known) {
        char const* const m = s_zip_strerror(code);
        ASSERT_NE(m, nullptr) << code;
        EXPECT_STREQ(exported(code), m) << code;
        EXPECT_STRNE(m, "unknown failure") << code;
        EXPECT_TRUE(messages.insert(m).second) << code << ": " << m;
    }
    EXPECT_STREQ(s_zip_strerror(ZIP_OK), "success");
    EXPECT_STREQ(s_zip_strerror(S_ZLIB_TRUNCATED), "zlib: compressed data cut short");
    for (unsigned int code : {2u, 39u, 41u, 58u, 67u, 200u, 210u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(s_zip_strerror(code), "unknown failure") << code;
        EXPECT_STREQ(exported(code), "unknown failure") << code;
    }
    for (UnloadStep const& s : host.unloadAll()) EXPECT_TRUE(s.ok()) << s.name << s.dlcloseError;
}

}  // namespace
