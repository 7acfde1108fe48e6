// The layouts and the orders of virtual operations that other modules of the
// host share. Expected offsets come from the field order with natural
// alignment; actual ones are measured on instances, so the same tests hold
// for the 64-bit and the 32-bit x86 builds. Virtual operations are called
// through raw table slots, as another module's compiled code calls them.
#include "cmn_stub.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace {

using SharedLayout = FrameworkTest;
using VirtualSlots = FrameworkTest;

Field const kPtr = Ptr();
Field const kU32 = U32();
Field const kPosixMutex = Of<pthread_mutex_t>();
Field const kThreadID = Of<pthread_t>();

// Shared layouts, each as the list of its fields (the table pointer first;
// a base class's fields precede the derived class's own).
NaturalLayout const kTypifiedID{kPtr, kU32};
NaturalLayout const kTuint32ID{kPtr, kU32, kU32};
NaturalLayout const kTstringID{kPtr, kU32, kPtr};
NaturalLayout const kMutex{kPtr, kPosixMutex};
NaturalLayout const kRecursiveMutex{kPtr, kPosixMutex, kU32, kThreadID};
NaturalLayout const kReference{kPtr, kPtr, kU32};
NaturalLayout const kItem{kPtr, kPtr, kPtr};
NaturalLayout const kList{kPtr, kPtr, kU32};
NaturalLayout const kGuardedRef{kPtr, kPtr, kU32, kList.asField(), kRecursiveMutex.asField(), kPtr, kPtr};
NaturalLayout const kHolder{kPtr, kPtr, kPtr, kPtr, kPtr};
NaturalLayout const kObjectManager{kPtr, kMutex.asField(), kPtr, kPtr};
NaturalLayout const kDummyHolder{kPtr, kHolder.asField()};
NaturalLayout const kStub{kPtr, kHolder.asField()};
NaturalLayout const kServiceStub{kPtr, kHolder.asField(), kU32, kMutex.asField()};
NaturalLayout const kObjectStub{kPtr, kHolder.asField(), kPtr};
NaturalLayout const kAnyObject{kPtr, kHolder.asField(), kPtr, kU32};

// `measured` holds the offsets of the fields after the table pointer, in
// order; the table pointer itself is at offset 0 (the slot tests read it there).
template <class Obj>
::testing::AssertionResult Matches(Obj const& obj, std::vector<std::ptrdiff_t> const& measured,
                                   NaturalLayout const& expected) {
    if (measured.size() + 1 != expected.offsets.size())
        return ::testing::AssertionFailure() << "test lists " << measured.size() << " fields";
    for (std::size_t i = 0; i < measured.size(); ++i)
        if (measured[i] != static_cast<std::ptrdiff_t>(expected[i + 1]))
            return ::testing::AssertionFailure()
                   << "field " << i + 1 << " at " << measured[i] << ", expected " << expected[i + 1];
    if (sizeof obj != expected.size)
        return ::testing::AssertionFailure() << "size " << sizeof obj << ", expected " << expected.size;
    if (alignof(Obj) != expected.align)
        return ::testing::AssertionFailure() << "alignment " << alignof(Obj) << ", expected " << expected.align;
    return ::testing::AssertionSuccess();
}

// Records which of its operations ran.
class SpyID final : public TypifiedID {
public:
    explicit SpyID(std::vector<std::string>* log) : TypifiedID(IDT_STRING), log(log) {}
    ~SpyID() override { log->push_back("~SpyID"); }
    int val_comp(TypifiedID const&) const override {
        log->push_back("val_comp");
        return 42;
    }
    void dump() const override { log->push_back("dump"); }
    std::vector<std::string>* log;
};

}  // namespace

TEST_F(SharedLayout, Identifiers) {
    Tuint32ID number(64);
    TstringID string("ZIP");
    // The abstract base is measured through its derived classes.
    EXPECT_EQ(OffsetIn(number, number.type), static_cast<std::ptrdiff_t>(kTypifiedID[1]));
    EXPECT_EQ(sizeof(TypifiedID), kTypifiedID.size);
    EXPECT_TRUE(Matches(number, {OffsetIn(number, number.type), OffsetIn(number, number.value)}, kTuint32ID));
    EXPECT_TRUE(Matches(string, {OffsetIn(string, string.type), OffsetIn(string, string.value)}, kTstringID));
    EXPECT_EQ(sizeof number.type, 4u);
    EXPECT_EQ(sizeof number.value, 4u);
    EXPECT_EQ(sizeof(IDType_t), 4u);
}

TEST_F(SharedLayout, LocksAndCounts) {
    CMN_Mutex mutex;
    EXPECT_TRUE(Matches(mutex, {OffsetIn(mutex, mutex.mutex)}, kMutex));

    CMN_RecursiveMutex& rm = CMN_Reference::RefMutex;
    EXPECT_TRUE(Matches(rm, {OffsetIn(rm, rm.mutex), OffsetIn(rm, rm.depth), OffsetIn(rm, rm.owner)},
                        kRecursiveMutex));
    EXPECT_EQ(sizeof rm.depth, 4u);
    EXPECT_EQ(sizeof rm.owner, sizeof(pthread_t));

    CMN_Reference ref;
    EXPECT_TRUE(Matches(ref, {OffsetIn(ref, ref.refLock), OffsetIn(ref, ref.refCount)}, kReference));
    EXPECT_EQ(sizeof ref.refCount, 4u);
}

TEST_F(SharedLayout, HolderListAndGuardedReference) {
    sitem<CMN_GRPHolder> item{};
    EXPECT_EQ(OffsetIn(item, item.next), static_cast<std::ptrdiff_t>(kItem[0]));
    EXPECT_EQ(OffsetIn(item, item.prevLink), static_cast<std::ptrdiff_t>(kItem[1]));
    EXPECT_EQ(OffsetIn(item, item.item), static_cast<std::ptrdiff_t>(kItem[2]));
    EXPECT_EQ(sizeof item, kItem.size);

    slist<CMN_GRPHolder> list;
    EXPECT_TRUE(Matches(list, {OffsetIn(list, list.head), OffsetIn(list, list.count)}, kList));
    EXPECT_EQ(sizeof list.count, 4u);

    Probe probe;
    CMN_GuardedRef& g = probe;
    ASSERT_EQ(static_cast<void*>(&g), static_cast<void*>(&probe));
    EXPECT_TRUE(Matches(g,
                        {OffsetIn(g, g.refLock), OffsetIn(g, g.refCount), OffsetIn(g, g.holders),
                         OffsetIn(g, g.holderLock), OffsetIn(g, g.prevLink), OffsetIn(g, g.next)},
                        kGuardedRef));
}

TEST_F(SharedLayout, HoldersRegistryAndGuards) {
    CMN_GRefPtr<Probe> h;
    EXPECT_TRUE(Matches(h,
                        {OffsetIn(h, h.serviceID), OffsetIn(h, h.pointee), OffsetIn(h, h.moduleID),
                         OffsetIn(h, h.factory)},
                        kHolder));
    EXPECT_EQ(sizeof(CMN_GRefPtr<TestService_Interface>), kHolder.size);
    EXPECT_EQ(sizeof(CMN_GRefPtr<CMN_GuardedRef>), kHolder.size);

    CMN_ObjectManager& om = ObjectManager;
    EXPECT_TRUE(Matches(om, {OffsetIn(om, om.guardMutex), OffsetIn(om, om.objLock), OffsetIn(om, om.objects)},
                        kObjectManager));

    DummyHolder guard(nullptr);
    EXPECT_TRUE(Matches(guard, {OffsetIn(guard, guard.holder)}, kDummyHolder));
}

TEST_F(SharedLayout, StubTemplates) {
    CMN_Stub<Probe> stub;
    EXPECT_TRUE(Matches(stub, {OffsetIn(stub, stub.holder)}, kStub));

    Tuint32ID id(111);
    CMN_ServiceStub<TestService_Interface> svc(id);
    EXPECT_EQ(static_cast<void*>(static_cast<CMN_ServiceStubInterface*>(&svc)), static_cast<void*>(&svc));
    EXPECT_EQ(sizeof(CMN_ServiceStubInterface), sizeof(void*)) << "a table pointer and no fields";
    EXPECT_TRUE(Matches(svc, {OffsetIn(svc, svc.holder), OffsetIn(svc, svc.useCount), OffsetIn(svc, svc.mutex)},
                        kServiceStub));
    EXPECT_EQ(sizeof svc.useCount, 4u);

    CMN_ObjectStub<Probe> object(nullptr, nullptr);
    EXPECT_TRUE(Matches(object, {OffsetIn(object, object.holder), OffsetIn(object, object.service)}, kObjectStub));

    PKIXAnyObject<Probe> any(nullptr, nullptr);
    EXPECT_TRUE(Matches(any, {OffsetIn(any, any.holder), OffsetIn(any, any.service), OffsetIn(any, any.err)},
                        kAnyObject));
    EXPECT_EQ(sizeof any.err, 4u);
}

TEST_F(VirtualSlots, TypifiedID) {
    std::vector<std::string> log;
    Tuint32ID other(5);
    {
        SpyID spy(&log);
        TypifiedID const* id = &spy;
        EXPECT_EQ((CallSlot<int(TypifiedID const&)>(id, 2, other)), 42);
        CallSlot<void()>(id, 3);
        EXPECT_EQ(log, (std::vector<std::string>{"val_comp", "dump"}));
    }
    log.clear();
    // Slot 0: the complete-object destructor leaves the storage alone.
    alignas(SpyID) unsigned char storage[sizeof(SpyID)];
    TypifiedID* inPlace = new (storage) SpyID(&log);
    CallSlot<void()>(inPlace, 0);
    EXPECT_EQ(log, std::vector<std::string>{"~SpyID"});
    // Slot 1: the deleting destructor also frees (the leak checker sees it).
    log.clear();
    TypifiedID* onHeap = new SpyID(&log);
    CallSlot<void()>(onHeap, 1);
    EXPECT_EQ(log, std::vector<std::string>{"~SpyID"});

    // The framework's own identifiers answer through the same slots.
    Tuint32ID n64(64), n111(111);
    EXPECT_EQ((CallSlot<int(TypifiedID const&)>(static_cast<TypifiedID const*>(&n64), 2, n111)), 1);
    TstringID zip("ZIP"), zip2("ZIP");
    EXPECT_EQ((CallSlot<int(TypifiedID const&)>(static_cast<TypifiedID const*>(&zip), 2, zip2)), 0);
    TypifiedID* heapString = new TstringID("owned");
    CallSlot<void()>(heapString, 1);  // frees the string as well
}

TEST_F(VirtualSlots, HolderAndHolderList) {
    TstringID peer("PEER");
    TestHolder spy(&peer);
    CMN_GRPHolder* h = &spy;
    CallSlot<void(CMN_GuardedRef*)>(h, 0, nullptr);
    EXPECT_EQ(spy.replaceCalls, 1);
    EXPECT_EQ((CallSlot<TypifiedID const*()>(h, 1)), &peer);

    auto* o = new Probe("o");
    CMN_GRefPtr<Probe> typed;
    CMN_GRPHolder* th = &typed;
    EXPECT_EQ((CallSlot<TypifiedID const*()>(th, 1)), GetModuleID());
    CallSlot<void(CMN_GuardedRef*)>(th, 0, o);
    EXPECT_EQ(typed.pointee, o);
    EXPECT_EQ(o->references(), 1);

    slist<CMN_GRPHolder> list;
    auto* item = CallSlot<sitem<CMN_GRPHolder>*(CMN_GRPHolder*)>(&list, 0, h);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(list.head, item);
    EXPECT_EQ(item->item, h);
    EXPECT_EQ(list.count, 1u);
    CallSlot<void(sitem<CMN_GRPHolder>*)>(&list, 1, item);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.count, 0u);

    CallSlot<void(CMN_GuardedRef*)>(th, 0, nullptr);
    EXPECT_EQ(Probe::census.live(), 0);
}

TEST_F(VirtualSlots, GuardedRef) {
    auto* probe = new Probe("p");
    CMN_GuardedRef* g = probe;
    EXPECT_EQ(CallSlot<unsigned int()>(g, 2), 0u);
    EXPECT_EQ(probe->inits, 1);
    EXPECT_EQ(probe->finis, 0);
    EXPECT_EQ(CallSlot<unsigned int()>(g, 3), 0u);
    EXPECT_EQ(probe->finis, 1);
    EXPECT_EQ(probe->inits, 1);

    int const destroyedBefore = Probe::census.destroyed;
    CallSlot<void()>(g, 1);  // deleting destructor: unregistered and freed
    EXPECT_EQ(Probe::census.destroyed - destroyedBefore, 1);
    EXPECT_EQ(ObjectManager.objects, nullptr);

    alignas(Probe) unsigned char storage[sizeof(Probe)];
    CMN_GuardedRef* inPlace = new (storage) Probe("in place");
    EXPECT_EQ(ObjectManager.objects, inPlace);
    CallSlot<void()>(inPlace, 0);  // complete-object destructor: unregistered, storage kept
    EXPECT_EQ(Probe::census.destroyed - destroyedBefore, 2);
    EXPECT_EQ(ObjectManager.objects, nullptr);
}

TEST_F(VirtualSlots, ObjectManagerAsTheHostCallsIt) {
    TstringID peer("PEER");
    auto* o = new Probe("o");
    TestHolder foreign(&peer);
    foreign.hold(o);
    CMN_ObjectManager* om = GetObjectManager();
    EXPECT_EQ(CallSlot<int()>(om, 1), 1) << "slot 1 is moduleIsUsed";
    EXPECT_EQ(foreign.replaceCalls, 0);
    CallSlot<void()>(om, 0);  // slot 0 is fini: cuts every holder loose
    EXPECT_EQ(foreign.replaceCalls, 1);
    EXPECT_EQ(CallSlot<int()>(om, 1), 0);
    EXPECT_EQ(ObjectManager.objects, nullptr);

    auto* guarded = new Probe("guarded");
    TestHolder own;
    own.hold(guarded);
    DummyHolder* guard = ObjectManager.getObj();
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(guarded->references(), 2);
    CallSlot<void()>(guard, 0);  // slot 0 of a guard is die
    EXPECT_EQ(guarded->references(), 1);
}

TEST_F(VirtualSlots, StubTemplates) {
    TstringID host("HOST");
    auto* service = new TestService(3);
    TestHolder keeper(&host);
    keeper.hold(service);
    FakeModMgr mgr;
    Tuint32ID id(111);
    mgr.offer(id, service);
    ScopedModMgr link(&mgr);

    auto* svc = new CMN_ServiceStub<TestService_Interface>(id);
    CMN_ServiceStubInterface* asInterface = svc;
    CallSlot<void()>(asInterface, 0);  // ref
    EXPECT_EQ(svc->useCount, 1);
    EXPECT_EQ(svc->holder.pointee, static_cast<TestService_Interface*>(service));
    CallSlot<void()>(asInterface, 1);  // unref
    EXPECT_EQ(svc->useCount, 0);
    EXPECT_EQ(svc->holder.pointee, nullptr);
    svc->ref();
    EXPECT_EQ(service->references(), 2);
    CallSlot<void()>(svc, 3);  // the deleting destructor of a bound stub drops its reference
    EXPECT_EQ(service->references(), 1);

    auto* any = new PKIXAnyObject<Probe>(new Probe("o"), nullptr);
    EXPECT_EQ(CallSlot<int()>(any, 2), 0) << "slot 2 is error";
    any->err = 59;
    EXPECT_EQ(CallSlot<int()>(any, 2), 59);
    CallSlot<void()>(any, 1);  // deleting destructor releases the object
    EXPECT_EQ(Probe::census.live(), 0);

    auto* stub = new CMN_Stub<TestService_Interface>(id);
    EXPECT_EQ(service->references(), 2);
    CallSlot<void()>(stub, 1);
    EXPECT_EQ(service->references(), 1);
}

TEST_F(VirtualSlots, BaseModuleInterface) {
    auto* service = new TestService(7);
    BaseModuleInterface* module = service;
    EXPECT_EQ(CallSlot<int()>(module, 2), 7) << "getModuleID";
    EXPECT_EQ(CallSlot<int()>(module, 3), 1) << "getVersion";
    EXPECT_EQ(CallSlot<int()>(module, 4), 2) << "getBuild";
    Tuint32ID any(0);
    EXPECT_EQ((CallSlot<CMN_GuardedRef*(TypifiedID const&)>(module, 5, any)), static_cast<CMN_GuardedRef*>(service))
        << "getService";
    CallSlot<void()>(module, 1);  // the deleting destructor frees the whole service
    EXPECT_EQ(TestService::census.live(), 0);

    alignas(TestService) unsigned char storage[sizeof(TestService)];
    BaseModuleInterface* inPlace = new (storage) TestService(8);
    CallSlot<void()>(inPlace, 0);
    EXPECT_EQ(TestService::census.live(), 0);
    EXPECT_EQ(ObjectManager.objects, nullptr);
}
