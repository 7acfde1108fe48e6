#include "cmn_obj_mgr.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

class ObjectRegistry : public FrameworkTest {
protected:
    TstringID peer{"PEER"};
    TstringID other{"OTHER"};
    TstringID nobody{"NOBODY"};
};

}  // namespace

TEST_F(ObjectRegistry, EmptyRegistryAnswersAtOnce) {
    EXPECT_EQ(ObjectManager.getObj(), nullptr);
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(*GetModuleID()), 0);
    EXPECT_EQ(ObjectManager.unhookObjs(*GetModuleID()), 0);
    ObjectManager.finiAll();
    ObjectManager.fini();
    EXPECT_EQ(ObjectManager.objects, nullptr);
}

TEST_F(ObjectRegistry, UsageQueriesTellOwnHoldersFromForeignOnes) {
    auto* older = new Probe("older");
    auto* newer = new Probe("newer");
    TestHolder ownNewer, ownOlder, foreign(&peer);
    ownNewer.hold(newer);
    ownOlder.hold(older);

    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(TstringID("TEST")), 1) << "the module's own holders count for it";
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(peer), 0);

    DummyHolder* guard = ObjectManager.getObj();
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0) << "a guard is never use by another module";

    foreign.hold(older);  // behind the newest object: the query walks on
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 1);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(peer), 1);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(other), 0);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(Tuint32ID(0)), 0);
    // Queries change nothing.
    EXPECT_EQ(older->references(), 2);
    EXPECT_EQ(newer->references(), 2);
    EXPECT_EQ(ownNewer.replaceCalls + ownOlder.replaceCalls + foreign.replaceCalls, 0);

    EXPECT_EQ(foreign.release(), 1);
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0);
    guard->die();
    EXPECT_EQ(newer->references(), 1);
    EXPECT_EQ(ownNewer.release(), 0);
    EXPECT_EQ(ownOlder.release(), 0);
}

TEST_F(ObjectRegistry, FiniCutsEveryHolderAndObjectsDieAsTheGuardMovesOn) {
    auto* older = new Probe("older");
    auto* newer = new Probe("newer");
    TestHolder olderOwn, olderPeer(&peer), newerPeer(&peer), newerOther(&other);
    olderOwn.hold(older);
    olderPeer.hold(older);
    newerPeer.hold(newer);
    newerOther.hold(newer);

    std::vector<std::string> order;
    newer->onDestroy = [&](Probe&) {
        order.push_back("dtor newer");
        EXPECT_EQ(newerPeer.pointee.load(), nullptr);
        EXPECT_EQ(newerOther.pointee.load(), nullptr);
        EXPECT_NE(olderPeer.pointee.load(), nullptr) << "dies when the guard moves on, before the next object's work";
        EXPECT_TRUE(RefMutexHeldHere()) << "moved on under the registry lock";
    };
    older->onDestroy = [&](Probe&) {
        order.push_back("dtor older");
        EXPECT_EQ(olderOwn.pointee.load(), nullptr);
        EXPECT_EQ(olderPeer.pointee.load(), nullptr);
        EXPECT_FALSE(RefMutexHeldHere()) << "the last object dies after the registry lock is left";
    };

    ObjectManager.fini();
    EXPECT_EQ(order, (std::vector<std::string>{"dtor newer", "dtor older"}));
    for (TestHolder* h : {&olderOwn, &olderPeer, &newerPeer, &newerOther}) EXPECT_EQ(h->replaceCalls, 1);
    EXPECT_EQ(ObjectManager.objects, nullptr);
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(peer), 0);
}

TEST_F(ObjectRegistry, HoldersThatWillNotLetGoAreTakenOffByForce) {
    auto* o = new Probe("o");
    TestHolder stubborn(&peer, TestHolder::Stubborn), wellBehaved(&peer);
    stubborn.hold(o);
    wellBehaved.hold(o);

    EXPECT_EQ(ObjectManager.unhookObjs(peer), 1) << "only the holder that let go counts";
    EXPECT_EQ(stubborn.replaceCalls, 1);
    EXPECT_EQ(o->listed(), 0u);
    EXPECT_EQ(o->references(), 1) << "the stubborn holder's reference stays counted";
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0);

    stubborn.hold(o);
    ObjectManager.fini();
    EXPECT_EQ(stubborn.replaceCalls, 2);
    EXPECT_EQ(o->listed(), 0u);
    EXPECT_EQ(o->references(), 2);
    EXPECT_EQ(Probe::census.live(), 1) << "an object with references left survives the walk";

    // The references now belong to no holder; drop them as their owner.
    stubborn.forget();
    EXPECT_EQ(o->CMN_Reference::remReference(), 1);
    EXPECT_EQ(o->CMN_Reference::remReference(), 0);
}

TEST_F(ObjectRegistry, UnhookObjsCutsOnlyTheNamedModule) {
    auto* first = new Probe("first");
    auto* second = new Probe("second");
    TestHolder x1(&peer), x2(&peer), x3(&peer), y1(&other), y2(&other);
    x1.hold(first);
    x2.hold(first);
    x3.hold(second);
    y1.hold(first);
    y2.hold(second);

    EXPECT_EQ(ObjectManager.unhookObjs(nobody), 0);
    EXPECT_EQ(first->references(), 3);
    EXPECT_EQ(second->references(), 2);

    EXPECT_EQ(ObjectManager.unhookObjs(peer), 3);
    for (TestHolder* h : {&x1, &x2, &x3}) {
        EXPECT_EQ(h->replaceCalls, 1);
        EXPECT_EQ(h->pointee.load(), nullptr);
    }
    EXPECT_EQ(y1.replaceCalls + y2.replaceCalls, 0);
    EXPECT_EQ(first->references(), 1);
    EXPECT_EQ(second->references(), 1);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(peer), 0);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(other), 1);

    EXPECT_EQ(y1.release(), 0);
    EXPECT_EQ(y2.release(), 0);
}

TEST_F(ObjectRegistry, UnhookingTheOwnModuleCutsHandedOutGuardsButNotTheWalksOwn) {
    auto* o = new Probe("o");
    TestHolder peerHolder(&peer);
    peerHolder.hold(o);
    DummyHolder* handedOut = ObjectManager.getObj();
    ASSERT_NE(handedOut, nullptr);
    EXPECT_EQ(o->references(), 2);

    EXPECT_EQ(ObjectManager.unhookObjs(*GetModuleID()), 1);
    EXPECT_EQ(handedOut->holder.pointee, nullptr);
    EXPECT_EQ(o->references(), 1);
    EXPECT_EQ(o->listed(), 1u) << "only the peer's holder is left; the walk's own guard is gone";
    handedOut->die();  // empty now: releases nothing
    EXPECT_EQ(peerHolder.release(), 0);
}

TEST_F(ObjectRegistry, FiniAllFinishesEachObjectOnceNewestFirst) {
    EventLog log;
    auto* a = new Probe("a", &log);
    auto* b = new Probe("b", &log);
    auto* c = new Probe("c", &log);
    TestHolder ownA, foreign(&peer), ownC, late;
    ownA.hold(a);
    foreign.hold(b);
    ownC.hold(c);

    Probe* bornDuringWalk = nullptr;
    a->onFini = [&](Probe& self) {
        EXPECT_EQ(self.references(), 2) << "kept alive by the walk's guard";
        EXPECT_TRUE(RefMutexHeldHere());
        EXPECT_EQ(self.holderLock.depth, 0u) << "the holder list is not locked";
        bornDuringWalk = new Probe("born", &log);
        late.hold(bornDuringWalk);
    };
    ObjectManager.finiAll();
    EXPECT_EQ(log.events(), (std::vector<std::string>{"fini c", "fini b", "fini a"}));
    ASSERT_NE(bornDuringWalk, nullptr);
    EXPECT_EQ(bornDuringWalk->finis, 0) << "an object created during the walk is not visited";
    EXPECT_EQ(ownA.replaceCalls + foreign.replaceCalls + ownC.replaceCalls, 0) << "finiAll cuts nobody loose";
    EXPECT_EQ(a->references(), 1);
    EXPECT_EQ(b->references(), 1);
    EXPECT_EQ(c->references(), 1);

}

TEST_F(ObjectRegistry, ObjectReleasedInItsOwnFiniDiesWhenTheWalkMovesOn) {
    EventLog log;
    auto* older = new Probe("older", &log);
    auto* newer = new Probe("newer", &log);
    TestHolder olderHolder(&peer), newerHolder(&peer);
    olderHolder.hold(older);
    newerHolder.hold(newer);

    bool newerDiedUnderLock = false, olderDiedUnderLock = true;
    newer->onFini = [&](Probe&) { EXPECT_EQ(newerHolder.release(), 1) << "the guard still holds it"; };
    older->onFini = [&](Probe&) { EXPECT_EQ(olderHolder.release(), 1); };
    newer->onDestroy = [&](Probe&) { newerDiedUnderLock = RefMutexHeldHere(); };
    older->onDestroy = [&](Probe&) { olderDiedUnderLock = RefMutexHeldHere(); };

    ObjectManager.finiAll();
    EXPECT_EQ(log.events(), (std::vector<std::string>{"fini newer", "dtor newer", "fini older", "dtor older"}));
    EXPECT_TRUE(newerDiedUnderLock);
    EXPECT_FALSE(olderDiedUnderLock);
}

TEST_F(ObjectRegistry, GetObjGuardsTheNewestObjectUntilDie) {
    auto* older = new Probe("older");
    auto* newer = new Probe("newer");
    TestHolder h1, h2;
    h1.hold(older);
    h2.hold(newer);

    DummyHolder* guard = ObjectManager.getObj();
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(guard->holder.pointee, newer);
    EXPECT_EQ(guard->holder.getModuleID(), GetModuleID());
    EXPECT_EQ(guard->holder.serviceID, nullptr);
    EXPECT_EQ(newer->references(), 2);
    EXPECT_EQ(older->references(), 1);

    bool diedInDie = false, inDie = false;
    newer->onDestroy = [&](Probe&) { diedInDie = inDie; };
    EXPECT_EQ(h2.release(), 1) << "the guard keeps it alive";
    inDie = true;
    guard->die();
    inDie = false;
    EXPECT_TRUE(diedInDie);

    {
        DummyHolder onStack(older);
        EXPECT_EQ(older->references(), 2);
        EXPECT_EQ(h1.release(), 1);
    }  // the guard's destructor drops the last reference
    EXPECT_EQ(Probe::census.live(), 0);
    DummyHolder empty(nullptr);
    EXPECT_EQ(empty.holder.pointee, nullptr);
}

// Decision: an object nobody has claimed yet (count 0) is passed over by every
// walk and by getObj(); it is neither finished, guarded nor cut loose.
TEST_F(ObjectRegistry, UnclaimedObjectIsPassedOverByEveryWalk) {
    auto* claimed = new Probe("claimed");
    TestHolder holder(&peer);
    holder.hold(claimed);
    auto* unclaimed = new Probe("unclaimed");  // newest, count 0

    DummyHolder* guard = ObjectManager.getObj();
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(guard->holder.pointee, claimed) << "getObj skips to the next claimed object";
    EXPECT_EQ(unclaimed->references(), 0);
    guard->die();

    ObjectManager.finiAll();
    EXPECT_EQ(claimed->finis, 1);
    EXPECT_EQ(unclaimed->finis, 0);
    EXPECT_EQ(ObjectManager.unhookObjs(*GetModuleID()), 0);
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 1);
    ObjectManager.fini();
    EXPECT_EQ(holder.pointee.load(), nullptr);

    EXPECT_EQ(RegisteredObjects(), std::vector<CMN_GuardedRef*>{unclaimed});
    EXPECT_EQ(unclaimed->references(), 0);
    EXPECT_EQ(unclaimed->finis, 0);
    EXPECT_EQ(unclaimed->inits, 0);
    EXPECT_EQ(Probe::census.live(), 1);

    auto* alone = unclaimed;
    EXPECT_EQ(ObjectManager.getObj(), nullptr) << "only unclaimed objects are left";
    delete alone;  // its creator still owns it
}

// Decision: an object released by its last holder on another thread, still
// registered with count 0 while its destructors run, is passed over too: no
// call into it, no second destruction.
TEST_F(ObjectRegistry, DyingObjectIsPassedOverByWalksOnOtherThreads) {
    int const destroyedBefore = Probe::census.destroyed;
    auto* survivor = new Probe("survivor");
    TestHolder survivorHolder(&peer);
    survivorHolder.hold(survivor);
    auto* dying = new Probe("dying");
    TestHolder dyingHolder(&peer);
    dyingHolder.hold(dying);

    Gate destroying, mayFinish;
    dying->onDestroy = [&](Probe&) {
        destroying.open();
        mayFinish.wait();
    };
    std::thread releaser([&] { EXPECT_EQ(dyingHolder.release(), 0); });
    destroying.wait();

    // `dying` is mid-destruction on the other thread, registered with count 0.
    ASSERT_EQ(RegisteredObjects(), (std::vector<CMN_GuardedRef*>{dying, survivor}));
    EXPECT_EQ(dying->references(), 0);

    DummyHolder* guard = ObjectManager.getObj();
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(guard->holder.pointee, survivor);
    guard->die();
    ObjectManager.finiAll();
    EXPECT_EQ(dying->finis, 0);
    EXPECT_EQ(survivor->finis, 1);
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 1);
    EXPECT_EQ(ObjectManager.unhookObjs(nobody), 0);
    ObjectManager.fini();  // cuts the survivor's holder: it dies, `dying` is untouched
    EXPECT_EQ(RegisteredObjects(), std::vector<CMN_GuardedRef*>{dying});
    EXPECT_EQ(Probe::census.destroyed - destroyedBefore, 1);

    mayFinish.open();
    releaser.join();
    EXPECT_EQ(ObjectManager.objects, nullptr);
    EXPECT_EQ(Probe::census.destroyed - destroyedBefore, 2) << "each object destroyed exactly once";
}

namespace {

// A holder of this module that runs a callback when a walk tells it to let go.
class CallbackHolder final : public CMN_GRPHolder {
public:
    explicit CallbackHolder(std::function<void()> onCut) : onCut(std::move(onCut)) {}
    void replacePointee(CMN_GuardedRef* g) override {
        if (onCut) onCut();
        if (held != nullptr) held->remReference(this);
        held = g;
        if (g != nullptr) g->addReference(this);
    }
    TypifiedID const* getModuleID() override { return GetModuleID(); }
    CMN_GuardedRef* held = nullptr;
    std::function<void()> onCut;
};

}  // namespace

// A typed holder whose owner lets go on another thread while fini() is about
// to cut it loose: whichever of the two releases the reference, it is
// released exactly once, and the walk does not take the holder off by force
// with its reference still counted.
TEST_F(ObjectRegistry, HolderLettingGoWhileTheWalkCutsItLooseLosesNoCount) {
    auto* o = new Probe("o");
    o->CMN_Reference::addReference();  // keeps o alive whoever releases first
    CMN_GRefPtr<Probe> typed(o);
    CallbackHolder trigger(nullptr);
    trigger.replacePointee(o);  // listed after `typed`: the walk meets it first
    std::thread owner;
    trigger.onCut = [&] {
        // The walk holds the registry lock and o's holder-list lock. The
        // owner lets go now and blocks on the holder-list lock (having
        // cleared its pointer first, if that is its order of steps).
        owner = std::thread([&] { typed.replacePointee(nullptr); });
        for (int i = 0; i < 50 && typed.loadPointee() != nullptr; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };

    ObjectManager.fini();
    owner.join();
    EXPECT_EQ(typed.pointee, nullptr);
    EXPECT_EQ(o->listed(), 0u);
    EXPECT_EQ(o->references(), 1) << "the typed holder's reference was lost, not released";
    int left = o->references();
    for (int i = 0; i < left; ++i) o->CMN_Reference::remReference();
}
