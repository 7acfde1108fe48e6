// The framework's promises, each test exercising several at once: typed
// identifiers, the recursive mutex, counts and holder lists, the registry and
// its walks, typed holders, and the module's load and unload calls.
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include "cmn_init_order.h"
#include "cmn_module_entry.h"
#include "framework_fixtures.h"

namespace {

using Framework = FrameworkTest;
TstringID const kPeer("PEER");
Tuint32ID const kServiceID(64);

// A string-kind identifier whose values always compare equal.
struct AnyString final : TypifiedID {
    AnyString() : TypifiedID(IDT_STRING) {}
    int val_comp(TypifiedID const&) const override { return 0; }
    void dump() const override {}
};

// Every item's prevLink points at the pointer that points at the item.
template <class T>
bool Linked(T* const& head) {
    T* const* want = &head;
    for (T* it = head; it != nullptr; want = &it->next, it = it->next)
        if (it->prevLink != want) return false;
    return true;
}

}  // namespace

TEST(Identifiers, EqualOnlyForTheSameKindAndValueAndOrderedByTheArgument) {
    Tuint32ID n0(0), n64(64), n111(111), nMax(UINT_MAX);
    TstringID zip("ZIP"), lower("zip"), ziq("ZIQ"), empty(""), fromNull(nullptr);
    AnyString anyString;
    int const kKinds = 2;  // the kinds differ: no order to check
    struct {
        TypifiedID const *a, *b;
        bool equal;
        int order;
    } const cases[] = {
        {&n64, &n111, false, 1},     {&n111, &n64, false, -1},         {&n0, &nMax, false, 1},
        {&nMax, &nMax, true, 0},     {&zip, &ziq, false, 1},           {&ziq, &zip, false, -1},
        {&zip, &lower, false, 1},    {&zip, &empty, false, -1},        {&empty, &fromNull, true, 0},
        {&anyString, &zip, true, 0}, {&anyString, &n0, false, kKinds},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(*c.a == *c.b, c.equal) << &c - cases;
        int const sign = c.order == kKinds ? kKinds : c.a->val_comp(*c.b);
        EXPECT_EQ(sign == kKinds ? kKinds : (sign > 0) - (sign < 0), c.order) << &c - cases;
    }
    auto original = std::make_unique<TstringID>("ZIP");
    TstringID copy(*original);
    EXPECT_NE(copy.value, original->value) << "a copy owns its own array";
    original.reset();
    EXPECT_TRUE(copy == zip);
}

// Static construction order: the module-wide reference lock exists before
// the registry that points at it and everything built after it. A global of
// the registry's rank sees whether the lock's table pointer is set yet
// (static storage is zero before construction).
bool refMutexBuiltBeforeRegistry = false;
struct RegistryRankProbe {
    RegistryRankProbe() {
        void* table = nullptr;
        std::memcpy(&table, static_cast<void const*>(&CMN_Reference::RefMutex), sizeof table);
        refMutexBuiltBeforeRegistry = table != nullptr;
    }
} registryRankProbe CMN_INIT_RANK(CMN_INIT_OBJECT_MANAGER);

TEST(Locks, TheReferenceLockIsBuiltBeforeTheRegistry) { EXPECT_TRUE(refMutexBuiltBeforeRegistry); }

TEST(Locks, RecursiveMutexNestsForItsOwnerAndExcludesEveryOtherThread) {
    CMN_RecursiveMutex m("");
    auto elsewhere = [&m] {
        int got = -1;
        std::thread([&] {
            if ((got = m.tryenter()) == 1) m.exit();
        }).join();
        return got;
    };
    EXPECT_EQ(m.tryenter(), 1);
    m.enter();
    EXPECT_EQ(m.tryenter(), 1) << "the owner nests over its own POSIX mutex";
    EXPECT_TRUE(m.depth == 3 && pthread_equal(m.owner, pthread_self()));
    m.exit();
    m.exit();
    EXPECT_EQ(elsewhere(), 0) << "one level is still held";
    m.exit();
    EXPECT_EQ(m.owner, pthread_t(0));
    EXPECT_EQ(elsewhere(), 1);
    EXPECT_EQ(m.depth, 0u);
}

TEST_F(Framework, HoldersAreListedPerReferenceAndTheLastReleaseDestroys) {
    auto* o = new Probe;
    TestHolder a, b, stranger;
    EXPECT_EQ(o->remReference(&stranger), 0) << "an unlisted holder releases nothing";
    o->addReference(&a);
    o->addReference(&b);
    o->addReference(&a);
    EXPECT_EQ(ListedOn(o), (std::vector<CMN_GRPHolder*>{&a, &b, &a}));
    sitem<CMN_GRPHolder>* oldest = o->holders.head->next->next;
    EXPECT_EQ(o->remReference(&a), 2);
    EXPECT_EQ(o->holders.head->next, oldest) << "the most recent listing leaves first";
    EXPECT_TRUE(Linked(o->holders.head));
    EXPECT_EQ(o->remReference(&stranger), 2);
    EXPECT_TRUE(o->remReference(&b) == 1 && o->holders.count == 1);
    o->onDestroy = [&](Probe& p) {
        EXPECT_EQ(p.holders.count, 0u);
        EXPECT_EQ(CMN_Reference::RefMutex.depth, 0u) << "destroyed after the count's lock is left";
        EXPECT_EQ(RegisteredObjects().front(), &p) << "registered until the base part goes";
    };
    EXPECT_TRUE(o->remReference(&a) == 0 && Probe::census.live() == 0);
    EXPECT_EQ(a.cuts + b.cuts, 0) << "a dying object does not call its holders";

    auto* first = new Probe;
    auto* middle = new Probe;
    auto* last = new Probe;
    EXPECT_EQ(RegisteredObjects(), (std::vector<CMN_GuardedRef*>{last, middle, first}));
    delete middle;
    delete last;
    EXPECT_TRUE(RegisteredObjects() == std::vector<CMN_GuardedRef*>{first} && Linked(ObjectManager.objects));
    delete first;
}

TEST_F(Framework, RegistryQueriesAndWalks) {
    auto* older = new Probe("older");
    auto* newer = new Probe("newer");
    auto* unclaimed = new Probe;  // count 0: every walk passes over it
    TstringID const other("OTHER");
    TestHolder own, peer1(&kPeer), peer2(&kPeer), stubborn(&kPeer, true), otherHolder(&other);
    own.hold(newer);
    EXPECT_TRUE(ObjectManager.moduleIsUsed() == 0 && ObjectManager.moduleIsUsedBy(*GetModuleID()) == 1);
    DummyHolder* guard = ObjectManager.getObj();
    EXPECT_EQ(guard->holder.get(), newer) << "the newest object somebody holds";
    EXPECT_EQ(ObjectManager.moduleIsUsed(), 0) << "a guard is the module's own holder";
    for (TestHolder* h : {&peer1, &peer2, &stubborn}) h->hold(older);
    otherHolder.hold(newer);
    EXPECT_TRUE(ObjectManager.moduleIsUsed() == 1 && ObjectManager.moduleIsUsedBy(kPeer) == 1);
    EXPECT_EQ(ObjectManager.moduleIsUsedBy(TstringID("NOBODY")), 0);

    std::string finished;
    older->onFini = newer->onFini = [&](Probe& p) { finished += p.name + " "; };
    ObjectManager.finiAll();
    EXPECT_TRUE(finished == "newer older " && unclaimed->finis == 0) << finished;
    EXPECT_EQ(own.cuts + peer1.cuts + otherHolder.cuts, 0) << "finiAll cuts nobody loose";

    EXPECT_EQ(ObjectManager.unhookObjs(*GetModuleID()), 2) << "own holder and handed-out guard";
    EXPECT_EQ(guard->holder.get(), nullptr);
    guard->die();
    EXPECT_EQ(ObjectManager.unhookObjs(kPeer), 2) << "the stubborn holder is not counted";
    EXPECT_TRUE(stubborn.cuts == 1 && older->holders.count == 0) << "taken off by force";
    EXPECT_TRUE(older->references() == 1 && newer->references() == 1) << "its reference stays counted";

    ObjectManager.fini();
    EXPECT_EQ(otherHolder.cuts, 1);
    EXPECT_EQ(RegisteredObjects(), (std::vector<CMN_GuardedRef*>{unclaimed, older}))
        << "newer died with its last holder";
    DummyHolder* last = ObjectManager.getObj();
    EXPECT_EQ(last->holder.get(), older);
    stubborn.held = nullptr;  // the forced-off reference is dropped by hand
    EXPECT_EQ(older->CMN_Reference::remReference(), 1);
    last->die();
    delete unclaimed;  // its creator still owns it
}

TEST_F(Framework, WalksKeepTheNextObjectAliveWhileTheCurrentOneIsWorkedOn) {
    auto* older = new Probe;
    auto* newer = new Probe;
    TestHolder a(&kPeer), b(&kPeer);
    a.hold(older);
    b.hold(newer);
    newer->onFini = [&](Probe&) {
        a.release();
        EXPECT_EQ(Probe::census.live(), 2) << "the walk still holds the next object";
    };
    ObjectManager.finiAll();
    EXPECT_EQ(RegisteredObjects(), std::vector<CMN_GuardedRef*>{newer}) << "older died when the walk let go";
}

TEST_F(Framework, TypedHoldersCopyAssignReplaceAndLookUp) {
    auto* o = new Probe;
    auto* other = new Probe;
    Tuint32ID const otherID(7);
    CMN_GRefPtr<Probe> a(o);
    a.serviceID = &kServiceID;
    CMN_GRefPtr<Probe> copy(a), empty, full(other);
    EXPECT_TRUE(copy.serviceID == &kServiceID && copy.getModuleID() == GetModuleID());
    CMN_GRefPtr<Probe>& alias = a;
    a = alias;
    a = copy;
    EXPECT_EQ(ListedOn(o), (std::vector<CMN_GRPHolder*>{&copy, &a})) << "same object: nothing changes";
    full.serviceID = &otherID;
    empty = a;
    full = a;
    EXPECT_TRUE(empty.serviceID == &kServiceID && full.serviceID == &otherID) << "only an empty target adopts it";
    EXPECT_EQ(o->references(), 4);
    EXPECT_EQ(Probe::census.live(), 1) << "full's old object died with its reference";

    Probe* seen = nullptr;
    o->onDestroy = [&](Probe&) { seen = full.loadPointee(); };
    for (CMN_GRefPtr<Probe>* h : {&a, &copy, &empty}) h->replacePointee(nullptr);
    full.replacePointee(new Probe);
    EXPECT_EQ(seen, o) << "the pointer changes only after the release";

    static TypifiedID const* asked = nullptr;
    CMN_GRefPtr<Probe> made(kServiceID, false);
    made.factory = [](TypifiedID const* id) -> CMN_GuardedRef* { return asked = id, new Probe; };
    made.initPointee();
    EXPECT_TRUE(asked == &kServiceID && made.get()->references() == 1);

    FakeModMgr host;
    CMN_GRefPtr<TestService_Interface> early(kServiceID, true);  // no manager yet: finds nothing
    auto* service = new TestService;
    host.offer(kServiceID, service);
    ScopedModMgr link(&host);
    CMN_GRefPtr<TestService_Interface> lazy(kServiceID, false);
    EXPECT_TRUE(early.get() == nullptr && host.lookups == 0);
    lazy.initPointee();
    EXPECT_TRUE(lazy.get() == service && host.lastAsking == GetModuleID());
    EXPECT_EQ(ListedOn(service), std::vector<CMN_GRPHolder*>{&lazy}) << "the second base is the guarded part";
}

TEST_F(Framework, ModuleEntryLoadsAndUnloads) {
    FakeModMgr host;
    ScopedModMgr restore(nullptr);
    CMN_GRefPtr<TestService> stub;
    EXPECT_EQ(CMN_ModuleEntry<TestService>(&host, 1, stub), nullptr);
    EXPECT_TRUE(GetModMgr() == &host && stub.get() == nullptr);
    CMN_ModuleEntry<TestService>(&host, 0, stub);
    BaseModuleInterface* service = CMN_ModuleEntry<TestService>(&host, 0, stub);
    EXPECT_TRUE(service == stub.get() && TestService::census.live() == 1) << "the earlier one lost the stub's hold";
    EXPECT_EQ(ListedOn(stub.get()), std::vector<CMN_GRPHolder*>{&stub});
    auto* probe = new Probe;
    TestHolder own;
    own.hold(probe);
    int const finished = TestService::finished;
    EXPECT_EQ(CMN_ModuleEntry<TestService>(nullptr, 0, stub), nullptr);
    EXPECT_EQ(TestService::finished, finished + 1) << "finished while the stub still held it";
    EXPECT_TRUE(probe->finis == 1 && stub.get() == nullptr && TestService::census.live() == 0);
}
