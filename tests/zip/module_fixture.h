#pragma once
// The ZIP module in process, between its load and unload calls, with fake
// peers and a temporary configuration directory. Every test ends with the
// unload call, and fails when it leaves an object in the registry, a byte
// buffer or a compression buffer alive.

#include <gtest/gtest.h>

#include "framework/cmn_obj_mgr.h"
#include "stubs/cmn_abuf.h"
#include "tests/zip/fakes.h"
#include "zip/zip.h"

class ZipModule : public ::testing::Test {
protected:
    void SetUp() override {
        manager().zlib = zlib.get();
        manager().factory = factory.get();
        service = GetInterfaceClass(&manager(), 0);
        ASSERT_NE(service, nullptr);
        manager().zip = service;
    }

    void TearDown() override {
        GetInterfaceClass(nullptr, 0);
        manager().zip = nullptr;
        x509cmn_fini();
        zlib.replacePointee(nullptr);
        factory.replacePointee(nullptr);
        EXPECT_EQ(ObjectManager.objects, nullptr) << "an object outlived its last holder";
        EXPECT_EQ(FakeBuf::live, 0) << "a byte buffer outlived its last hold";
        EXPECT_EQ(FakeVBuf::live, 0) << "a compression buffer outlived its handle";
    }

    // Outlives every test: the module keeps the last manager it was given.
    static FakeModMgr& manager() {
        static FakeModMgr m;
        return m;
    }

    void compressionOn() { config.write("s_zip.ini", "Compress=1\n"); }

    ConfigDir config;
    CMN_GRefPtr<FakeZLib> zlib{new FakeZLib};
    CMN_GRefPtr<FakeFactory> factory{new FakeFactory};
    BaseModuleInterface* service = nullptr;
};
