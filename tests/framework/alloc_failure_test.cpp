// Allocation failures injected into each allocation of an operation in turn:
// the failure reaches the caller, every count still equals the holders listed,
// no lock stays held, and nothing a failed step built is left behind.
#include "framework_fixtures.h"
#include "tests/support/failing_allocator.h"

TEST_F(FrameworkTest, EveryFailingAllocationLeavesCountsEqualToListedHolders) {
    auto* o1 = new Probe;
    auto* o2 = new Probe;
    TestHolder anchor1, anchor2;
    anchor1.hold(o1);
    anchor2.hold(o2);
    int const steps = SweepAllocationFailures(
        [&] {
            TstringID id("ZIP"), copy(id);
            CMN_GRefPtr<Probe> a(o1), b, c(o2);
            b = a;
            c = a;
            c.replacePointee(o2);
            CMN_GRefPtr<Probe> fresh = CMN_ClaimNew(new Probe);
            ObjectManager.finiAll();
            ObjectManager.unhookObjs(id);
            ObjectManager.getObj()->die();
        },
        [&](bool) {
            EXPECT_EQ(CMN_Reference::RefMutex.depth, 0u);
            for (CMN_GuardedRef* o : RegisteredObjects())
                EXPECT_TRUE(o->holderLock.depth == 0 && unsigned(o->references()) == o->holders.count);
            EXPECT_TRUE(o1->references() == 1 && o2->references() == 1 && RegisteredObjects().size() == 2);
        });
    EXPECT_GT(steps, 10);
}
