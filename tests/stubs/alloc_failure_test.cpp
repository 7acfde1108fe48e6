// Allocation failure in every step of the clients: whichever allocation fails,
// the failure reaches the caller as std::bad_alloc and nothing is left behind
// (no fake alive, no hold, no reference, nothing in the registry).
#include <new>

#include "tests/support/failing_allocator.h"

#include "stubs/s_zlibC.h"
#include "stubs/zipC.h"
#include "tests/stubs/client_fixture.h"

namespace {

using fakes::Buf;
using fakes::BufService;
using fakes::ZBuffer;
using fakes::ZipBuffer;
using fakes::ZipService;
using fakes::ZLibService;

using AllocationFailureTest = ClientTest;

unsigned char const kBytes[] = {'z', 'i', 'p'};

TEST_F(AllocationFailureTest, TZipBufferAndItsResultLoseNothing) {
    auto& zip = install<ZipService>(TZipID);
    auto& buffers = install<BufService>(X509CmnSrvID);
    Buf* in = Buf::make("input");
    Buf* result = Buf::make("result");
    zip->result = result;
    int failures = SweepAllocationFailures(
        [&] {
            TZipBuffer stub(in);
            if (TBuf* out = stub.GetResultTBuf()) out->release();
        },
        [&] {
            EXPECT_EQ(ZipBuffer::live, 0);
            EXPECT_EQ(Buf::live, 2);
            EXPECT_EQ(in->holds, 1);
            EXPECT_EQ(in->holderRefs(), 0);
            EXPECT_EQ(result->holderRefs(), 0);
            EXPECT_EQ(fakes::refs(zip.guarded()), 1);
            EXPECT_EQ(fakes::refs(buffers.guarded()), 1 + (theX509Cmn.holder.pointee != nullptr));
        });
    EXPECT_GE(failures, 4);
    in->release();
    result->release();
}

TEST_F(AllocationFailureTest, VBufferLosesNothing) {
    auto& zlib = install<ZLibService>(CMN_ZLibID);
    int failures = SweepAllocationFailures([&] { VBuffer v(kBytes, 3); },
                                           [&] {
                                               EXPECT_EQ(ZBuffer::live, 0);
                                               EXPECT_EQ(fakes::refs(zlib.guarded()), 1);
                                           });
    EXPECT_GE(failures, 2);
}

TEST_F(AllocationFailureTest, ABufLosesNothing) {
    install<BufService>(X509CmnSrvID);
    int failures = SweepAllocationFailures(
        [&] {
            aBuf w("text");
            aBuf v(kBytes, 3);
        },
        [&] {
            EXPECT_EQ(Buf::live, 0);
            EXPECT_EQ(theX509Cmn.useCount, 0);
        });
    EXPECT_GE(failures, 4);
}

}  // namespace
