#include "cmn_stub.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

Tuint32ID const kServiceID(111);
TstringID const kHostModule("HOST");

using StubTemplates = FrameworkTest;

// A service stub that only records its calls and the use count it reaches.
class SpyServiceStub final : public CMN_ServiceStubInterface {
public:
    void ref() override {
        calls.push_back("ref");
        ++uses;
    }
    void unref() override {
        calls.push_back("unref");
        --uses;
    }
    std::vector<std::string> calls;
    int uses = 0;
};

// A service owned by the test (its own holder keeps it alive) and offered by
// a fake host for the scope of a test.
class OfferedService {
public:
    OfferedService() : service(new TestService(9)) {
        keeper.hold(service);
        host.offer(kServiceID, service);
    }
    TestService_Interface* typed() { return service; }
    // References other than the keeper's.
    int extraReferences() { return service->references() - 1; }

    TestService* service;
    TestHolder keeper{&kHostModule};
    FakeModMgr host;
    ScopedModMgr link{&host};
};

}  // namespace

TEST_F(StubTemplates, StubWithoutTargetIsUnboundForGood) {
    CMN_Stub<Probe> fromNull(nullptr);
    EXPECT_FALSE(fromNull.isBound());
    CMN_Stub<Probe> empty;
    EXPECT_FALSE(empty.isBound());
    EXPECT_EQ(empty.holder.serviceID, nullptr);

    CMN_Stub<TestService_Interface> noHost(kServiceID);  // no module manager yet
    EXPECT_FALSE(noHost.isBound());
    EXPECT_EQ(noHost.holder.serviceID, &kServiceID);

    FakeModMgr host;
    ScopedModMgr link(&host);
    CMN_Stub<TestService_Interface> unknown(kServiceID);
    EXPECT_FALSE(unknown.isBound());
    EXPECT_EQ(host.lookups, 1);

    auto* service = new TestService;
    TestHolder keeper;
    keeper.hold(service);
    host.offer(kServiceID, service);
    EXPECT_FALSE(unknown.isBound()) << "the lookup is not retried";
    EXPECT_FALSE(noHost.isBound());
    EXPECT_EQ(host.lookups, 1);
    EXPECT_EQ(service->references(), 1);
}

TEST_F(StubTemplates, StubBindsThroughTheHostAndReleasesOnDestruction) {
    OfferedService offered;
    {
        CMN_Stub<TestService_Interface> stub(kServiceID);
        ASSERT_TRUE(stub.isBound());
        EXPECT_EQ(stub.holder.pointee, offered.typed()) << "converted from the guarded part";
        EXPECT_EQ(offered.host.lastAsking.load(), GetModuleID());
        EXPECT_EQ(offered.extraReferences(), 1);
        EXPECT_EQ(stub.holder.pointee->Ping(), 9);
    }
    EXPECT_EQ(offered.extraReferences(), 0);

    // The last reference goes with the stub.
    auto* o = new Probe("o");
    bool diedWithStub = false;
    {
        CMN_Stub<Probe> stub(o);
        EXPECT_EQ(o->references(), 1);
        o->onDestroy = [&](Probe&) { diedWithStub = true; };
    }
    EXPECT_TRUE(diedWithStub);
}

TEST_F(StubTemplates, StubCutLooseByTheTargetsModuleStaysUnbound) {
    auto* o = new Probe("o");
    CMN_Stub<Probe> stub(o);
    PKIXAnyObject<Probe> objectStub(new Probe("p"), nullptr);
    ObjectManager.fini();  // this module owns the targets: every holder is cut
    EXPECT_FALSE(stub.isBound());
    EXPECT_FALSE(objectStub.isBound());
    EXPECT_EQ(Probe::census.live(), 0) << "their only references were the stubs'";
}

TEST_F(StubTemplates, ServiceStubLetsGoAfterItsLastObjectAndBindsAgain) {
    OfferedService offered;
    CMN_ServiceStub<TestService_Interface> svc(kServiceID);
    EXPECT_EQ(svc.holder.pointee, nullptr);
    EXPECT_EQ(svc.useCount, 0);
    EXPECT_EQ(offered.host.lookups, 0) << "unbound until first use";

    auto* first = new PKIXAnyObject<Probe>(new Probe("a"), &svc);
    auto* second = new PKIXAnyObject<Probe>(new Probe("b"), &svc);
    EXPECT_EQ(svc.useCount, 2);
    EXPECT_EQ(svc.holder.pointee, offered.typed());
    EXPECT_EQ(offered.extraReferences(), 1);
    EXPECT_EQ(offered.host.lookups, 1);

    delete first;
    EXPECT_EQ(svc.useCount, 1);
    EXPECT_NE(svc.holder.pointee, nullptr);

    // The object goes while its service is still held.
    bool serviceHeldAtObjectDeath = false;
    second->holder.pointee->onDestroy = [&](Probe&) {
        serviceHeldAtObjectDeath = svc.useCount == 1 && svc.holder.pointee != nullptr;
    };
    delete second;
    EXPECT_TRUE(serviceHeldAtObjectDeath);
    EXPECT_EQ(svc.useCount, 0);
    EXPECT_EQ(svc.holder.pointee, nullptr);
    EXPECT_EQ(svc.holder.serviceID, &kServiceID);
    EXPECT_EQ(offered.extraReferences(), 0);

    svc.ref();
    EXPECT_NE(svc.holder.pointee, nullptr) << "binds again";
    EXPECT_EQ(offered.host.lookups, 2);
    svc.unref();
}

TEST_F(StubTemplates, ObjectStubCountsInItsServiceStubBoundOrNot) {
    SpyServiceStub spy;
    {
        PKIXAnyObject<Probe> unbound(nullptr, &spy);
        EXPECT_EQ(spy.uses, 1);
        EXPECT_FALSE(unbound.isBound());
        EXPECT_EQ(unbound.error(), CMN_NOT_BOUND);
        EXPECT_EQ(unbound.service, &spy);
    }
    EXPECT_EQ(spy.uses, 0);
    EXPECT_EQ(spy.calls, (std::vector<std::string>{"ref", "unref"}));

    // The object stub releases its object before it lets go of the service.
    spy.calls.clear();
    auto* o = new Probe("o");
    o->onDestroy = [&](Probe&) { spy.calls.push_back("object dies"); };
    {
        PKIXAnyObject<Probe> bound(o, &spy);
        EXPECT_EQ(bound.error(), 0);
        EXPECT_EQ(o->references(), 1);
    }
    EXPECT_EQ(spy.calls, (std::vector<std::string>{"ref", "object dies", "unref"}));

    // The making form counts first; the object is assigned afterwards.
    spy.calls.clear();
    {
        PKIXAnyObject<Probe> made(&spy);
        EXPECT_EQ(made.error(), CMN_NOT_BOUND);
        EXPECT_EQ(spy.calls, std::vector<std::string>{"ref"});
        CMN_GRefPtr<Probe> fresh(new Probe("made"));
        made.holder = fresh;
        fresh.replacePointee(nullptr);
        EXPECT_EQ(made.holder.pointee->references(), 1);
    }
    EXPECT_EQ(spy.uses, 0);

    // No service stub at all.
    CMN_ObjectStub<Probe> alone(new Probe("alone"), nullptr);
    EXPECT_TRUE(alone.isBound());
}

TEST_F(StubTemplates, UseCountIsBalancedEvenWhenBindingFails) {
    CMN_ServiceStub<TestService_Interface> svc(kServiceID);  // no host: cannot bind
    svc.ref();
    EXPECT_EQ(svc.useCount, 1);
    EXPECT_EQ(svc.holder.pointee, nullptr);
    EXPECT_EQ(svc.bound(), nullptr);
    svc.unref();
    EXPECT_EQ(svc.useCount, 0);

    OfferedService offered;
    svc.ref();
    ASSERT_NE(svc.holder.pointee, nullptr);
    svc.unref();
    svc.unref();  // surplus: below 0, nothing released
    EXPECT_EQ(svc.useCount, -1);
    EXPECT_EQ(svc.holder.pointee, nullptr);
    EXPECT_EQ(svc.bound(), offered.typed()) << "lazy binding does not count";
    EXPECT_EQ(svc.useCount, -1);
    svc.ref();  // -1 -> 0 does not unbind
    EXPECT_EQ(svc.holder.pointee, offered.typed());
    svc.ref();
    svc.unref();  // 1 -> 0 unbinds
    EXPECT_EQ(svc.holder.pointee, nullptr);
    EXPECT_EQ(offered.extraReferences(), 0);
}

TEST_F(StubTemplates, LazyBindingBindsOncePerUnboundPeriod) {
    OfferedService offered;
    CMN_ServiceStub<TestService_Interface> svc(kServiceID);
    EXPECT_EQ(svc.bound(), offered.typed());
    EXPECT_EQ(svc.bound(), offered.typed());
    EXPECT_EQ(offered.host.lookups, 1);
    EXPECT_EQ(offered.extraReferences(), 1);

    // Cut loose by the service's module: binds again on next use.
    EXPECT_EQ(ObjectManager.unhookObjs(*GetModuleID()), 1);
    EXPECT_EQ(svc.holder.pointee, nullptr);
    EXPECT_EQ(svc.bound(), offered.typed());
    EXPECT_EQ(offered.host.lookups, 2);

    CMN_ServiceStub<TestService_Interface> eager(kServiceID, true);
    EXPECT_EQ(eager.holder.pointee, offered.typed());
    EXPECT_EQ(eager.useCount, 0);
    EXPECT_EQ(offered.extraReferences(), 2);
}

TEST_F(StubTemplates, ServiceStubAssignmentMovesTheBindingAndTheCount) {
    OfferedService offered;
    CMN_ServiceStub<TestService_Interface> source(kServiceID, true);
    source.ref();
    source.ref();
    Tuint32ID const otherID(64);
    CMN_ServiceStub<TestService_Interface> target(otherID);

    target = source;
    EXPECT_EQ(target.holder.pointee, offered.typed());
    EXPECT_EQ(target.useCount, 2);
    EXPECT_EQ(target.holder.serviceID, &kServiceID) << "an empty target adopts the service";
    EXPECT_EQ(offered.extraReferences(), 2) << "each stub holds its own reference";

    CMN_ServiceStub<TestService_Interface> unbound(kServiceID);
    target = unbound;
    EXPECT_EQ(target.holder.pointee, nullptr);
    EXPECT_EQ(target.useCount, 0);
    EXPECT_EQ(offered.extraReferences(), 1);
    EXPECT_EQ(pthread_mutex_trylock(&target.mutex.mutex), 0) << "the mutex is not copied or left locked";
    pthread_mutex_unlock(&target.mutex.mutex);
    source.unref();
    source.unref();
}

// Decision: bound()'s fast path is one acquire load, paired with the release
// stores of every binding and unbinding; callers use the service without a
// reference of their own while its module keeps it alive.
TEST_F(StubTemplates, BoundFastPathRacesWithBindingAndUnbinding) {
    constexpr int kUsers = 2, kCyclers = 2, kCalls = 20000, kCycles = 4000;
    OfferedService offered;
    {
        CMN_ServiceStub<TestService_Interface> stub(kServiceID);
        std::atomic<int> nulls{0}, wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kUsers; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < kCalls; ++i) {
                    TestService_Interface* p = stub.bound();
                    if (p == nullptr)
                        ++nulls;
                    else if (p->Ping() != 9)
                        ++wrong;
                }
            });
        for (int t = 0; t < kCyclers; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < kCycles; ++i) {
                    stub.ref();
                    stub.unref();
                }
            });
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(nulls, 0);
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(offered.service->pings, kUsers * kCalls);
        EXPECT_EQ(stub.useCount, 0);
        EXPECT_LE(offered.extraReferences(), 1) << "bound at most once at a time";
        EXPECT_EQ(static_cast<int>(offered.service->_getHolders()->count), offered.service->references());
    }
    EXPECT_EQ(offered.extraReferences(), 0);
}
