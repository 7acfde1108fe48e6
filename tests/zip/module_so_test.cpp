// libs_zip.so as the reference host loads it, beside a second module built on
// the same framework (libs_tbuf.so), both RTLD_GLOBAL and the other one first,
// so that any symbol of the ZIP module not bound inside itself would bind to
// the other's. This test binary is the host itself: the module "HOST".
#include <dlfcn.h>
#include <gtest/gtest.h>

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
