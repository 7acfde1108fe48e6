// The byte-buffer client against a peer whose factory calls back into the
// module: it unbinds the stub, destroys the last aBuf or builds a new one from
// inside a factory call, on the binding call or on a bound one, on the calling
// thread or while another thread unbinds. No case may wait on another, and
// the service must outlive every factory call that runs on it. A case that
// hangs fails by name (Watchdog) instead of stalling the run.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tests/support/doubles.h"

namespace {

unsigned char const kByte = 7;

// Ends the process, naming the running case, when the case has not finished
// within the limit: a deadlock or a spin fails here instead of stalling ctest.
class Watchdog {
public:
    Watchdog() : watcher([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m);
            done = true;
        }
        cv.notify_one();
        watcher.join();
    }

private:
    void watch() {
        auto const* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(20), [this] { return done; })) {
            std::fprintf(stderr, "%s.%s: hung (still running after 20 s)\n", test->test_suite_name(), test->name());
            std::_Exit(1);
        }
    }

    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watcher;
};

// A one-shot signal between two threads.
struct Gate {
    std::atomic<bool> open{false};
    void pass() { open = true; }
    void await() const {
        while (!open) std::this_thread::yield();
    }
};

// The byte-buffer service of a peer that calls back: createTBuf(data, len)
// runs `during` inside the call. Nobody but the stubs that bind to it holds
// it, so the stub's release can destroy it; it records whether that happened
// while a factory call was still running.
struct CallingBack final : Fake<X509CmnSrv_I> {
    static inline std::atomic<int> running{0};
    static inline std::atomic<bool> died{false};
    static inline std::atomic<bool> diedInCall{false};

    CallingBack() { died = diedInCall = false; }
    ~CallingBack() override {
        diedInCall = diedInCall || running > 0;
        died = true;
        onDestroy();
    }
    TBuf* createTBuf() override { return new FakeBuf(""); }
    TBuf* createTBuf(char const* s) override { return new FakeBuf(s); }
    TBuf* createTBuf(TBuf*) override { return nullptr; }
    TBuf* createTBuf(unsigned char const* d, unsigned int n) override {
        ++running;
        during();
        --running;
        return new FakeBuf(std::string(d, d + n));
    }

    std::function<void()> during = [] {};
    std::function<void()> onDestroy = [] {};
};

struct ByteBufferClient : PeersTest {
    ByteBufferClient() { mgr.offer(X509CmnSrvID, peer); }
    // The first factory call of the stub, binding it; the peer now lives by
    // the stub's reference alone.
    void bindByACall() {
        createTBuf(&kByte, 1)->release();
        ASSERT_EQ(theX509Cmn.holder.get(), peer);
        ASSERT_EQ(peer->references(), 1);
    }
    // A factory call that must keep the peer alive to its end, and the peer's
    // release when the stub's reference was the last one.
    void callAndExpectReleaseAfterIt() {
        TBuf* made = createTBuf(&kByte, 1);
        ASSERT_NE(made, nullptr);
        made->release();
        EXPECT_TRUE(CallingBack::died) << "the stub's reference, the last one, is released";
        EXPECT_FALSE(CallingBack::diedInCall) << "the service died while its factory call ran";
        EXPECT_EQ(theX509Cmn.holder.get(), nullptr);
    }

    Watchdog watchdog;
    CallingBack* const peer = new CallingBack;
};

// The unbinding runs inside the very call it would wait for: it completes at
// once, and the call releases the service on its way out.
TEST_F(ByteBufferClient, FactoryUnbindsTheStubInsideABoundCall) {
    bindByACall();
    peer->during = [] { x509cmn_fini(); };
    callAndExpectReleaseAfterIt();
}

TEST_F(ByteBufferClient, FactoryDestroysTheLastABufInsideABoundCall) {
    auto* last = new aBuf;  // binds: use count 1
    peer->during = [&] { delete last; };
    ASSERT_EQ(theX509Cmn.useCount, 1);
    callAndExpectReleaseAfterIt();
    EXPECT_EQ(theX509Cmn.useCount, 0);
}

// The stub's last reference is released after its mutex is left: a service
// whose teardown builds an aBuf (which takes that mutex) does not hang.
TEST_F(ByteBufferClient, ServiceTornDownByTheLastABufBuildsAnABuf) {
    auto* last = new aBuf;
    mgr.offer(X509CmnSrvID, nullptr);
    bool built = false;
    peer->onDestroy = [&] { built = !aBuf().isBound(); };
    delete last;
    EXPECT_TRUE(CallingBack::died && built);
}

// The binding call runs the factory after the stub's mutex is left: an aBuf
// built inside it takes that mutex again.
TEST_F(ByteBufferClient, FactoryBuildsAnABufInsideTheBindingCall) {
    bool bound = false;
    peer->during = [&] { bound = aBuf("inner").isBound(); };
    TBuf* made = createTBuf(&kByte, 1);
    ASSERT_NE(made, nullptr);
    made->release();
    EXPECT_TRUE(bound);
    EXPECT_EQ(theX509Cmn.useCount, 0);
    EXPECT_EQ(theX509Cmn.holder.get(), nullptr) << "the inner aBuf was the stub's only user";
}

// Another thread unbinds the stub while a factory call runs, on the bound
// path and on the binding one: the unbinding returns without waiting, and
// the service goes only when the call has returned.
TEST_F(ByteBufferClient, UnbindingOnAnotherThreadDuringAFactoryCall) {
    enum Path { kBound, kBinding };
    enum Unbind { kFini, kLastABuf };
    for (Path path : {kBound, kBinding})
        for (Unbind unbind : {kFini, kLastABuf}) {
            SCOPED_TRACE(testing::Message() << (path == kBound ? "bound call, " : "binding call, ")
                                            << (unbind == kFini ? "x509cmn_fini" : "last aBuf destroyed"));
            mgr.offer(X509CmnSrvID, nullptr);
            x509cmn_fini();
            aBuf* last = unbind == kLastABuf ? new aBuf : nullptr;  // unbound, use count 1
            auto* fresh = new CallingBack;
            mgr.offer(X509CmnSrvID, fresh);
            if (path == kBound) createTBuf()->release();
            Gate inside, unbound;
            fresh->during = [&] { inside.pass(), unbound.await(); };
            std::thread caller([] { createTBuf(&kByte, 1)->release(); });
            inside.await();
            mgr.offer(X509CmnSrvID, nullptr);  // the stub's reference is the last one
            if (last != nullptr)
                delete last;
            else
                x509cmn_fini();
            EXPECT_FALSE(CallingBack::died) << "released while its factory call ran";
            unbound.pass();
            caller.join();
            EXPECT_TRUE(CallingBack::died && !CallingBack::diedInCall);
        }
    mgr.offer(X509CmnSrvID, peer);
    bindByACall();
}

// One thread destroys the last aBuf while another thread's factory call
// builds an aBuf: neither waits for the other, and the new aBuf binds again.
TEST_F(ByteBufferClient, LastABufGoesWhileAFactoryCallBuildsOne) {
    auto* last = new aBuf;
    Gate inside, destroyed;
    bool innerBound = false;
    peer->during = [&] {
        inside.pass();
        destroyed.await();
        innerBound = aBuf("inner").isBound();
    };
    std::thread caller([] { createTBuf(&kByte, 1)->release(); });
    inside.await();
    delete last;
    destroyed.pass();
    caller.join();
    EXPECT_TRUE(innerBound);
    EXPECT_TRUE(CallingBack::died && !CallingBack::diedInCall);
}

// While a call keeps a retired service alive, the stub binds again, to the
// same service and then to another, and the service's module cuts one of our
// retired holders loose: every count stays equal to the holders listed, and
// each reference is released exactly once, after the call.
TEST_F(ByteBufferClient, DeferredReleaseMeetsRebindingAndCuttingLoose) {
    bindByACall();
    auto* other = new CallingBack;
    CMN_GRefPtr<CallingBack> otherHold(other);
    peer->during = [&] {
        x509cmn_fini();  // the stub's reference on peer is retired
        x509cmn_init();  // and peer bound again
        EXPECT_EQ(theX509Cmn.holder.get(), peer);
        mgr.offer(X509CmnSrvID, other);
        x509cmn_init();  // the second reference retired too, other bound
        EXPECT_EQ(theX509Cmn.holder.get(), other);
        EXPECT_TRUE(peer->references() == 2 && peer->holders.count == 2u);
        peer->lockHolderList();  // as a registry walk of the peer's module
        peer->holders.head->item->replacePointee(nullptr);
        peer->unlockHolderList();
        EXPECT_TRUE(peer->references() == 1 && peer->holders.count == 1u);
    };
    createTBuf(&kByte, 1)->release();
    EXPECT_TRUE(CallingBack::died && !CallingBack::diedInCall);
    EXPECT_TRUE(other->references() == 2 && other->holders.count == 2u) << "the stub's and the test's";
    x509cmn_fini();
    EXPECT_EQ(other->references(), 1);
}

}  // namespace
