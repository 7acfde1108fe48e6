// The byte-buffer client (theX509Cmn, createTBuf, aBuf) and the zlib client
// (CMN_ZLib, VBuffer) against fake peers; through them, the stub templates'
// lazy binding, use count and object-stub order. The ZIP client stubs are
// tested against the real service in tests/zip.
#include <thread>

#include "tests/support/doubles.h"

namespace {

unsigned char const kBytes[] = {'a', 'b', 'c', 'd'};

struct Clients : PeersTest {
    static bool bound() { return theX509Cmn.holder.pointee != nullptr; }
    static int uses() { return theX509Cmn.useCount; }
    static FakeBuf* held(aBuf const& w) { return static_cast<FakeBuf*>(w.holder.pointee); }
};

// createTBuf binds on first use without counting one; an object stub counts
// once per life; the unref from exactly 1 to 0 unbinds, after the object is
// gone; x509cmn_init binds and resets the count, x509cmn_fini unbinds.
TEST_F(Clients, BindingAndUseCountOfTheByteBufferService) {
    createTBuf(kBytes, 3)->release();
    EXPECT_EQ(mgr.lastAsking.load(), GetModuleID());
    EXPECT_EQ(uses(), 0);
    bool boundAtDeath = false;
    {
        aBuf a(kBytes, 2), b;
        EXPECT_EQ(uses(), 2);
        EXPECT_EQ(buffers->references(), 2) << "bound once";
        EXPECT_EQ(held(a)->bytes + std::to_string(a.error()), "ab0");
        EXPECT_EQ(held(a)->references(), 1) << "held by its holder alone: the maker's hold was given back";
        held(a)->onDestroy = [&] { boundAtDeath = bound(); };  // a goes last: 1 -> 0
    }
    EXPECT_TRUE(boundAtDeath);
    EXPECT_FALSE(bound());
    auto* a = new aBuf;
    auto* b = new aBuf;
    EXPECT_EQ(mgr.lookups, 2) << "the next use binds again";
    EXPECT_EQ(x509cmn_init(), 0);
    EXPECT_EQ(uses(), 0);
    delete a;
    EXPECT_TRUE(bound()) << "0 -> -1 does not unbind";
    x509cmn_fini();
    EXPECT_FALSE(bound());
    {
        aBuf d;    // binds again: 0 -> 1
        delete b;  // 1 -> 0 unbinds, although d is alive
        EXPECT_FALSE(bound());
        EXPECT_EQ(d.len(), 0u) << "d keeps its buffer by its holder";
    }
    FakeBuf* mine = new FakeBuf("mine");
    delete new aBuf(mine);
    EXPECT_EQ(mine->references(), 1) << "a given buffer: no hold taken or given back";
    mine->release();
}

// A bound aBuf forwards and records the buffer's code (success for len and
// datap). Unbound stubs answer 40 for codes, null for pointers, 0 for sizes;
// nothing is called, and every object stub counts in its service stub.
TEST_F(Clients, StubsForwardWhenBoundAndAnswerWithoutCallingWhenNot) {
    mgr.offer(CMN_ZLibID, nullptr);
    mgr.offer(X509CmnSrvID, nullptr);
    {
        VBuffer noService(kBytes, 4), nullBuffer(nullptr);
        aBuf noFactory, nullBuf(static_cast<TBuf*>(nullptr));
        mgr.offer(CMN_ZLibID, zlib);
        mgr.offer(X509CmnSrvID, buffers);
        VBuffer cutLoose(kBytes, 4);
        cutLoose.replacePointee(nullptr);  // what the peer module's unload does
        zlib->refuse = true;
        VBuffer refused(kBytes, 4);
        buffers->refuseFrom = 0;
        aBuf refusedBuf("x");
        EXPECT_EQ(uses(), 3);
        for (VBuffer* v : {&noService, &nullBuffer, &cutLoose, &refused}) {
            EXPECT_EQ(v->Compress() + v->Decompress(), 80);
            EXPECT_TRUE(v->GetOutputSize() == 0 && v->GetOutputData() == nullptr);
        }
        for (aBuf* w : {&noFactory, &nullBuf, &refusedBuf}) {
            for (int code : {w->error(), w->set("s"), w->set(kBytes, 3), w->dup(noFactory), w->load("/p"),
                             w->save("/p"), w->shift(1), w->retreat(1), 39 + (*w != noFactory), w->error()})
                EXPECT_EQ(code, 40);
            EXPECT_TRUE(w->datap() == nullptr && w->len() == 0);
        }
    }
    EXPECT_EQ(zlib->asked, 2) << "only the cut-loose and the refused constructions asked";
    EXPECT_EQ(buffers->calls, 1);
    buffers->refuseFrom = -1;
    aBuf w("abc"), other("abd");
    held(w)->code = 5;
    for (int code : {w.set("s"), w.set(kBytes, 3), w.dup(other), w.load("/p"), w.save("/p"), w.shift(1), w.retreat(1),
                     w.error(), w != other})
        EXPECT_EQ(code, 5);
    EXPECT_EQ(held(w)->calls, "dup abd;!= abd;");
    EXPECT_EQ(w.error(), 0) << "!= records success";
    w.set("x");
    EXPECT_TRUE(w.len() == 3 && w.error() == 0) << "len() records success";
}

TEST_F(Clients, EveryVBufferLooksTheServiceUpAfreshAndKeepsOnlyItsBuffer) {
    zlib->script.compressCode = 5;
    VBuffer first(kBytes, 4), second(kBytes, 2);
    EXPECT_EQ(mgr.lookups, 2);
    EXPECT_EQ(zlib->references(), 1) << "no hold kept on the service";
    mgr.offer(CMN_ZLibID, nullptr);
    zlibHold.replacePointee(nullptr);  // the peer unloads: its buffers stay usable
    EXPECT_EQ(first.Compress(), 5);
}

// The lazy binding's unlocked fast path against bindings and unbindings.
TEST_F(Clients, ConcurrentCreateTBufWhileABufsBindAndUnbind) {
    std::atomic<int> nulls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1500; ++i)
                if (t % 2 == 1)
                    nulls += aBuf().isBound() ? 0 : 1;
                else if (TBuf* b = createTBuf(kBytes, 3))
                    b->release();
                else
                    ++nulls;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(nulls, 0);
}

}  // namespace
