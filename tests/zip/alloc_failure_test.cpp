// Allocation failure at every step of the module: whichever allocation fails,
// std::bad_alloc reaches the caller and nothing is lost or left behind (no
// buffer without its holder, no hold kept, nothing extra in the registry).
#include <new>

#include "tests/support/failing_allocator.h"

#include "zipC.h"
#include "tests/zip/module_fixture.h"
#include "zip_impl.h"
#include "zip_module.h"

namespace {

int registered() { return static_cast<int>(RegisteredObjects().size()); }

using AllocationFailure = ZipModule;

TEST_F(AllocationFailure, LoadCallLeavesNothingHalfBuilt) {
    int const others = registered() - 1;  // the fakes
    int failures = SweepAllocationFailures([this] { GetInterfaceClass(&mgr, 0); },
                                           [&] {
                                               // At most the service TZipS holds.
                                               bool const held = TZipS.isBound();
                                               EXPECT_EQ(registered(), others + (held ? 1 : 0));
                                               if (held) {
                                                   EXPECT_EQ(TZipS.holder.get()->references(), 1);
                                               }
                                           });
    EXPECT_GT(failures, 0);
    offerService(TZipS.holder.get());
}

TEST_F(AllocationFailure, ZipAndUnzipThroughTheClientStubLoseNothing) {
    compressionOn();
    FakeBuf* in = new FakeBuf({'z', 'i', 'p'});
    int const before = registered();
    int failures = SweepAllocationFailures(
        [&] {
            TZipBuffer stub(in);
            for (unsigned int code : {stub.ZipTBuf(), stub.UnzipTBuf()})
                if (code != ZIP_OK) throw std::bad_alloc();  // a failed lookup of a peer
            if (TBuf* out = stub.GetResultTBuf()) out->release();
        },
        [&] {
            EXPECT_EQ(FakeBuf::live, 1);
            EXPECT_EQ(FakeVBuf::live, 0);
            EXPECT_EQ(in->holds, 1);
            EXPECT_EQ(registered(), before);
        });
    EXPECT_GT(failures, 3);
    in->release();
}

TEST_F(AllocationFailure, CopyLosesNothing) {
    compressionOn();
    FakeBuf* in = new FakeBuf({'z', 'i', 'p'});
    {
        CMN_GRefPtr<TZipBuffer_Interface> source(static_cast<TZip_Interface*>(service)->createTZipBuffer(in));
        ASSERT_EQ(source.get()->ZipTBuf(), ZIP_OK);
        int const before = registered();
        SweepAllocationFailures(
            [&] {
                // Made unclaimed, as by createTZipBuffer: its maker deletes it
                // when the first hold cannot be taken.
                auto* copy = new TZipBufferImpl(*source.get());
                try {
                    CMN_GRefPtr<TZipBufferImpl> first(copy);
                } catch (...) {
                    delete copy;
                    throw;
                }
            },
            [&] {
                EXPECT_EQ(FakeBuf::live, 2);
                EXPECT_EQ(registered(), before);
            });
    }
    in->release();
}

}  // namespace
