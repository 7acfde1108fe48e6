#pragma once
// The ZIP module in process, between its load and unload calls, with fake
// peers and the private configuration directory (the switch off at the
// start). A test fails when it leaves an object registered or a double alive.

#include "tests/support/doubles.h"
#include "tests/zip/switch_file.h"
#include "zipC.h"
#include "zip_impl.h"
#include "zip_module.h"

struct ZipModule : PeersTest {
    void SetUp() override {
        writeSwitchFile("Compress=0\n");
        ASSERT_NE(service = GetInterfaceClass(&mgr, 0), nullptr);
        mgr.offer(TZipID, zip());
    }
    void TearDown() override {
        GetInterfaceClass(nullptr, 0);
        PeersTest::TearDown();
    }
    TZip_Interface* zip() const { return static_cast<TZip_Interface*>(service); }

    BaseModuleInterface* service = nullptr;
};
