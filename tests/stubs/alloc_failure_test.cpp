// Allocation failure in every step of the clients: whichever allocation fails,
// the failure reaches the caller as std::bad_alloc and nothing is left behind
// (no fake alive, no hold, no reference, nothing in the registry).
#include <cstdlib>
#include <new>

#include "stubs/s_zlibC.h"
#include "stubs/zipC.h"
#include "tests/stubs/client_fixture.h"

// The replacement pair below is malloc/free underneath, which GCC cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// Armed (>= 0): the allocation that finds it at 0 fails, once.
std::atomic<long> failIn{-1};

}  // namespace

// The test binary's allocator; exported so that every library of the process
// allocates through it.
__attribute__((visibility("default"))) void* operator new(std::size_t n) {
    if (failIn.load(std::memory_order_relaxed) >= 0 && failIn.fetch_sub(1) == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((visibility("default"))) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((visibility("default"))) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using fakes::Buf;
using fakes::BufService;
using fakes::ZBuffer;
using fakes::ZipBuffer;
using fakes::ZipService;
using fakes::ZLibService;

class AllocationFailureTest : public ClientTest {
protected:
    // Runs `step` failing its 0th, 1st, ... allocation until it completes;
    // after every run `clean` must hold. Returns the number of failures met.
    template <class Step, class Clean>
    int failEachAllocation(Step step, Clean clean) {
        int failures = 0;
        for (long n = 0; n < 1000; ++n) {
            bool failed = false;
            failIn = n;
            try {
                step();
            } catch (std::bad_alloc const&) {
                failed = true;
            }
            failIn = -1;
            clean();
            if (!failed) return failures;
            ++failures;
        }
        ADD_FAILURE() << "never completed";
        return failures;
    }
};

unsigned char const kBytes[] = {'z', 'i', 'p'};

TEST_F(AllocationFailureTest, TZipBufferAndItsResultLoseNothing) {
    auto& zip = install<ZipService>(TZipID);
    auto& buffers = install<BufService>(X509CmnSrvID);
    Buf* in = Buf::make("input");
    Buf* result = Buf::make("result");
    zip->result = result;
    int failures = failEachAllocation(
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
    int failures = failEachAllocation([&] { VBuffer v(kBytes, 3); },
                                      [&] {
                                          EXPECT_EQ(ZBuffer::live, 0);
                                          EXPECT_EQ(fakes::refs(zlib.guarded()), 1);
                                      });
    EXPECT_GE(failures, 2);
}

TEST_F(AllocationFailureTest, ABufLosesNothing) {
    install<BufService>(X509CmnSrvID);
    int failures = failEachAllocation(
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
