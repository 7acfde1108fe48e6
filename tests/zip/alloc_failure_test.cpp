// Allocation failure at every step of the module and of the clients:
// whichever allocation fails, std::bad_alloc reaches the caller and nothing
// is lost or left behind (no hold kept, no double alive, nothing registered).
#include "tests/support/failing_allocator.h"
#include "tests/zip/zip_fixture.h"

namespace {

using AllocationFailure = ZipModule;

TEST_F(AllocationFailure, ClientsAndZipBuffersLoseNothing) {
    writeSwitchFile("Compress=1\n");
    FakeBuf* in = new FakeBuf("zip");
    std::size_t const before = RegisteredObjects().size();
    int const allocations = SweepAllocationFailures(
        [&] {
            aBuf w("text"), x(in->datap(), 3);
            TZipBuffer stub(in);
            for (unsigned int code : {stub.ZipTBuf(), stub.UnzipTBuf()})
                if (code != ZIP_OK) throw std::bad_alloc();  // a peer's lookup failed
            if (TBuf* out = stub.GetResultTBuf()) out->release();
            CMN_GRefPtr<TZipBufferImpl> copy = CMN_ClaimNew(new TZipBufferImpl(*stub.holder.get()));
        },
        [&](bool) {
            EXPECT_EQ(liveDoubles, 3) << "only the peers and the input";
            EXPECT_EQ(in->holds, 1);
            EXPECT_EQ(theX509Cmn.useCount, 0);
            EXPECT_EQ(RegisteredObjects().size(), before);
        });
    // Each allocation the operation makes was failed once. The count is
    // exact, so that a sweep that stopped early and an allocation added to
    // the client's or the module's steps both show here.
    EXPECT_EQ(allocations, 10);
    in->release();
}

}  // namespace
