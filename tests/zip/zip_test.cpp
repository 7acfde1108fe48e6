// The ZIP module in process: the zip buffer's outcomes and holds, the service
// object, and the client stubs TZip/TZipBuffer against the real service.
#include "tests/zip/zip_fixture.h"

namespace {

enum Input { Bytes, Empty, NoData, NoInput, RefusesHold };
enum Trouble { None, ZLibUnreachable, ZLibMakesNone, FactoryMakesNone, PassHoldRefused };
enum Result { Nothing, TheInput, Output };

// peer: what Compress() or Decompress() answers.
struct Case {
    char const* what;
    bool unzip, on;
    Input in;
    int peer;
    Trouble trouble;
    unsigned code;
    Result result;
};

Case const kCases[] = {
    {"zip, switch off: passed through", false, false, Bytes, 0, None, ZIP_OK, TheInput},
    {"zip, switch on: compressed", false, true, Bytes, 0, None, ZIP_OK, Output},
    {"zip of empty input", false, true, Empty, 0, None, ZIP_OK, Output},
    {"zip of input without data", false, true, NoData, 0, None, ZIP_OK, TheInput},
    {"zip without input", false, true, NoInput, 0, None, ZIP_NO_INPUT, Nothing},
    {"unzip, the input refused the hold", true, false, RefusesHold, 0, None, ZIP_NO_INPUT, Nothing},
    {"zip, pass-through hold refused", false, false, Bytes, 0, PassHoldRefused, ZIP_HOLD_REFUSED, Nothing},
    {"zip, zlib unreachable", false, true, Bytes, 0, ZLibUnreachable, CMN_NOT_BOUND, Nothing},
    {"zip, zlib makes no buffer", false, true, Bytes, 0, ZLibMakesNone, CMN_NOT_BOUND, Nothing},
    {"zip, factory makes no buffer", false, true, Bytes, 0, FactoryMakesNone, ZIP_NO_OUTPUT_BUFFER, Nothing},
    {"zip, peer failure passed on", false, true, Bytes, 7, None, 7, Nothing},
    {"zip, 59 from Compress is a failure", false, true, Bytes, VBUFFER_NOT_COMPRESSED, None, 59, Nothing},
    {"unzip: restored", true, false, Bytes, 0, None, ZIP_OK, Output},
    {"unzip, not compressed: passed through", true, false, Bytes, VBUFFER_NOT_COMPRESSED, None, ZIP_OK, TheInput},
    {"unzip, not compressed, hold refused", true, false, Bytes, 59, PassHoldRefused, ZIP_HOLD_REFUSED, Nothing},
    {"unzip, peer failure passed on", true, false, Bytes, 13, None, 13, Nothing},
    {"unzip, factory makes no buffer", true, false, Bytes, 0, FactoryMakesNone, ZIP_NO_OUTPUT_BUFFER, Nothing},
};

// Each case runs twice on one zip buffer (the second call first gives back
// the first one's result); every hold comes back when the zip buffer goes.
TEST_F(ZipModule, ZipAndUnzipOutcomes) {
    for (Case const& c : kCases) {
        SCOPED_TRACE(c.what);
        writeSwitchFile(c.on ? "Compress = 1\n" : "Compress = 0\n");
        zlib->script = {c.unzip ? 0 : c.peer, c.unzip ? c.peer : 0, "out"};
        zlib->refuse = c.trouble == ZLibMakesNone;
        mgr.offer(CMN_ZLibID, c.trouble == ZLibUnreachable ? nullptr : zlib);
        buffers->refuseFrom = c.trouble == FactoryMakesNone ? buffers->calls.load() : -1;
        FakeBuf* in = new FakeBuf(c.in == Empty ? "" : "abc");
        in->hasData = c.in != NoData;
        in->acquiresLeft = c.in == RefusesHold ? 0 : c.trouble == PassHoldRefused ? 1 : 1 << 30;
        {
            CMN_GRefPtr<TZipBuffer_Interface> zb(zip()->createTZipBuffer(c.in == NoInput ? nullptr : in));
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(c.unzip ? zb.get()->UnzipTBuf() : zb.get()->ZipTBuf(), c.code);
                TBuf* r = zb.get()->GetResultTBuf();
                EXPECT_EQ(r == nullptr ? Nothing : r == in ? TheInput : Output, c.result);
                EXPECT_EQ(c.result == Output ? FakeBuf::contentOf(r) : "out", "out");
                EXPECT_EQ(in->holds, 1 + (c.in < NoInput) + (c.result == TheInput));
                EXPECT_EQ(liveDoubles, 3 + (c.result == Output)) << "peers, input and result only";
            }
            EXPECT_EQ(c.result == Output ? zlib->lastLen.load() : in->len(), in->len()) << "the whole input";
        }
        EXPECT_EQ(in->holds, 1);
        in->release();
    }
}

// The service object answers to "ZIP" alone and is held by TZipS alone.
// TZipBuffer finds it through a TZip that is gone by the end of its
// constructor, holds the only reference to its zip buffer, and hands out
// independent copies of the result; cut loose, it answers 40 or null.
TEST_F(ZipModule, ServiceAndClientStubs) {
    EXPECT_EQ(service->getService(TstringID("ZIP")), static_cast<CMN_GuardedRef*>(zip()));
    EXPECT_EQ(service->getService(TstringID("zip")), nullptr);
    writeSwitchFile("Compress=1\n");
    zlib->script = {0, 21, "987"};
    FakeBuf* in = new FakeBuf("abc");
    {
        TZipBuffer zb(in);
        EXPECT_EQ(zb.holder.get()->references(), 1);
        EXPECT_EQ(zip()->references(), 1) << "the service is held by TZipS alone";
        EXPECT_EQ(zb.UnzipTBuf(), 21u);
        EXPECT_EQ(zb.ZipTBuf(), ZIP_OK);
        TBuf* const inner = zb.holder.get()->GetResultTBuf();
        TBuf* copies[] = {zb.GetResultTBuf(), zb.GetResultTBuf()};
        EXPECT_EQ(liveDoubles, 6) << "peers, input, result, two copies: no intermediate left";
        for (TBuf* c : copies) {
            EXPECT_EQ(FakeBuf::contentOf(c), "987");
            EXPECT_EQ(c->references(), 1) << "one hold, no holder";
            c->release();
        }
        CMN_GRefPtr<TZipBufferImpl> copy(new TZipBufferImpl(*zb.holder.get()));  // shares no buffer
        EXPECT_TRUE(copy.get()->input != in && copy.get()->result != inner);
        EXPECT_EQ(FakeBuf::contentOf(copy.get()->input) + FakeBuf::contentOf(copy.get()->result), "abc987");
        copy.replacePointee(nullptr);
        buffers->refuseFrom = buffers->calls + 1;  // the intermediate is made, the copy refused
        EXPECT_EQ(zb.GetResultTBuf(), nullptr);
        EXPECT_EQ(liveDoubles, 4);
        zb.holder.replacePointee(nullptr);  // what the module's unload does
        EXPECT_EQ(zb.ZipTBuf() + zb.UnzipTBuf(), 80u);
        mgr.offer(TZipID, nullptr);
        EXPECT_FALSE(TZipBuffer(in).isBound());
    }
    EXPECT_EQ(in->holds, 1);
    in->release();
}

}  // namespace
