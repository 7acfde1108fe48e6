// CMN_ZLib and VBuffer: binding by lookup of service 64, the nil answers, and
// the rule that a VBuffer looks the service up afresh and keeps no hold on it.
#include "s_zlibC.h"

#include "tests/stubs/client_fixture.h"

namespace {

class ZLibClientTest : public ClientTest {};

unsigned char const kBytes[] = {'a', 'b', 'c', 'd'};

TEST_F(ZLibClientTest, CMN_ZLibHoldsTheServiceInItsOwnName) {
    auto& zlib = install<FakeZLib>(CMN_ZLibID);
    {
        CMN_ZLib handle;
        ASSERT_FALSE(handle.is_nil());
        EXPECT_EQ(handle.pointee, zlib.object);  // second-base conversion undone
        EXPECT_EQ(handle.serviceID, &CMN_ZLibID);
        EXPECT_EQ(mgr.lastAsking.load(), GetModuleID());
        EXPECT_EQ(HoldersOf(zlib.guarded()).front(), static_cast<CMN_GRPHolder*>(&handle));
        EXPECT_EQ(zlib.guarded()->references(), 2);

        VBuffer_Interface* made = handle.createVBuffer(kBytes, 3);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->references(), 0);  // passed on unclaimed
        EXPECT_EQ(zlib->lastData, kBytes);
        EXPECT_EQ(zlib->lastLen, 3u);
        VBuffer claim(made);

        CMN_ZLib fromPointer(zlib.object);
        EXPECT_EQ(fromPointer.serviceID, nullptr);
        EXPECT_EQ(zlib.guarded()->references(), 3);
    }
    EXPECT_EQ(zlib.guarded()->references(), 1);
    EXPECT_EQ(mgr.lookups, 1);
}

TEST_F(ZLibClientTest, NilOrCutLooseHandlesAnswerWithoutCallingAnything) {
    auto& zlib = install<FakeZLib>(CMN_ZLibID);
    ModMgr = nullptr;
    CMN_ZLib early;
    VBuffer earlyBuffer(kBytes, 4);
    ModMgr = &mgr;
    CMN_ZLib fromNull(nullptr);
    VBuffer bufferFromNull(nullptr);
    CMN_ZLib cutLoose;
    VBuffer bufferCutLoose(kBytes, 4);
    cutLoose.replacePointee(nullptr);  // what the peer module's unload does
    bufferCutLoose.replacePointee(nullptr);
    EXPECT_EQ(FakeVBuf::live, 0);
    zlib->refuse = true;
    VBuffer refused(kBytes, 4);

    for (CMN_ZLib* z : {&early, &fromNull, &cutLoose}) {
        EXPECT_TRUE(z->is_nil());
        EXPECT_EQ(z->createVBuffer(kBytes, 4), nullptr);
    }
    for (VBuffer* v : {&earlyBuffer, &bufferFromNull, &bufferCutLoose, &refused}) {
        EXPECT_TRUE(v->is_nil());
        EXPECT_EQ(v->Compress(), 40);
        EXPECT_EQ(v->Decompress(), 40);
        EXPECT_EQ(v->GetOutputSize(), 0u);
        EXPECT_EQ(v->GetOutputData(), nullptr);
    }
    EXPECT_EQ(zlib->asked, 2) << "only the cut-loose and the refusing constructions asked";
    EXPECT_EQ(zlib.guarded()->references(), 1);
}

TEST_F(ZLibClientTest, EveryVBufferLooksTheServiceUpAfreshAndKeepsOnlyItsBuffer) {
    auto& zlib = install<FakeZLib>(CMN_ZLibID);
    zlib->script = {0, VBUFFER_NOT_COMPRESSED, {'d', 'c', 'b', 'a'}};
    {
        VBuffer first(kBytes, 4);
        FakeVBuf* zb = zlib->lastMade;
        zlib->script.output = {'x', 'y'};
        VBuffer second(kBytes, 2);
        EXPECT_EQ(mgr.lookups, 2);
        EXPECT_EQ(zlib->asked, 2);
        EXPECT_EQ(zlib.guarded()->references(), 1) << "no hold kept on the service";

        ASSERT_FALSE(first.is_nil());
        EXPECT_EQ(first.pointee, zb);
        EXPECT_EQ(zb->data, kBytes) << "the bytes are passed on, not copied";
        EXPECT_EQ(zb->references(), 1);
        EXPECT_EQ(HoldersOf(zb), std::vector<CMN_GRPHolder*>{&first});

        EXPECT_EQ(first.Compress(), 0);
        EXPECT_EQ(first.GetOutputSize(), 4u);
        EXPECT_EQ(std::string(reinterpret_cast<char const*>(first.GetOutputData()), 4), "dcba");
        zb->script.compressCode = 77;
        EXPECT_EQ(first.Compress(), 77);
        EXPECT_EQ(first.Decompress(), VBUFFER_NOT_COMPRESSED);

        // The service goes away: buffers made earlier stay usable.
        zlib.unload();
        EXPECT_EQ(FakeZLib::live, 0);
        EXPECT_EQ(second.Compress(), 0);
        EXPECT_EQ(second.GetOutputSize(), 2u);
    }
    EXPECT_EQ(FakeVBuf::live, 0);
}

TEST_F(ZLibClientTest, ZeroBytesStillAskTheService) {
    auto& zlib = install<FakeZLib>(CMN_ZLibID);
    VBuffer empty(kBytes, 0);
    EXPECT_EQ(zlib->asked, 1);
    EXPECT_EQ(zlib->lastLen, 0u);
    ASSERT_FALSE(empty.is_nil());
    EXPECT_EQ(empty.Compress(), 0);
    EXPECT_EQ(empty.GetOutputSize(), 3u);  // the fake's output, forwarded
}

}  // namespace
