// Both peer modules in one process, working together as the ZIP module uses
// them.
#include <gtest/gtest.h>

#include "cmn_grefptr.h"
#include "tbuf.h"
#include "zlib_service.h"
#include "peer_host.h"

namespace {

// Both peers in one process, loaded so that each one's symbols are visible to
// everything loaded later: each still binds to its own registry and lock.
TEST(BothPeers, LoadedGloballyEachKeepsItsOwnRegistry) {
    TestModuleManager host;
    LoadedModule* tbuf = host.load(S_TBUF_PATH, RTLD_GLOBAL);
    LoadedModule* zlib = host.load(S_ZLIB_PATH, RTLD_GLOBAL);
    ASSERT_NE(tbuf, nullptr);
    ASSERT_NE(zlib, nullptr);
    EXPECT_NE(tbuf->objectManager, zlib->objectManager);
    EXPECT_EQ(tbuf->registered(), 2);
    EXPECT_EQ(zlib->registered(), 1);

    Tuint32ID bufferService(111), zlibService(64);
    auto* factory = static_cast<X509CmnSrv_I*>(host.lookupService(&bufferService, &TestModuleID()));
    auto* codec = static_cast<CMN_ZLib_Interface*>(host.lookupService(&zlibService, &TestModuleID()));
    ASSERT_NE(factory, nullptr);
    ASSERT_NE(codec, nullptr);
    {
        // The zlib service works on a byte buffer's bytes in place, and its
        // output lands in a new byte buffer: the ZIP module's round.
        CMN_GRefPtr<TBuf> in(factory->createTBuf("a line that the zlib service compresses"));
        in.get()->release();
        CMN_GRefPtr<VBuffer_Interface> v(codec->createVBuffer(in.get()->datap(), in.get()->len()));
        ASSERT_EQ(v.get()->Compress(), 0);
        CMN_GRefPtr<TBuf> out(factory->createTBuf(v.get()->GetOutputData(), v.get()->GetOutputSize()));
        out.get()->release();
        CMN_GRefPtr<VBuffer_Interface> back(codec->createVBuffer(out.get()->datap(), out.get()->len()));
        ASSERT_EQ(back.get()->Decompress(), 0);
        CMN_GRefPtr<TBuf> restored(factory->createTBuf(back.get()->GetOutputData(), back.get()->GetOutputSize()));
        restored.get()->release();
        EXPECT_EQ(*restored.get() != in.get(), 0);
        EXPECT_EQ(tbuf->registered(), 5);
        EXPECT_EQ(zlib->registered(), 3);
    }
    EXPECT_EQ(tbuf->registered(), 2);
    EXPECT_EQ(zlib->registered(), 1);
    EXPECT_TRUE(host.unloadAll());
}

}  // namespace
