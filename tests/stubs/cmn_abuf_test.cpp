// The byte-buffer client: lazy binding of theX509Cmn, x509cmn_init/fini, the
// use count that aBuf objects keep, and aBuf's operation table.
#include "cmn_abuf.h"

#include <thread>

#include "tests/stubs/client_fixture.h"

namespace {

class BufferClientTest : public ClientTest {
protected:
    static bool bound() { return theX509Cmn.holder.pointee != nullptr; }
    static int uses() { return theX509Cmn.useCount; }
    static FakeBuf* held(aBuf const& w) { return static_cast<FakeBuf*>(w.holder.pointee); }
};

unsigned char const kBytes[] = {1, 2, 3};

TEST_F(BufferClientTest, CreateTBufBindsOnFirstUseWithoutCounting) {
    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    FakeBuf* empty = static_cast<FakeBuf*>(createTBuf());
    EXPECT_TRUE(bound());
    EXPECT_EQ(mgr.lookups, 1);
    EXPECT_EQ(mgr.lastAsking.load(), GetModuleID());
    EXPECT_EQ(uses(), 0);
    EXPECT_EQ(service.guarded()->references(), 2);

    FakeBuf* text = static_cast<FakeBuf*>(createTBuf("text"));
    FakeBuf* bytes = static_cast<FakeBuf*>(createTBuf(kBytes, 3));
    FakeBuf* copy = static_cast<FakeBuf*>(createTBuf(text));
    EXPECT_EQ(mgr.lookups, 1) << "bound: no further lookup";
    EXPECT_EQ(service->lastString, "text");
    EXPECT_EQ(service->lastBytes, kBytes);
    EXPECT_EQ(service->lastLen, 3u);
    EXPECT_EQ(service->lastSource, text);
    EXPECT_EQ(copy->content(), "text");
    for (FakeBuf* b : {empty, text, bytes, copy}) {
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->holds, 1);
        EXPECT_EQ(b->holderRefs(), 0);
        b->release();
    }
    EXPECT_EQ(uses(), 0);
}

TEST_F(BufferClientTest, CreateTBufGivesNullWhenUnboundOrRefused) {
    EXPECT_EQ(createTBuf(), nullptr);  // no service registered
    EXPECT_EQ(createTBuf("s"), nullptr);
    EXPECT_EQ(mgr.lookups, 2) << "a failed binding is tried again";
    ModMgr = nullptr;
    EXPECT_EQ(createTBuf(kBytes, 3), nullptr);
    EXPECT_EQ(createTBuf(static_cast<TBuf*>(nullptr)), nullptr);
    ModMgr = &mgr;

    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    service->refuseFrom = 0;
    EXPECT_EQ(createTBuf(), nullptr);
    EXPECT_TRUE(bound());
    EXPECT_EQ(service->calls(), 1);
}

TEST_F(BufferClientTest, InitBindsKeepsItsReferenceAndResetsTheCount) {
    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    EXPECT_EQ(x509cmn_init(), 0);
    EXPECT_TRUE(bound());
    EXPECT_EQ(uses(), 0);

    aBuf user;  // use count 1
    CMN_GRefPtr<X509CmnSrv_I> later(service.object);
    ASSERT_EQ(HoldersOf(service.guarded()).front(), &later);
    EXPECT_EQ(x509cmn_init(), 0);
    // Still listed behind `later`: the reference was neither released nor
    // taken again.
    auto holders = HoldersOf(service.guarded());
    ASSERT_EQ(holders.size(), 3u);
    EXPECT_EQ(holders[0], &later);
    EXPECT_EQ(holders[1], &theX509Cmn.holder);
    EXPECT_EQ(uses(), 0);
    EXPECT_EQ(theX509Cmn.holder.serviceID, &X509CmnSrvID);
}

TEST_F(BufferClientTest, InitWithoutServiceAndFiniUnbind) {
    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    x509cmn_init();
    mgr.withdrawAll();
    EXPECT_EQ(x509cmn_init(), 0);
    EXPECT_FALSE(bound());
    EXPECT_EQ(service.guarded()->references(), 1);
    EXPECT_EQ(theX509Cmn.holder.serviceID, &X509CmnSrvID);

    mgr.offer(X509CmnSrvID, service.guarded());
    x509cmn_init();
    {
        aBuf a;
        x509cmn_fini();
        EXPECT_FALSE(bound());
        EXPECT_EQ(uses(), 0);
        EXPECT_EQ(service.guarded()->references(), 1);
    }
    TBuf* b = createTBuf();  // binds again
    EXPECT_TRUE(bound());
    ASSERT_NE(b, nullptr);
    b->release();
}

TEST_F(BufferClientTest, UseCountGoesNegativeAndUnbindsOnlyOnAnExactOneToZero) {
    install<FakeBufFactory>(X509CmnSrvID);
    auto* a = new aBuf;
    auto* b = new aBuf;
    EXPECT_EQ(uses(), 2);
    x509cmn_init();  // count reset while a and b live
    EXPECT_EQ(uses(), 0);
    delete a;
    EXPECT_EQ(uses(), -1);
    EXPECT_TRUE(bound()) << "0 -> -1 does not unbind";
    {
        aBuf c;  // -1 -> 0
        EXPECT_EQ(uses(), 0);
    }  // 0 -> -1
    EXPECT_TRUE(bound());

    x509cmn_fini();
    {
        aBuf d;  // binds again: 0 -> 1
        EXPECT_TRUE(bound());
        delete b;  // 1 -> 0 unbinds, although d is alive
        EXPECT_FALSE(bound());
        EXPECT_EQ(d.len(), 0u) << "d keeps its buffer by its holder";
        EXPECT_EQ(d.error(), 0);
    }
    EXPECT_EQ(uses(), -1);
    EXPECT_FALSE(bound());
}

TEST_F(BufferClientTest, TheLastABufUnbindsAndTheNextUseBindsAgain) {
    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    {
        aBuf a;
        aBuf b("two");
        EXPECT_EQ(uses(), 2);
        EXPECT_EQ(mgr.lookups, 1);
    }
    EXPECT_EQ(uses(), 0);
    EXPECT_FALSE(bound());
    EXPECT_EQ(service.guarded()->references(), 1);
    TBuf* t = createTBuf();
    EXPECT_TRUE(bound());
    EXPECT_EQ(mgr.lookups, 2);
    t->release();
}

TEST_F(BufferClientTest, ABufThatMakesItsBufferKeepsItByItsHolderAlone) {
    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    {
        aBuf empty;
        aBuf text("text");
        aBuf bytes(kBytes, 3);
        EXPECT_EQ(service->made[FakeBufFactory::Empty], 1);
        EXPECT_EQ(service->lastString, "text");
        EXPECT_EQ(service->lastBytes, kBytes);
        EXPECT_EQ(uses(), 3);
        for (aBuf* w : {&empty, &text, &bytes}) {
            ASSERT_TRUE(w->isBound());
            EXPECT_EQ(w->error(), 0);
            EXPECT_EQ(held(*w)->holds, 0) << "the maker's hold was given back";
            EXPECT_EQ(HoldersOf(held(*w)), std::vector<CMN_GRPHolder*>{&w->holder});
        }
        EXPECT_EQ(held(text)->content(), "text");
    }
    EXPECT_EQ(FakeBuf::live, 0);
}

TEST_F(BufferClientTest, ABufOnAGivenBufferTakesNoHold) {
    install<FakeBufFactory>(X509CmnSrvID);
    FakeBuf* b = FakeBuf::of("mine");
    {
        aBuf w(b);
        EXPECT_EQ(w.error(), 0);
        EXPECT_EQ(uses(), 1);
        EXPECT_EQ(b->holds, 1);
        EXPECT_EQ(b->holderRefs(), 1);
        EXPECT_EQ(b->calls, "");
    }
    EXPECT_EQ(b->holds, 1);
    EXPECT_EQ(b->holderRefs(), 0);
    EXPECT_EQ(uses(), 0);
    b->release();
}

TEST_F(BufferClientTest, UnboundABufCountsOnceAndAnswersTheUnboundColumn) {
    {
        aBuf noService;
        aBuf fromNull(static_cast<TBuf*>(nullptr));
        EXPECT_EQ(uses(), 2);
        auto& service = install<FakeBufFactory>(X509CmnSrvID);
        service->refuseFrom = 0;
        aBuf refused("x");
        EXPECT_EQ(uses(), 3);
        for (aBuf* w : {&noService, &fromNull, &refused}) {
            EXPECT_FALSE(w->isBound());
            EXPECT_EQ(w->error(), 40);
            EXPECT_EQ(static_cast<aBuf const*>(w)->datap(), nullptr);
            EXPECT_EQ(w->datap(), nullptr);
            EXPECT_EQ(w->len(), 0u);
            EXPECT_EQ(w->set("s"), 40);
            EXPECT_EQ(w->set(kBytes, 3), 40);
            EXPECT_EQ(w->dup(noService), 40);
            EXPECT_EQ(w->load("/p"), 40);
            EXPECT_EQ(w->save("/p"), 40);
            EXPECT_EQ(w->shift(1), 40);
            EXPECT_EQ(w->retreat(1), 40);
            EXPECT_EQ(*w != *w, 1);
            EXPECT_EQ(w->error(), 40);
        }
    }
    EXPECT_EQ(uses(), 0);
}

TEST_F(BufferClientTest, BoundABufForwardsAndRecordsTheResult) {
    install<FakeBufFactory>(X509CmnSrvID);
    aBuf w("abc");
    aBuf other("abd");
    aBuf unbound(static_cast<TBuf*>(nullptr));
    FakeBuf* b = held(w);
    b->code = 5;

    EXPECT_EQ(w.set("xyz"), 5);
    EXPECT_EQ(b->lastString, "xyz");
    EXPECT_EQ(w.set(kBytes, 3), 5);
    EXPECT_EQ(b->lastBytes, kBytes);
    EXPECT_EQ(w.load("/in"), 5);
    EXPECT_EQ(w.save("/out"), 5);
    EXPECT_EQ(b->lastString, "/out");
    EXPECT_EQ(w.shift(7), 5);
    EXPECT_EQ(b->lastNumber, 7u);
    EXPECT_EQ(w.retreat(9), 5);
    EXPECT_EQ(b->lastNumber, 9u);
    EXPECT_EQ(w.error(), 5);

    EXPECT_EQ(w.dup(other), 5);
    EXPECT_EQ(b->lastOther, held(other));
    b->code = 6;
    EXPECT_EQ(w.dup(unbound), 6) << "an unbound source is passed on as null";
    EXPECT_EQ(b->lastOther, nullptr);
    EXPECT_EQ(w.error(), 6);

    // Both bound: the buffer's answer, error 0. Either unbound: 1, error 40.
    EXPECT_EQ(w != other, 6);
    EXPECT_EQ(b->lastOther, held(other));
    EXPECT_EQ(w.error(), 0);
    EXPECT_EQ(w != unbound, 1);
    EXPECT_EQ(w.error(), 40);
    EXPECT_EQ(unbound != w, 1);
    EXPECT_EQ(unbound.error(), 40);

    EXPECT_EQ(b->calls, "set(str) set(bytes) load save shift retreat dup dup != ");
}

TEST_F(BufferClientTest, DatapAndLenRecordSuccessBeforeTheCall) {
    install<FakeBufFactory>(X509CmnSrvID);
    aBuf w(kBytes, 3);
    FakeBuf* b = held(w);
    b->code = 5;
    w.set("x");
    ASSERT_EQ(w.error(), 5);

    // Each call starts from error 5 and must see 0 inside the buffer's call.
    std::vector<int> during;
    auto recordInside = [&] { during.push_back(w.error()); };
    b->onCall = recordInside;
    EXPECT_EQ(w.len(), 3u);
    b->onCall = nullptr;
    w.set("x");
    b->onCall = recordInside;
    EXPECT_EQ(static_cast<aBuf const&>(w).datap(), b->bytes.data());
    b->onCall = nullptr;
    w.set("x");
    b->onCall = recordInside;
    EXPECT_EQ(w.datap(), b->bytes.data());
    b->onCall = nullptr;
    EXPECT_EQ(during, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(w.error(), 0);
}

TEST_F(BufferClientTest, ConcurrentCreateTBufWhileABufsBindAndUnbind) {
    auto& service = install<FakeBufFactory>(X509CmnSrvID);
    constexpr int kRounds = 1500;
    std::atomic<int> nulls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                TBuf* b = (i % 2 == 0) ? createTBuf(kBytes, 3) : createTBuf("s");
                if (b == nullptr) {
                    ++nulls;
                    continue;
                }
                b->release();
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                aBuf w;  // 0 -> 1 binds, 1 -> 0 unbinds, over and over
                if (!w.isBound()) ++nulls;
            }
        });
    }
    for (auto& th : threads) th.join();

    EXPECT_EQ(nulls, 0);
    EXPECT_EQ(uses(), 0);
    EXPECT_EQ(FakeBuf::live, 0);
    EXPECT_EQ(service->calls(), 4 * kRounds);
    EXPECT_EQ(service.guarded()->references(), bound() ? 2 : 1);
}

}  // namespace
