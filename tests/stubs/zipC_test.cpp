// TZip and TZipBuffer: binding by lookup, forwarding, the unbound answers,
// and the copy and hold rules of GetResultTBuf.
#include "zipC.h"

#include "tests/stubs/client_fixture.h"

namespace {

class ZipClientTest : public ClientTest {};

TEST_F(ZipClientTest, TZipLooksTheServiceUpOnceAndHoldsItForItsLife) {
    auto& zip = install<FakeZipService>(TZipID);
    {
        TZip stub;
        ASSERT_TRUE(stub.isBound());
        EXPECT_EQ(stub.holder.pointee, zip.object);  // second-base conversion undone
        EXPECT_EQ(mgr.lookups, 1);
        EXPECT_EQ(mgr.lastAsking.load(), GetModuleID());
        EXPECT_EQ(zip.guarded()->references(), 2);
        EXPECT_EQ(HoldersOf(zip.guarded()).front(), &stub.holder);
        EXPECT_EQ(stub.holder.serviceID, &TZipID);
        EXPECT_TRUE(TZipID == TstringID("ZIP"));

        TZipBuffer_Interface* made = stub.createTZipBuffer(nullptr);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->references(), 0);  // passed on unclaimed
        CMN_GRefPtr<TZipBuffer_Interface> claim(made);
    }
    EXPECT_EQ(zip.guarded()->references(), 1);
    EXPECT_EQ(mgr.lookups, 1);
}

TEST_F(ZipClientTest, TZipStaysUnboundWithoutManagerServiceOrPointer) {
    {
        TZip notKnown;  // the manager knows no "ZIP"
        EXPECT_FALSE(notKnown.isBound());
        EXPECT_EQ(notKnown.holder.serviceID, &TZipID);
        EXPECT_EQ(notKnown.createTZipBuffer(nullptr), nullptr);
    }
    auto& zip = install<FakeZipService>(TZipID);
    ModMgr = nullptr;
    {
        TZip beforeLoad;
        EXPECT_FALSE(beforeLoad.isBound());
        TZip fromNull(nullptr);
        EXPECT_FALSE(fromNull.isBound());
        EXPECT_EQ(fromNull.holder.serviceID, nullptr);
        FakeBuf* in = FakeBuf::of("x");
        EXPECT_EQ(fromNull.createTZipBuffer(in), nullptr);
        EXPECT_EQ(beforeLoad.createTZipBuffer(in), nullptr);
        EXPECT_EQ(in->holds, 1) << "an unbound stub passes nothing on";
        EXPECT_EQ(in->calls, "");
        in->release();
    }
    EXPECT_EQ(zip->created, 0);
    EXPECT_EQ(mgr.lookups, 1);
}

TEST_F(ZipClientTest, TZipBufferHoldsTheOnlyReferenceAndNotTheService) {
    auto& zip = install<FakeZipService>(TZipID);
    zip->zipCode = 0;
    zip->unzipCode = 1234;  // a peer's own failure code, passed on as it is
    FakeBuf* in = FakeBuf::of("input");
    {
        TZipBuffer stub(in);
        ASSERT_TRUE(stub.isBound());
        FakeZipBuffer* zb = zip->lastMade;
        EXPECT_EQ(stub.holder.pointee, zb);
        EXPECT_EQ(zb->in, in);
        EXPECT_EQ(zb->references(), 1);
        EXPECT_EQ(HoldersOf(zb), std::vector<CMN_GRPHolder*>{&stub.holder});
        EXPECT_EQ(zip.guarded()->references(), 1) << "the local TZip let go";

        EXPECT_EQ(stub.ZipTBuf(), 0u);
        EXPECT_EQ(stub.UnzipTBuf(), 1234u);
        EXPECT_EQ(zb->zips, 1);
        EXPECT_EQ(zb->unzips, 1);
    }
    EXPECT_EQ(FakeZipBuffer::live, 0) << "the stub was the zip buffer's only holder";
    EXPECT_EQ(FakeZipService::live, 1);
    EXPECT_EQ(in->holds, 1);
    in->release();
}

TEST_F(ZipClientTest, UnboundOrCutLooseTZipBufferAnswers40AndNullAndCallsNothing) {
    auto& buffers = install<FakeBufFactory>(X509CmnSrvID);
    FakeBuf* in = FakeBuf::of("x");
    {
        ModMgr = nullptr;  // before the host's load call
        TZipBuffer early(in);
        ModMgr = &mgr;
        TZipBuffer noService(in);  // the manager knows no "ZIP"
        install<FakeZipService>(TZipID);
        TZipBuffer cutLoose(in);
        ASSERT_EQ(cutLoose.ZipTBuf(), 0u);
        cutLoose.holder.replacePointee(nullptr);  // what the ZIP module's unload does
        EXPECT_EQ(FakeZipBuffer::live, 0);
        for (TZipBuffer* s : {&early, &noService, &cutLoose}) {
            EXPECT_FALSE(s->isBound());
            EXPECT_EQ(s->ZipTBuf(), 40u);
            EXPECT_EQ(s->UnzipTBuf(), 40u);
            EXPECT_EQ(s->GetResultTBuf(), nullptr);
        }
    }
    EXPECT_EQ(buffers->calls(), 0);
    EXPECT_EQ(in->holds, 1);
    in->release();
}

TEST_F(ZipClientTest, GetResultTBufHandsOutAFreshCopyEachTime) {
    auto& zip = install<FakeZipService>(TZipID);
    auto& buffers = install<FakeBufFactory>(X509CmnSrvID);
    FakeBuf* result = FakeBuf::of("compressed bytes");
    zip->result = result;
    {
        TZipBuffer stub(static_cast<TBuf*>(nullptr));
        FakeBuf* a = static_cast<FakeBuf*>(stub.GetResultTBuf());
        FakeBuf* b = static_cast<FakeBuf*>(stub.GetResultTBuf());
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
        EXPECT_NE(a, result);
        EXPECT_EQ(a->content(), "compressed bytes");
        EXPECT_EQ(b->content(), "compressed bytes");

        // Through an intermediate copy of the result, read length first.
        EXPECT_EQ(buffers->lastSource, result);
        EXPECT_EQ(buffers->made[FakeBufFactory::FromBuf], 2);
        EXPECT_EQ(buffers->made[FakeBufFactory::FromBytes], 2);
        EXPECT_EQ(FakeBuf::trace(), "len datap len datap ");
        EXPECT_EQ(FakeBuf::live, 3) << "the intermediate copies are gone";

        // The caller's copies carry one hold each and no holder; the zip
        // buffer's result is untouched.
        EXPECT_EQ(a->holds, 1);
        EXPECT_EQ(a->holderRefs(), 0);
        EXPECT_EQ(result->holds, 1);
        EXPECT_EQ(result->holderRefs(), 0);
        EXPECT_EQ(result->calls, "");
        a->release();
        b->release();
        EXPECT_EQ(FakeBuf::live, 1);
    }
    result->release();
}

TEST_F(ZipClientTest, GetResultTBufGivesNullWhenNoBufferCanBeMade) {
    auto& zip = install<FakeZipService>(TZipID);
    FakeBuf* result = FakeBuf::of("r");
    zip->result = result;
    TZipBuffer stub(static_cast<TBuf*>(nullptr));

    EXPECT_EQ(stub.GetResultTBuf(), nullptr) << "no byte-buffer service";

    auto& buffers = install<FakeBufFactory>(X509CmnSrvID);
    buffers->refuseFrom = 1;  // the intermediate is made, the copy refused
    EXPECT_EQ(stub.GetResultTBuf(), nullptr);
    EXPECT_EQ(buffers->made[FakeBufFactory::FromBuf], 1);
    EXPECT_EQ(buffers->made[FakeBufFactory::FromBytes], 1);
    EXPECT_EQ(FakeBuf::live, 1) << "the intermediate was released anyway";

    buffers->refuseFrom = 0;
    EXPECT_EQ(stub.GetResultTBuf(), nullptr);
    EXPECT_EQ(buffers->made[FakeBufFactory::FromBytes], 1) << "no copy asked for without an intermediate";
    result->release();
}

TEST_F(ZipClientTest, ANullResultIsPassedOnToTheFactoryAsItIs) {
    install<FakeZipService>(TZipID);  // its zip buffers have no result
    auto& buffers = install<FakeBufFactory>(X509CmnSrvID);
    TZipBuffer stub(static_cast<TBuf*>(nullptr));
    TBuf* out = stub.GetResultTBuf();
    EXPECT_EQ(buffers->lastSource, nullptr);
    ASSERT_NE(out, nullptr);  // this factory makes an empty buffer from null
    EXPECT_EQ(out->len(), 0u);
    out->release();
}

}  // namespace
