// The zip buffer: its result codes, its holds on the input and the result,
// and the client stub end to end (TZipBuffer -> TZipImpl -> TZipBufferImpl ->
// fake peers).
#include <thread>
#include <vector>

#include "zipC.h"
#include "tests/zip/module_fixture.h"
#include "zip_impl.h"
#include "zip_module.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The test's own hold on an input buffer, given back at the end of the test.
struct Input {
    explicit Input(FakeBuf* b) : buf(b) {}
    explicit Input(Bytes bytes = {'a', 'b', 'c'}) : buf(new FakeBuf(std::move(bytes))) {}
    ~Input() { buf->release(); }
    FakeBuf* operator->() const { return buf; }
    FakeBuf* buf;
};

Bytes bytesOf(TBuf* b) {
    unsigned char const* d = b->datap();
    return d != nullptr ? Bytes(d, d + b->len()) : Bytes();
}

class ZipBuffer : public ZipModule {
protected:
    // A zip buffer made by the service over `in`, held by the returned holder.
    CMN_GRefPtr<TZipBuffer_Interface> over(TBuf* in) {
        return CMN_GRefPtr<TZipBuffer_Interface>(static_cast<TZip_Interface*>(service)->createTZipBuffer(in));
    }
};

TEST_F(ZipBuffer, WithoutInputEveryOperationAnswers4) {
    Input refusing;
    refusing->acquiresLeft = 0;
    for (TBuf* in : {static_cast<TBuf*>(refusing.buf), static_cast<TBuf*>(nullptr)}) {
        compressionOn();
        auto zb = over(in);
        EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_NO_INPUT);
        EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_NO_INPUT);
        EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    }
    EXPECT_EQ(refusing->holds, 1);
    EXPECT_EQ(zlib->asked, 0);
}

TEST_F(ZipBuffer, SwitchOffPassesTheInputItselfThrough) {
    Input in;
    {
        auto zb = over(in.buf);
        EXPECT_EQ(in->holds, 2);
        for (int i = 0; i < 2; ++i) {  // the earlier result is given back first
            EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
            EXPECT_EQ(zb.get()->GetResultTBuf(), in.buf);
            EXPECT_EQ(in->holds, 3);
        }
        in->acquiresLeft = 0;  // the pass-through's hold is refused
        EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_HOLD_REFUSED);
        EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
        EXPECT_EQ(in->holds, 2);
    }
    EXPECT_EQ(in->holds, 1);  // both holds given back with the zip buffer
    EXPECT_EQ(zlib->asked, 0);
}

TEST_F(ZipBuffer, SwitchOnCompressesIntoANewBufferAndIsReadAtEveryCall) {
    zlib->script.output = {1, 2};
    Input in;
    auto zb = over(in.buf);
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    EXPECT_EQ(zb.get()->GetResultTBuf(), in.buf);
    compressionOn();
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    TBuf* result = zb.get()->GetResultTBuf();
    ASSERT_NE(result, nullptr);
    EXPECT_NE(result, in.buf);
    EXPECT_EQ(bytesOf(result), (Bytes{1, 2}));
    EXPECT_EQ(zlib->lastData, in->datap());
    EXPECT_EQ(zlib->lastLen, 3u);
    EXPECT_EQ(FakeVBuf::live, 0);
    EXPECT_EQ(in->holds, 2) << "the pass-through result's hold was given back";
    EXPECT_EQ(mgr.lastAsking.load(), GetModuleID());
    config.write("s_zip.ini", "Compress=0\n");
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    EXPECT_EQ(zb.get()->GetResultTBuf(), in.buf);
}

TEST_F(ZipBuffer, UnzipRestoresOrPassesUncompressedInputThrough) {
    zlib->script.output = {'p', 'l', 'a', 'i', 'n'};
    Input in;
    auto zb = over(in.buf);
    EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_OK);
    EXPECT_EQ(bytesOf(zb.get()->GetResultTBuf()), (Bytes{'p', 'l', 'a', 'i', 'n'}));

    zlib->script.decompressCode = VBUFFER_NOT_COMPRESSED;
    EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_OK);
    EXPECT_EQ(zb.get()->GetResultTBuf(), in.buf);
    EXPECT_EQ(in->holds, 3);
    in->acquiresLeft = 0;
    EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_HOLD_REFUSED);
    EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    EXPECT_EQ(in->holds, 2);
    EXPECT_EQ(FakeVBuf::live, 0);
}

TEST_F(ZipBuffer, InputWithoutDataIsPassedThroughWithoutTheZlibService) {
    compressionOn();
    Input in(FakeBuf::withoutData());
    auto zb = over(in.buf);
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    EXPECT_EQ(zb.get()->GetResultTBuf(), in.buf);
    EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_OK);
    EXPECT_EQ(zb.get()->GetResultTBuf(), in.buf);
    EXPECT_EQ(zlib->asked, 0);
    in->acquiresLeft = 0;
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_HOLD_REFUSED);
    EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_HOLD_REFUSED);
    EXPECT_EQ(in->holds, 2);
}

TEST_F(ZipBuffer, PeerFailureCodesPassUnchanged) {
    compressionOn();
    Input in;
    auto zb = over(in.buf);
    for (int code : {7, 13, -3, static_cast<int>(VBUFFER_NOT_COMPRESSED)}) {
        zlib->script.compressCode = code;  // 59 from Compress() is just a failure
        EXPECT_EQ(zb.get()->ZipTBuf(), static_cast<unsigned int>(code));
        EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    }
    for (int code : {7, 13, -3, static_cast<int>(CMN_NOT_BOUND)}) {
        zlib->script.decompressCode = code;
        EXPECT_EQ(zb.get()->UnzipTBuf(), static_cast<unsigned int>(code));
        EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    }
    EXPECT_EQ(factory->made[FakeBufFactory::FromBytes], 0);
    EXPECT_EQ(FakeVBuf::live, 0);
}

TEST_F(ZipBuffer, WithoutACompressionBufferAnswers40) {
    Input in;
    auto zb = over(in.buf);
    mgr.withdraw(CMN_ZLibID);  // the service is unreachable
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);  // off: no need of it
    compressionOn();
    EXPECT_EQ(zb.get()->ZipTBuf(), CMN_NOT_BOUND);
    EXPECT_EQ(zb.get()->UnzipTBuf(), CMN_NOT_BOUND);
    zlib.offerAgain();
    zlib->refuse = true;  // reachable, but makes no buffer
    EXPECT_EQ(zb.get()->ZipTBuf(), CMN_NOT_BOUND);
    EXPECT_EQ(zb.get()->UnzipTBuf(), CMN_NOT_BOUND);
    EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    EXPECT_EQ(in->holds, 2);
}

TEST_F(ZipBuffer, FactoryWithoutBufferAnswers1) {
    compressionOn();
    factory->refuseFrom = 0;
    Input in;
    auto zb = over(in.buf);
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_NO_OUTPUT_BUFFER);
    EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    EXPECT_EQ(zb.get()->UnzipTBuf(), ZIP_NO_OUTPUT_BUFFER);
    EXPECT_EQ(FakeVBuf::live, 0);
}

TEST_F(ZipBuffer, AFailedCallHasGivenBackTheEarlierResult) {
    compressionOn();
    Input in;
    auto zb = over(in.buf);
    ASSERT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    EXPECT_EQ(FakeBuf::live, 2);
    zlib->script.compressCode = 5;
    EXPECT_EQ(zb.get()->ZipTBuf(), 5u);
    EXPECT_EQ(zb.get()->GetResultTBuf(), nullptr);
    EXPECT_EQ(FakeBuf::live, 1);

    config.remove("s_zip.ini");  // a pass-through result, then a failure
    ASSERT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    EXPECT_EQ(in->holds, 3);
    zlib->script.decompressCode = 6;
    EXPECT_EQ(zb.get()->UnzipTBuf(), 6u);
    EXPECT_EQ(in->holds, 2);
}

TEST_F(ZipBuffer, EmptyInputAndEmptyOutputStillGoToThePeers) {
    compressionOn();
    zlib->script.output.clear();
    Input in(Bytes{});
    auto zb = over(in.buf);
    EXPECT_EQ(zb.get()->ZipTBuf(), ZIP_OK);
    EXPECT_EQ(zlib->asked, 1);
    EXPECT_EQ(zlib->lastLen, 0u);
    EXPECT_EQ(factory->lastLen, 0u);
    ASSERT_NE(zb.get()->GetResultTBuf(), nullptr);
    EXPECT_NE(zb.get()->GetResultTBuf(), in.buf);
}

TEST_F(ZipBuffer, ACopySharesNoBufferWithItsSource) {
    compressionOn();
    Input in;
    auto source = over(in.buf);
    ASSERT_EQ(source.get()->ZipTBuf(), ZIP_OK);
    {
        CMN_GRefPtr<TZipBufferImpl> copy(new TZipBufferImpl(*source.get()));
        EXPECT_EQ(copy.get()->references(), 1);
        EXPECT_EQ(copy.get()->holders.count, 1u);
        ASSERT_NE(copy.get()->input, nullptr);
        EXPECT_NE(copy.get()->input, in.buf);
        EXPECT_EQ(bytesOf(copy.get()->input), bytesOf(in.buf));
        ASSERT_NE(copy.get()->result, nullptr);
        EXPECT_NE(copy.get()->result, source.get()->GetResultTBuf());
        EXPECT_EQ(bytesOf(copy.get()->result), bytesOf(source.get()->GetResultTBuf()));
        EXPECT_EQ(FakeBuf::live, 4);
    }
    EXPECT_EQ(FakeBuf::live, 2);

    auto inputless = over(nullptr);  // the factory is handed the null input
    CMN_GRefPtr<TZipBufferImpl> copy(new TZipBufferImpl(*inputless.get()));
    EXPECT_EQ(copy.get()->input, nullptr);
    EXPECT_EQ(copy.get()->result, nullptr);
    EXPECT_EQ(copy.get()->ZipTBuf(), ZIP_NO_INPUT);
}

// ---- through the client stub -----------------------------------------------

TEST_F(ZipBuffer, ClientStubGetsItsOwnCopyOfEveryResult) {
    compressionOn();
    zlib->script.output = {9, 8, 7};
    Input in;
    TZipBuffer zb(in.buf);
    ASSERT_TRUE(zb.isBound());
    EXPECT_EQ(zb.holder.get()->references(), 1);
    EXPECT_EQ(static_cast<TZip_Interface*>(service)->references(), 1);  // only TZipS
    EXPECT_EQ(zb.ZipTBuf(), ZIP_OK);
    TBuf* inner = zb.holder.get()->GetResultTBuf();
    TBuf* first = zb.GetResultTBuf();
    TBuf* second = zb.GetResultTBuf();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first, inner);
    EXPECT_EQ(bytesOf(first), (Bytes{9, 8, 7}));
    EXPECT_EQ(zb.holder.get()->GetResultTBuf(), inner);
    first->release();
    second->release();

    zlib->script.decompressCode = 21;
    EXPECT_EQ(zb.UnzipTBuf(), 21u);
    EXPECT_EQ(zb.GetResultTBuf(), nullptr);
}

TEST_F(ZipBuffer, ClientStubCutLooseAnswers40) {
    Input in;
    TZipBuffer zb(in.buf);
    ASSERT_EQ(zb.ZipTBuf(), ZIP_OK);
    EXPECT_EQ(in->holds, 3);
    ObjectManager.fini();  // the module cuts every holder loose
    EXPECT_EQ(in->holds, 1);  // the zip buffer went with its last holder
    EXPECT_EQ(zb.ZipTBuf(), CMN_NOT_BOUND);
    EXPECT_EQ(zb.UnzipTBuf(), CMN_NOT_BOUND);
    EXPECT_EQ(zb.GetResultTBuf(), nullptr);
}

// Distinct zip buffers work in parallel; the byte-buffer service stub binds
// once under its own lock.
TEST_F(ZipBuffer, DistinctZipBuffersOnDistinctThreads) {
    compressionOn();
    x509cmn_fini();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&failures] {
            for (int i = 0; i < 50; ++i) {
                Input in(Bytes(static_cast<size_t>(i), 'z'));
                TZipBuffer zb(in.buf);
                if (zb.ZipTBuf() != ZIP_OK || zb.UnzipTBuf() != ZIP_OK) ++failures;
                if (TBuf* copy = zb.GetResultTBuf()) copy->release();
                else ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(zlib->asked, 400);
}

}  // namespace
