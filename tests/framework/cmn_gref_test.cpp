#include "cmn_gref.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

std::vector<CMN_GRPHolder*> ListedHolders(CMN_GuardedRef& o) {
    std::vector<CMN_GRPHolder*> out;
    o.lockHolderList();
    for (sitem<CMN_GRPHolder>* it = o._getHolders()->head; it != nullptr; it = it->next) out.push_back(it->item);
    o.unlockHolderList();
    return out;
}

// Checks every link of a holder list: prevLink of each item points at the
// pointer that points at it, and the count matches.
::testing::AssertionResult ListIsLinked(slist<CMN_GRPHolder>& list) {
    sitem<CMN_GRPHolder>** expectPrev = &list.head;
    unsigned int n = 0;
    for (sitem<CMN_GRPHolder>* it = list.head; it != nullptr; it = it->next, ++n) {
        if (it->prevLink != expectPrev) return ::testing::AssertionFailure() << "item " << n << " has a bad prevLink";
        expectPrev = &it->next;
    }
    if (n != list.count) return ::testing::AssertionFailure() << n << " items, count " << list.count;
    return ::testing::AssertionSuccess();
}

using GuardedRef = FrameworkTest;

}  // namespace

TEST_F(GuardedRef, NewObjectsAreUnreferencedAndRegisteredNewestFirst) {
    auto* first = new Probe("first");
    EXPECT_EQ(first->references(), 0);
    EXPECT_EQ(first->listed(), 0u);
    EXPECT_EQ(first->_getHolders()->head, nullptr);
    EXPECT_EQ(ObjectManager.objects, first);
    EXPECT_EQ(first->prevLink, &ObjectManager.objects);
    EXPECT_EQ(first->next, nullptr);

    auto* second = new Probe("second");
    EXPECT_EQ(ObjectManager.objects, second);
    EXPECT_EQ(second->next, first);
    EXPECT_EQ(first->prevLink, &second->next);
    EXPECT_EQ(second->prevLink, &ObjectManager.objects);
    delete second;
    delete first;
}

TEST_F(GuardedRef, UnregisteringKeepsTheOthersLinked) {
    auto* a = new Probe("a");
    auto* b = new Probe("b");
    auto* c = new Probe("c");
    EXPECT_EQ(RegisteredObjects(), (std::vector<CMN_GuardedRef*>{c, b, a}));

    delete b;  // the middle one
    EXPECT_EQ(RegisteredObjects(), (std::vector<CMN_GuardedRef*>{c, a}));
    EXPECT_EQ(c->next, a);
    EXPECT_EQ(a->prevLink, &c->next);

    delete c;  // the first one
    EXPECT_EQ(RegisteredObjects(), std::vector<CMN_GuardedRef*>{a});
    EXPECT_EQ(a->prevLink, &ObjectManager.objects);

    delete a;  // the only one
    EXPECT_EQ(ObjectManager.objects, nullptr);
}

TEST_F(GuardedRef, EveryConstructorBuildsTheSameFreshRegisteredObject) {
    auto* original = new Probe("original");
    TestHolder h;
    h.hold(original);
    h.hold(original);
    {
        Probe copy(*original);
        EXPECT_EQ(copy.references(), 0);
        EXPECT_EQ(copy.listed(), 0u);
        EXPECT_EQ(copy.refLock, &CMN_Reference::RefMutex);
        EXPECT_EQ(ObjectManager.objects, &copy);
        EXPECT_EQ(copy.next, original);
    }
    EXPECT_EQ(original->references(), 2);
    EXPECT_EQ(ObjectManager.objects, original);

    // The number given to the base is not read: every form starts alike.
    struct Raw : CMN_GuardedRef {
        explicit Raw(unsigned int n) : CMN_GuardedRef(n) {}
        unsigned int init() override { return 0; }
        unsigned int fini() override { return 0; }
    };
    for (unsigned int n : {0u, 1u, 0xFFFFFFFFu}) {
        Raw raw(n);
        EXPECT_EQ(raw.references(), 0);
        EXPECT_EQ(raw._getHolders()->count, 0u);
        EXPECT_EQ(ObjectManager.objects, &raw);
        EXPECT_EQ(raw.next, original);
    }
    EXPECT_EQ(original->remReference(&h), 1);
    EXPECT_EQ(h.release(), 0);
}

TEST_F(GuardedRef, HoldersAreListedPerReferenceAndLeaveMostRecentFirst) {
    auto* o = new Probe("o");
    TestHolder a, b;
    o->addReference(&a);
    o->addReference(&b);
    o->addReference(&a);
    EXPECT_EQ(o->references(), 3);
    EXPECT_EQ(ListedHolders(*o), (std::vector<CMN_GRPHolder*>{&a, &b, &a}));
    EXPECT_TRUE(ListIsLinked(*o->_getHolders()));

    sitem<CMN_GRPHolder>* oldest = o->_getHolders()->head->next->next;
    EXPECT_EQ(o->remReference(&a), 2);
    EXPECT_EQ(ListedHolders(*o), (std::vector<CMN_GRPHolder*>{&b, &a}));
    EXPECT_EQ(o->_getHolders()->head->next, oldest) << "the most recent listing leaves first";
    EXPECT_TRUE(ListIsLinked(*o->_getHolders()));

    EXPECT_EQ(o->remReference(&b), 1);
    EXPECT_EQ(ListedHolders(*o), std::vector<CMN_GRPHolder*>{&a});

    bool destroyedInside = false;
    o->onDestroy = [&](Probe& p) {
        destroyedInside = true;
        EXPECT_EQ(p.listed(), 0u) << "the holder left the list before the count fell";
        EXPECT_EQ(ObjectManager.objects, &p) << "derived destructors run while still registered";
        EXPECT_FALSE(RefMutexHeldHere());
    };
    EXPECT_EQ(o->remReference(&a), 0);
    EXPECT_TRUE(destroyedInside);
    EXPECT_EQ(ObjectManager.objects, nullptr);
    EXPECT_EQ(a.replaceCalls + b.replaceCalls, 0) << "holders are not called back";
}

TEST_F(GuardedRef, ReleaseByAnUnlistedHolderChangesNothing) {
    auto* o = new Probe("o");
    TestHolder listed, stranger;
    EXPECT_EQ(o->remReference(&stranger), 0) << "count 0: nothing to release, nothing destroyed";
    EXPECT_EQ(Probe::census.live(), 1);

    listed.hold(o);
    EXPECT_EQ(o->remReference(&stranger), 1);
    EXPECT_EQ(o->references(), 1);
    EXPECT_EQ(ListedHolders(*o), std::vector<CMN_GRPHolder*>{&listed});
    EXPECT_EQ(listed.release(), 0);
    EXPECT_EQ(Probe::census.live(), 0);
}

TEST_F(GuardedRef, CreatorDeletingAHeldObjectFreesItemsWithoutCallingHolders) {
    auto* o = new Probe("o");
    TestHolder a, b;
    a.hold(o);
    b.hold(o);
    delete o;  // the creator's delete; the items go with the object (ASan: no leak)
    EXPECT_EQ(a.replaceCalls + b.replaceCalls, 0);
    a.forget();
    b.forget();
    EXPECT_EQ(ObjectManager.objects, nullptr);
}

TEST_F(GuardedRef, ObjectManagerEntryPointsHandOutTheGlobal) {
    EXPECT_EQ(GetObjectManager(), &ObjectManager);
    EXPECT_EQ(InitObjectManager(), &ObjectManager);
    EXPECT_EQ(GetObjectManager(), InitObjectManager());
    EXPECT_EQ(ObjectManager.objLock, &CMN_Reference::RefMutex);
}

TEST(Slist, PushAndEraseKeepLinksAndCount) {
    slist<CMN_GRPHolder> list;
    TestHolder h1, h2, h3;
    // Through the table of virtual operations, as another module's code does.
    sitem<CMN_GRPHolder>* i1 = list.push_front(&h1);
    sitem<CMN_GRPHolder>* i2 = list.push_front(&h2);
    sitem<CMN_GRPHolder>* i3 = list.push_front(&h3);
    EXPECT_EQ(list.count, 3u);
    EXPECT_EQ(list.head, i3);
    EXPECT_EQ(i3->prevLink, &list.head);
    EXPECT_EQ(i2->prevLink, &i3->next);
    EXPECT_EQ(i1->next, nullptr);
    EXPECT_EQ(i2->item, &h2);

    list.eraseitem(nullptr);
    EXPECT_EQ(list.count, 3u);

    list.eraseitem(i2);  // middle
    EXPECT_EQ(list.count, 2u);
    EXPECT_EQ(i3->next, i1);
    EXPECT_EQ(i1->prevLink, &i3->next);
    EXPECT_TRUE(ListIsLinked(list));

    list.eraseitem(i3);  // head
    EXPECT_EQ(list.head, i1);
    EXPECT_EQ(i1->prevLink, &list.head);
    EXPECT_TRUE(ListIsLinked(list));
    list.push_front(&h2);
    // The destructor frees the remaining items (checked by the leak checker),
    // never the listed holders.
}

TEST(FrameworkFixture, FlagsLeftoverObjectsAndHolders) {
    ASSERT_TRUE(FrameworkIsClean());
    auto* left = new Probe("left");
    EXPECT_FALSE(FrameworkIsClean());
    delete left;
    EXPECT_TRUE(FrameworkIsClean());

    auto holder = std::make_unique<TestHolder>();
    EXPECT_FALSE(FrameworkIsClean());
    holder.reset();

    CMN_Reference::RefMutex.enter();
    EXPECT_FALSE(FrameworkIsClean());
    CMN_Reference::RefMutex.exit();
    EXPECT_TRUE(FrameworkIsClean());
}
