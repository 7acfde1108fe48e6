// The byte-buffer service stays alive through a factory call, even when the
// stub's only hold on it goes meanwhile on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cmn_abuf.h"
#include "tests/support/doubles.h"

namespace {

// A factory whose createTBuf(data, len) waits until it is let go, and which
// records whether it was destroyed while such a call was still running.
class SlowFactory final : public X509CmnSrv_I {
public:
    static inline std::atomic<bool> callRunning{false};
    static inline std::atomic<bool> letGo{false};
    static inline std::atomic<bool> diedInCall{false};
    static inline std::atomic<bool> died{false};

    ~SlowFactory() override {
        diedInCall = callRunning.load();
        died = true;
    }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    TBuf* createTBuf() override { return nullptr; }
    TBuf* createTBuf(char const*) override { return nullptr; }
    TBuf* createTBuf(TBuf*) override { return nullptr; }
    TBuf* createTBuf(unsigned char const*, unsigned int) override {
        callRunning = true;
        while (!letGo) std::this_thread::yield();
        callRunning = false;
        return nullptr;
    }
};

TEST(ByteBufferClient, ServiceOutlivesAFactoryCallWhoseStubLetsGo) {
    FakeModMgr mgr;
    ScopedModMgr scoped(&mgr);
    mgr.offer(X509CmnSrvID, new SlowFactory);  // held by nobody yet
    x509cmn_fini();
    auto* owner = new aBuf;  // binds theX509Cmn: the service's only hold
    ASSERT_NE(theX509Cmn.holder.get(), nullptr);
    mgr.offer(X509CmnSrvID, nullptr);  // from now on held by the stub alone

    unsigned char const byte = 7;
    std::thread caller([&] { createTBuf(&byte, 1); });
    while (!SlowFactory::callRunning) std::this_thread::yield();
    std::thread unbinder([&] { delete owner; });  // use count 1 -> 0: lets go
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(SlowFactory::died) << "the service died while its factory ran";
    SlowFactory::letGo = true;
    caller.join();
    unbinder.join();
    EXPECT_TRUE(SlowFactory::died) << "the stub's hold was the last one";
    EXPECT_FALSE(SlowFactory::diedInCall);
    EXPECT_EQ(theX509Cmn.holder.get(), nullptr);
}

}  // namespace
