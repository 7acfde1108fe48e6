#include "cmn_ref.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Two levels of counted class; each destructor records itself and what it
// finds of the count and the lock.
struct Trace {
    std::vector<std::string> steps;
    int countSeen = -1;
    bool lockHeldSeen = true;
};

class Counted : public CMN_Reference {
public:
    explicit Counted(Trace* trace) : trace(trace) {}
    Counted(Trace* trace, CMN_RecursiveMutex* lock) : CMN_Reference(lock), trace(trace) {}
    ~Counted() override { trace->steps.push_back("Counted"); }
    Trace* trace;
};

class MostDerived final : public Counted {
public:
    explicit MostDerived(Trace* trace) : Counted(trace) {}
    ~MostDerived() override {
        trace->steps.push_back("MostDerived");
        trace->countSeen = references();
        trace->lockHeldSeen = RefMutexHeldHere();
    }
};

}  // namespace

TEST(Reference, CountsFromZeroAndReportsTheNewCount) {
    Trace trace;
    auto* o = new MostDerived(&trace);
    EXPECT_EQ(o->references(), 0);
    EXPECT_EQ(o->refLock, &CMN_Reference::RefMutex);
    o->addReference();
    o->addReference();
    EXPECT_EQ(o->references(), 2);
    EXPECT_EQ(o->remReference(), 1);
    EXPECT_EQ(o->references(), 1);
    EXPECT_TRUE(trace.steps.empty());
    EXPECT_EQ(CMN_Reference::RefMutex.depth, 0u) << "the lock is held only around the arithmetic";
    EXPECT_EQ(o->remReference(), 0);
}

TEST(Reference, LastReleaseRunsTheMostDerivedDestructorOutsideTheLock) {
    Trace trace;
    CMN_Reference* o = new MostDerived(&trace);
    o->addReference();
    EXPECT_EQ(o->remReference(), 0);
    EXPECT_EQ(trace.steps, (std::vector<std::string>{"MostDerived", "Counted"}));
    EXPECT_EQ(trace.countSeen, 0);
    EXPECT_FALSE(trace.lockHeldSeen) << "destruction must run after the lock is left";
}

TEST(Reference, ObjectWithItsOwnLockIgnoresRefMutex) {
    Trace trace;
    CMN_RecursiveMutex own("");
    auto* o = new Counted(&trace, &own);
    EXPECT_EQ(o->refLock, &own);

    // Another thread holds RefMutex: counting under `own` does not wait for it.
    Gate taken, done;
    std::thread holder([&] {
        CMN_Reference::RefMutex.enter();
        taken.open();
        done.wait();
        CMN_Reference::RefMutex.exit();
    });
    taken.wait();
    o->addReference();
    o->addReference();
    EXPECT_EQ(o->remReference(), 1);
    EXPECT_EQ(own.depth, 0u);
    done.open();
    holder.join();
    EXPECT_EQ(o->remReference(), 0);
    EXPECT_EQ(trace.steps, std::vector<std::string>{"Counted"});
}

TEST(Reference, CopiesStartFreshAndAssignmentChangesNothing) {
    Trace trace;
    CMN_RecursiveMutex own("");
    Counted source(&trace, &own);
    for (int i = 0; i < 5; ++i) source.addReference();

    Counted copy(source);
    EXPECT_EQ(copy.references(), 0);
    EXPECT_EQ(copy.refLock, &CMN_Reference::RefMutex) << "a copy is guarded by RefMutex";
    EXPECT_EQ(source.refLock, &own);

    Counted target(&trace);
    target.addReference();
    target = source;
    EXPECT_EQ(target.references(), 1);
    EXPECT_EQ(target.refLock, &CMN_Reference::RefMutex);
    EXPECT_EQ(source.references(), 5);
    // Stack objects: their counts never reach 0 through remReference here.
    EXPECT_EQ(source.remReference(), 4);
}
