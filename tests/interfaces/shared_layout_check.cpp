// What every module of the host shares with the others. The layouts are
// checked at compile time: each expected offset follows from the field order
// with natural alignment, so the same assertions hold for the x86-64 and the
// i386 builds. The orders of virtual operations are checked by calling raw
// table slots, as another module's compiled code does.
#include <cstddef>
#include <cstring>

#include "cmn_abuf.h"
#include "cmn_obj_mgr.h"
#include "framework_fixtures.h"
#include "modmgr.h"
#include "s_zlibC.h"
#include "zipC.h"

namespace {

struct Field {
    std::size_t size, align;
};
template <class T>
constexpr Field kOf{sizeof(T), alignof(T)};
constexpr Field kPtr = kOf<void*>, kU32{4, 4};

// Fields laid out in order, each at the next multiple of its alignment; the
// whole is rounded up to the largest alignment.
template <std::size_t N>
struct Layout {
    std::size_t at[N] = {};
    std::size_t size = 0, align = 1;
    constexpr Field whole() const { return {size, align}; }
};
template <class... F>
constexpr Layout<sizeof...(F)> Natural(F... fields) {
    Layout<sizeof...(F)> l;
    Field const list[] = {fields...};
    std::size_t end = 0;
    for (std::size_t i = 0; i < sizeof...(F); ++i) {
        l.at[i] = (end + list[i].align - 1) / list[i].align * list[i].align;
        end = l.at[i] + list[i].size;
        l.align = list[i].align > l.align ? list[i].align : l.align;
    }
    l.size = (end + l.align - 1) / l.align * l.align;
    return l;
}

// Table pointer first, then the fields of the bases, then the class's own.
constexpr auto kTableOnly = Natural(kPtr);
constexpr auto kMutex = Natural(kPtr, kOf<pthread_mutex_t>);
constexpr auto kHolder = Natural(kPtr, kPtr, kPtr, kPtr, kPtr);
constexpr auto kOneHolder = Natural(kPtr, kHolder.whole());  // DummyHolder, CMN_Stub
constexpr auto kServiceStub = Natural(kPtr, kHolder.whole(), kU32, kMutex.whole());
constexpr auto kObjectStub = Natural(kPtr, kHolder.whole(), kPtr);
constexpr auto kAnyObject = Natural(kPtr, kHolder.whole(), kPtr, kU32);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define AT(T, member, layout, i) (offsetof(T, member) == (layout).at[i])
#define WHOLE(T, layout) (sizeof(T) == (layout).size && alignof(T) == (layout).align)

// The classes that the C view declares are checked against it, field by
// field, in c_view/layout_check.cpp; here: the holder template and the
// classes only C++ code shares (guards, stubs, client handles).
static_assert(AT(CMN_GRefPtr<TBuf>, factory, kHolder, 4) && WHOLE(CMN_GRefPtr<TZip_Interface>, kHolder));
static_assert(AT(DummyHolder, holder, kOneHolder, 1) && WHOLE(DummyHolder, kOneHolder));
// The stub templates and the client classes built on them, which add no field.
using ServiceStub = CMN_ServiceStub<X509CmnSrv_I>;
static_assert(AT(CMN_Stub<TBuf>, holder, kOneHolder, 1) && WHOLE(CMN_Stub<TBuf>, kOneHolder) &&
              WHOLE(TZip, kOneHolder) && WHOLE(TZipBuffer, kOneHolder));
static_assert(AT(ServiceStub, holder, kServiceStub, 1) && AT(ServiceStub, useCount, kServiceStub, 2) &&
              AT(ServiceStub, mutex, kServiceStub, 3) && WHOLE(ServiceStub, kServiceStub) &&
              WHOLE(X509CmnSrv, kServiceStub) && WHOLE(CMN_ServiceStubInterface, kTableOnly));
static_assert(AT(CMN_ObjectStub<TBuf>, holder, kObjectStub, 1) && AT(CMN_ObjectStub<TBuf>, service, kObjectStub, 2) &&
              WHOLE(CMN_ObjectStub<TBuf>, kObjectStub));
static_assert(AT(aBuf, holder, kAnyObject, 1) && AT(aBuf, service, kAnyObject, 2) && AT(aBuf, err, kAnyObject, 3) &&
              WHOLE(aBuf, kAnyObject) && WHOLE(PKIXAnyObject<TBuf>, kAnyObject));
static_assert(WHOLE(CMN_ZLib, kHolder) && WHOLE(VBuffer, kHolder));
// The 32-bit fields stay 32-bit on both ABIs.
static_assert(sizeof(ServiceStub::useCount) == 4 && sizeof(aBuf::err) == 4);
#pragma GCC diagnostic pop

// Calls slot `slot` of the table at the start of `obj` through a plain
// function pointer; reference parameters are passed as the pointers they are.
template <class R, class Obj, class... A>
R Slot(Obj* obj, std::size_t slot, A... args) {
    void* const* table;
    std::memcpy(&table, static_cast<void const*>(obj), sizeof table);
    R (*fn)(Obj*, A...);
    std::memcpy(&fn, &table[slot], sizeof fn);
    return fn(obj, args...);
}

}  // namespace

TEST_F(FrameworkTest, VirtualOperationsSitInTheSharedSlots) {
    Tuint32ID n64(64), n111(111);
    TypifiedID const* id = &n64;
    EXPECT_EQ(Slot<int>(id, 2, static_cast<TypifiedID const*>(&n111)), 1) << "val_comp";
    Slot<void>(id, 3);                                            // dump
    Slot<void>(static_cast<TypifiedID*>(new TstringID("s")), 1);  // deleting destructor

    auto* service = new TestService(5);
    BaseModuleInterface* module = service;
    EXPECT_TRUE(Slot<int>(module, 2) == 5 && Slot<int>(module, 3) == 1 && Slot<int>(module, 4) == 2);
    CMN_GuardedRef* guarded = service;
    EXPECT_EQ(Slot<CMN_GuardedRef*>(module, 5, id), guarded) << "getService";
    int const finished = TestService::finished;
    EXPECT_TRUE(Slot<unsigned int>(guarded, 2) == 0 && TestService::finished == finished) << "init";
    Slot<unsigned int>(guarded, 3);  // fini
    EXPECT_EQ(TestService::finished, finished + 1);

    CMN_GRefPtr<TestService> own;
    CMN_GRPHolder* holder = &own;
    EXPECT_EQ(Slot<TypifiedID const*>(holder, 1), GetModuleID()) << "getModuleID";
    Slot<void>(holder, 0, guarded);  // replacePointee
    EXPECT_EQ(own.get(), service);
    slist<CMN_GRPHolder> list;
    auto* item = Slot<sitem<CMN_GRPHolder>*>(&list, 0, holder);  // push_front
    EXPECT_TRUE(list.head == item && item->item == holder && list.count == 1);
    Slot<void>(&list, 1, item);  // eraseitem
    EXPECT_TRUE(list.head == nullptr && list.count == 0);

    TestHolder foreign(&n64);
    foreign.hold(guarded);
    CMN_ObjectManager* manager = GetObjectManager();
    EXPECT_EQ(Slot<int>(manager, 1), 1) << "moduleIsUsed";
    DummyHolder* guard = ObjectManager.getObj();
    Slot<void>(guard, 0);  // die
    EXPECT_EQ(service->references(), 2);
    Slot<void>(manager, 0);  // fini: every holder cut loose, the service dies
    EXPECT_TRUE(own.get() == nullptr && foreign.cuts == 1 && TestService::census.live() == 0);

    auto* stub = new CMN_ServiceStub<TBuf>(n64);  // no module manager: stays unbound
    CMN_ServiceStubInterface* users = stub;
    Slot<void>(users, 0), Slot<void>(users, 0), Slot<void>(users, 1);  // ref, ref, unref
    EXPECT_EQ(stub->useCount, 1);
    Slot<void>(users, 3);  // the deleting destructor (the leak checker sees what it fails to free)
    aBuf any(static_cast<TBuf*>(nullptr));
    any.err = 59;
    EXPECT_EQ(Slot<int>(&any, 2), 59) << "error";
    Slot<void>(new PKIXAnyObject<TBuf>(nullptr, nullptr), 1);
}
