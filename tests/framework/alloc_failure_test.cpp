// Allocation failures injected into every allocation of an operation in
// turn (a sweep): the standard failure reaches the caller, and what the
// failing step built is torn down: counts equal listed holders, holders that
// failed to take an object hold nothing, locks are free, nothing leaks.
#include "cmn_stub.h"

#include "tests/support/failing_allocator.h"
#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <new>
#include <vector>

namespace {

using AllocFailure = FrameworkTest;

Tuint32ID const kServiceID(111);
TstringID const kPeer("PEER");

// Every registered object's count equals its listed holders, and no lock is held.
::testing::AssertionResult Consistent() {
    if (CMN_Reference::RefMutex.depth != 0) return ::testing::AssertionFailure() << "RefMutex held";
    for (CMN_GuardedRef* o : RegisteredObjects()) {
        if (o->holderLock.depth != 0) return ::testing::AssertionFailure() << "a holder list is locked";
        if (static_cast<unsigned>(o->references()) != o->_getHolders()->count)
            return ::testing::AssertionFailure()
                   << "count " << o->references() << " but " << o->_getHolders()->count << " listed";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST_F(AllocFailure, IdentifiersPassTheFailureOn) {
    int allocations = SweepAllocationFailures(
        [] {
            TstringID a("ZIP");
            TstringID b(a);
            TstringID c(nullptr);
        },
        [](bool) {});
    EXPECT_EQ(allocations, 3);
}

TEST_F(AllocFailure, FailedReferenceLeavesCountListAndLocksUnchanged) {
    auto* o = new Probe("o");
    TestHolder first, second;
    first.hold(o);
    {
        FailAllocation arm(0);
        try {
            o->addReference(&second);
        } catch (std::bad_alloc const&) {
        }
        EXPECT_TRUE(arm.fired());
    }
    EXPECT_EQ(o->references(), 1);
    EXPECT_EQ(o->listed(), 1u);
    EXPECT_TRUE(Consistent());
    EXPECT_EQ(o->remReference(&second), 1) << "the failed holder is not listed";
}

TEST_F(AllocFailure, HolderThatFailsToTakeAnObjectHoldsNothing) {
    auto* kept = new Probe("kept");
    CMN_GRefPtr<Probe> source(kept);
    CMN_GRefPtr<Probe> target(new Probe("lone"));
    {
        FailAllocation arm(0);
        try {
            target = source;
        } catch (std::bad_alloc const&) {
        }
    }
    EXPECT_EQ(target.pointee, nullptr) << "its old object is gone, the new one not taken";
    EXPECT_EQ(Probe::census.live(), 1) << "the old object died with its last reference";
    EXPECT_EQ(kept->references(), 1);

    {
        FailAllocation arm(0);
        try {
            target.replacePointee(kept);
        } catch (std::bad_alloc const&) {
        }
    }
    EXPECT_EQ(target.pointee, nullptr);
    EXPECT_EQ(kept->references(), 1);
    EXPECT_TRUE(Consistent());
}

TEST_F(AllocFailure, HolderTrafficStaysConsistentAtEveryFailingStep) {
    auto* o1 = new Probe("o1");
    auto* o2 = new Probe("o2");
    TestHolder anchor1, anchor2;
    anchor1.hold(o1);
    anchor2.hold(o2);
    int allocations = SweepAllocationFailures(
        [&] {
            CMN_GRefPtr<Probe> a(o1);
            CMN_GRefPtr<Probe> b;
            b = a;
            CMN_GRefPtr<Probe> c(o2);
            c = a;
            c.replacePointee(o2);
            a.replacePointee(nullptr);
            DummyHolder* guard = ObjectManager.getObj();
            guard->die();
        },
        [&](bool) {
            EXPECT_TRUE(Consistent());
            EXPECT_EQ(o1->references(), 1);
            EXPECT_EQ(o2->references(), 1);
        });
    EXPECT_GT(allocations, 5);
}

TEST_F(AllocFailure, WalksLoseNothingAtAnyFailingStep) {
    std::vector<TestHolder*> holders;
    auto heldObjects = [&] {
        for (int i = 0; i < 3; ++i) {
            holders.push_back(new TestHolder(&kPeer));
            holders.back()->hold(new Probe("walked"));
        }
    };
    heldObjects();
    int allocations = SweepAllocationFailures(
        [&] {
            ObjectManager.finiAll();
            ObjectManager.unhookObjs(kPeer);
            ObjectManager.fini();
        },
        [&](bool) {
            EXPECT_TRUE(Consistent());
            // Whatever the walks got through, the holders they cut hold
            // nothing and their objects are gone; the others let go now.
            for (TestHolder* h : holders) delete h;
            holders.clear();
            EXPECT_EQ(ObjectManager.objects, nullptr);
            heldObjects();  // the next attempt starts afresh
        });
    for (TestHolder* h : holders) delete h;
    EXPECT_GT(allocations, 6) << "every walk guards its objects";
}

TEST_F(AllocFailure, ServiceStubsStayUsableAfterAFailedBinding) {
    auto* service = new TestService;
    TestHolder keeper(&kPeer);
    keeper.hold(service);
    FakeModMgr host;
    host.offer(kServiceID, service);
    ScopedModMgr link(&host);
    CMN_ServiceStub<TestService_Interface> svc(kServiceID);

    for (auto bind : {+[](CMN_ServiceStub<TestService_Interface>& s) { s.ref(); },
                      +[](CMN_ServiceStub<TestService_Interface>& s) { s.bound(); }}) {
        {
            FailAllocation arm(0);
            try {
                bind(svc);
            } catch (std::bad_alloc const&) {
            }
        }
        EXPECT_EQ(svc.useCount, 0) << "a failed ref() counts nothing";
        EXPECT_EQ(svc.holder.pointee, nullptr);
        ASSERT_EQ(pthread_mutex_trylock(&svc.mutex.mutex), 0) << "the stub's mutex is free";
        pthread_mutex_unlock(&svc.mutex.mutex);
    }

    // An object stub whose service stub cannot bind gives its object back.
    auto* o = new Probe("o");
    TestHolder objectKeeper;
    objectKeeper.hold(o);
    {
        FailAllocation arm(1);  // the holder takes o; the service binding fails
        try {
            PKIXAnyObject<Probe> stub(o, &svc);
        } catch (std::bad_alloc const&) {
        }
    }
    EXPECT_EQ(o->references(), 1);
    EXPECT_EQ(svc.useCount, 0);
    EXPECT_TRUE(Consistent());

    svc.ref();
    EXPECT_EQ(svc.holder.pointee, static_cast<TestService_Interface*>(service));
    svc.unref();
}
