#pragma once
// The ZIP module in process, between its load and unload calls, with fake
// peers and a temporary configuration directory. Every test ends with the
// unload call, and fails when it leaves an object in the registry or a fake
// alive.

#include <gtest/gtest.h>

#include "cmn_obj_mgr.h"
#include "cmn_abuf.h"
#include "s_zlibC.h"
#include "zipC.h"
#include "tests/support/doubles.h"
#include "tests/support/introspection.h"
#include "tests/zip/config_dir.h"
#include "zip_module.h"

class ZipModule : public ::testing::Test {
protected:
    void SetUp() override {
        // A missing result stays visible through the client stub's copy.
        factory->nullFromNull = true;
        service = GetInterfaceClass(&mgr, 0);
        ASSERT_NE(service, nullptr);
        offerService(service);
    }

    void TearDown() override {
        GetInterfaceClass(nullptr, 0);
        mgr.withdraw(TZipID);
        x509cmn_fini();
        zlib.unload();
        factory.unload();
        EXPECT_EQ(ObjectManager.objects, nullptr) << "an object outlived its last holder";
        EXPECT_EQ(FakeBuf::live, 0) << "a byte buffer outlived its last hold";
        EXPECT_EQ(FakeVBuf::live, 0) << "a compression buffer outlived its handle";
        EXPECT_EQ(LiveDoubles(), 0) << "a peer service outlived its unload";
    }

    // The host finds the ZIP service through the module's own getService.
    void offerService(BaseModuleInterface* s) { mgr.offer(TZipID, s->getService(TZipID)); }
    void compressionOn() { config.write("s_zip.ini", "Compress=1\n"); }

    FakeModMgr mgr;
    ScopedModMgr link{&mgr};  // the module keeps the last manager it was given
    PeerService<FakeZLib> zlib{mgr, CMN_ZLibID};
    PeerService<FakeBufFactory> factory{mgr, X509CmnSrvID};
    ConfigDir config;
    BaseModuleInterface* service = nullptr;
};
