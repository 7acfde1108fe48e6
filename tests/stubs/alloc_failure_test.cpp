// Allocation failure in every step of the clients: whichever allocation fails,
// the failure reaches the caller as std::bad_alloc and nothing is left behind
// (no fake alive, no hold, no reference, nothing in the registry).
#include <new>

#include "tests/support/failing_allocator.h"

#include "s_zlibC.h"
#include "zipC.h"
#include "tests/stubs/client_fixture.h"

namespace {

using AllocationFailureTest = ClientTest;

unsigned char const kBytes[] = {'z', 'i', 'p'};

TEST_F(AllocationFailureTest, TZipBufferAndItsResultLoseNothing) {
    auto& zip = install<FakeZipService>(TZipID);
    auto& buffers = install<FakeBufFactory>(X509CmnSrvID);
    FakeBuf* in = FakeBuf::of("input");
    FakeBuf* result = FakeBuf::of("result");
    zip->result = result;
    int failures = SweepAllocationFailures(
        [&] {
            TZipBuffer stub(in);
            if (TBuf* out = stub.GetResultTBuf()) out->release();
        },
        [&] {
            EXPECT_EQ(FakeZipBuffer::live, 0);
            EXPECT_EQ(FakeBuf::live, 2);
            EXPECT_EQ(in->holds, 1);
            EXPECT_EQ(in->holderRefs(), 0);
            EXPECT_EQ(result->holderRefs(), 0);
            EXPECT_EQ(zip.guarded()->references(), 1);
            EXPECT_EQ(buffers.guarded()->references(), 1 + (theX509Cmn.holder.pointee != nullptr));
        });
    EXPECT_GE(failures, 4);
    in->release();
    result->release();
}

TEST_F(AllocationFailureTest, VBufferLosesNothing) {
    auto& zlib = install<FakeZLib>(CMN_ZLibID);
    int failures = SweepAllocationFailures([&] { VBuffer v(kBytes, 3); },
                                           [&] {
                                               EXPECT_EQ(FakeVBuf::live, 0);
                                               EXPECT_EQ(zlib.guarded()->references(), 1);
                                           });
    EXPECT_GE(failures, 2);
}

TEST_F(AllocationFailureTest, ABufLosesNothing) {
    install<FakeBufFactory>(X509CmnSrvID);
    int failures = SweepAllocationFailures(
        [&] {
            aBuf w("text");
            aBuf v(kBytes, 3);
        },
        [&] {
            EXPECT_EQ(FakeBuf::live, 0);
            EXPECT_EQ(theX509Cmn.useCount, 0);
        });
    EXPECT_GE(failures, 4);
}

}  // namespace
