#include "cmn_grefptr.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

namespace {

using TypedHolder = FrameworkTest;

Tuint32ID const kServiceID(64);

// Answers with the probe it was given, recording the identifier asked for.
CMN_GuardedRef* gFactoryAnswer = nullptr;
TypifiedID const* gFactoryAsked = nullptr;
CMN_GuardedRef* TestFactory(TypifiedID const* service) {
    gFactoryAsked = service;
    return gFactoryAnswer;
}

bool Lists(CMN_GuardedRef& o, CMN_GRPHolder* h) {
    for (sitem<CMN_GRPHolder>* it = o._getHolders()->head; it != nullptr; it = it->next)
        if (it->item == h) return true;
    return false;
}

}  // namespace

TEST_F(TypedHolder, NullHolderIsEmptyAndStampedWithTheModule) {
    CMN_GRefPtr<Probe> empty;
    EXPECT_EQ(empty.pointee, nullptr);
    EXPECT_EQ(empty.serviceID, nullptr);
    EXPECT_EQ(empty.factory, nullptr);
    EXPECT_EQ(empty.getModuleID(), GetModuleID());
    EXPECT_TRUE(*empty.getModuleID() == TstringID("TEST"));
    empty.replacePointee(nullptr);  // nothing held: nothing to release
    EXPECT_EQ(empty.pointee, nullptr);
}

TEST_F(TypedHolder, HolderTakesItsReferenceInItsOwnNameAndDropsItLast) {
    auto* o = new Probe("o");
    bool holderClearedFirst = false;
    {
        CMN_GRefPtr<Probe> a(o);
        EXPECT_EQ(a.pointee, o);
        EXPECT_EQ(o->references(), 1);
        EXPECT_TRUE(Lists(*o, &a));
        {
            CMN_GRefPtr<Probe> b(a);  // a copy holds with a reference of its own
            EXPECT_EQ(o->references(), 2);
            EXPECT_TRUE(Lists(*o, &b));
        }
        EXPECT_EQ(o->references(), 1);
        EXPECT_EQ(o->listed(), 1u);
        o->onDestroy = [&](Probe& p) { holderClearedFirst = (p.listed() == 0) && !Lists(p, &a); };
    }
    EXPECT_TRUE(holderClearedFirst);
    EXPECT_EQ(Probe::census.live(), 0);
}

TEST_F(TypedHolder, ReplacePointeeLetsGoBeforeTakingTheNewObject) {
    auto* first = new Probe("first");
    auto* second = new Probe("second");
    CMN_GRefPtr<Probe> h;
    h.replacePointee(first);
    EXPECT_EQ(h.pointee, first);
    EXPECT_EQ(first->references(), 1);
    EXPECT_TRUE(Lists(*first, &h));
    EXPECT_EQ(h.getModuleID(), GetModuleID());

    // From inside the first object's destructor: the holder has not yet
    // taken the second object; its pointer changes only after the release.
    Probe* seenPointee = nullptr;
    int secondCountSeen = -1;
    first->onDestroy = [&](Probe&) {
        seenPointee = h.pointee;
        secondCountSeen = second->references();
    };
    h.replacePointee(second);
    EXPECT_EQ(seenPointee, first);
    EXPECT_EQ(secondCountSeen, 0) << "the old reference goes before the new one is taken";
    EXPECT_EQ(h.pointee, second);
    EXPECT_EQ(second->references(), 1);
    EXPECT_EQ(h.getModuleID(), GetModuleID());

    h.replacePointee(nullptr);
    EXPECT_EQ(h.pointee, nullptr);
    EXPECT_EQ(Probe::census.live(), 0);
}

TEST_F(TypedHolder, SecondBaseConversionsReachTheSameGuardedObject) {
    auto* service = new TestService(5);
    CMN_GuardedRef* g = service;
    TestService_Interface* typed = service;
    ASSERT_NE(static_cast<void*>(g), static_cast<void*>(typed)) << "the guarded part is the second base";

    CMN_GRefPtr<TestService_Interface> h;
    h.replacePointee(g);
    EXPECT_EQ(h.pointee, typed);
    EXPECT_EQ(h.pointee->Ping(), 5);
    EXPECT_EQ(service->references(), 1);
    EXPECT_TRUE(Lists(*service, &h));

    CMN_GRefPtr<TestService_Interface> fromObject(typed);
    EXPECT_EQ(service->references(), 2);
    fromObject.replacePointee(nullptr);
    h.replacePointee(nullptr);  // the release reaches the same object, which dies
    EXPECT_EQ(TestService::census.live(), 0);
}

TEST_F(TypedHolder, InitPointeeAsksTheFactoryOrElseTheHost) {
    // Neither a factory nor a module manager: stays empty, takes nothing.
    CMN_GRefPtr<TestService_Interface> lonely(kServiceID, true);
    EXPECT_EQ(lonely.serviceID, &kServiceID);
    EXPECT_EQ(lonely.pointee, nullptr);

    auto* service = new TestService;
    FakeModMgr host;
    host.offer(kServiceID, service);
    {
        ScopedModMgr link(&host);
        CMN_GRefPtr<TestService_Interface> deferred(kServiceID, false);
        EXPECT_EQ(deferred.pointee, nullptr);
        EXPECT_EQ(host.lookups, 0) << "the lookup is left to initPointee()";
        deferred.initPointee();
        EXPECT_EQ(deferred.pointee, static_cast<TestService_Interface*>(service));
        EXPECT_EQ(host.lastAsking.load(), GetModuleID());
        EXPECT_EQ(service->references(), 1);
        EXPECT_TRUE(Lists(*service, &deferred));

        Tuint32ID const unknownID(111);
        CMN_GRefPtr<TestService_Interface> unknown(unknownID, true);
        EXPECT_EQ(unknown.pointee, nullptr) << "the host does not know the service";

        // A factory is asked instead of the host.
        auto* made = new Probe("made");
        gFactoryAnswer = made;
        CMN_GRefPtr<Probe> viaFactory(kServiceID, false);
        viaFactory.factory = &TestFactory;
        int lookupsBefore = host.lookups;
        viaFactory.initPointee();
        EXPECT_EQ(gFactoryAsked, &kServiceID);
        EXPECT_EQ(viaFactory.pointee, made);
        EXPECT_EQ(made->references(), 1);
        EXPECT_EQ(host.lookups, lookupsBefore);
        gFactoryAnswer = nullptr;
        CMN_GRefPtr<Probe> factoryFails(kServiceID, false);
        factoryFails.factory = &TestFactory;
        factoryFails.initPointee();
        EXPECT_EQ(factoryFails.pointee, nullptr);
    }
    EXPECT_EQ(ModMgr, nullptr) << "the module's manager is restored";
    EXPECT_EQ(TestService::census.live(), 0);
}

TEST_F(TypedHolder, AssignmentTakesTheSourcesObjectInTheTargetsName) {
    auto* o = new Probe("o");
    auto* other = new Probe("other");
    Tuint32ID otherID(7);
    CMN_GRefPtr<Probe> source(o);
    source.serviceID = &kServiceID;

    // Same object, or both empty: nothing changes, not even serviceID.
    CMN_GRefPtr<Probe>& alias = source;
    source = alias;
    EXPECT_EQ(o->references(), 1);
    CMN_GRefPtr<Probe> sameObject(o);
    sameObject = source;
    EXPECT_EQ(o->references(), 2);
    EXPECT_EQ(sameObject.serviceID, nullptr);
    CMN_GRefPtr<Probe> emptyA, emptyB;
    emptyB.serviceID = &otherID;
    emptyA = emptyB;
    EXPECT_EQ(emptyA.serviceID, nullptr);

    // Empty target, full source with a serviceID: adopts both.
    CMN_GRefPtr<Probe> target;
    target = source;
    EXPECT_EQ(target.pointee, o);
    EXPECT_EQ(target.serviceID, &kServiceID);
    EXPECT_TRUE(Lists(*o, &target));
    EXPECT_EQ(o->references(), 3);
    EXPECT_EQ(target.getModuleID(), GetModuleID());

    // Full target: releases its object, keeps its serviceID.
    CMN_GRefPtr<Probe> full(other);
    full.serviceID = &otherID;
    full = source;
    EXPECT_EQ(full.serviceID, &otherID);
    EXPECT_EQ(full.pointee, o);
    EXPECT_EQ(Probe::census.live(), 1) << "the target's old object died with its last reference";

    // Empty source into full targets: each releases and is empty.
    for (CMN_GRefPtr<Probe>* t : {&full, &target, &sameObject}) {
        *t = emptyA;
        EXPECT_EQ(t->pointee, nullptr);
    }
    EXPECT_EQ(o->references(), 1);
    EXPECT_EQ(o->listed(), 1u);
}
