// Bounded multi-threaded runs of the framework's locks, reference traffic and
// registry walks. Each runs a fixed number of iterations (well under a second
// optimised, a few seconds under ThreadSanitizer); the sanitizers turn any
// lost exclusion, race, leak or double destruction into a failure.
#include "cmn_obj_mgr.h"

#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using FrameworkStress = FrameworkTest;

template <class Body>
void RunThreads(int n, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (std::thread& t : threads) t.join();
}

}  // namespace

TEST_F(FrameworkStress, RecursiveMutexKeepsMutualExclusionWhileNesting) {
    constexpr int kThreads = 4, kRounds = 20000;
    CMN_RecursiveMutex m("");
    long counter = 0;  // touched only under the lock
    std::atomic<int> badDepth{0}, refused{0};
    RunThreads(kThreads, [&](int t) {
        for (int i = 0; i < kRounds; ++i) {
            if ((i + t) % 3 == 0) {
                if (m.tryenter() == 0) {
                    ++refused;
                    m.enter();
                }
            } else {
                m.enter();
            }
            m.enter();
            if (m.tryenter() != 1) ++badDepth;
            if (m.depth != 3 || !pthread_equal(m.owner, pthread_self())) ++badDepth;
            long seen = counter;
            counter = seen + 1;
            m.exit();
            m.exit();
            if (m.depth != 1) ++badDepth;
            m.exit();
        }
    });
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_EQ(badDepth, 0);
    EXPECT_EQ(m.depth, 0u);
    EXPECT_EQ(m.owner, pthread_t(0));
}

TEST_F(FrameworkStress, ReferenceTrafficOnSharedObjectsBalances) {
    constexpr int kThreads = 4, kRounds = 5000, kObjects = 3;
    std::vector<Probe*> objects;
    std::vector<CMN_GRefPtr<Probe>> anchors;
    anchors.reserve(kObjects);
    for (int i = 0; i < kObjects; ++i) {
        objects.push_back(new Probe("shared"));
        anchors.emplace_back(objects.back());
    }
    RunThreads(kThreads, [&](int t) {
        TestHolder twice;
        for (int i = 0; i < kRounds; ++i) {
            Probe* o = objects[(i + t) % kObjects];
            CMN_GRefPtr<Probe> a(o);
            CMN_GRefPtr<Probe> b;
            b = a;
            a.replacePointee(objects[(i + t + 1) % kObjects]);
            o->addReference(&twice);
            o->addReference(&twice);
            o->remReference(&twice);
            o->remReference(&twice);
        }
    });
    for (Probe* o : objects) {
        EXPECT_EQ(o->references(), 1);
        EXPECT_EQ(o->listed(), 1u);
    }
    int const destroyedBefore = Probe::census.destroyed;
    anchors.clear();
    EXPECT_EQ(Probe::census.destroyed - destroyedBefore, kObjects);
}

TEST_F(FrameworkStress, RegistryWalksRaceWithTrafficAndObjectLifecycles) {
    constexpr int kTraffic = 2, kTrafficRounds = 20000, kLifecycleRounds = 20000, kMinWalks = 50, kShared = 4;
    TstringID const peer("PEER");

    // The shared objects are kept alive by one reference each that belongs to
    // no holder, so no walk can cut it; it is dropped at the end.
    std::vector<Probe*> shared;
    for (int i = 0; i < kShared; ++i) {
        shared.push_back(new Probe("shared"));
        shared.back()->CMN_Reference::addReference();
    }

    // The walker keeps walking while the other threads run (at least
    // kMinWalks times), so walks overlap the whole traffic.
    std::atomic<int> walksDone{0}, unhooked{0}, running{kTraffic + 1};
    std::vector<std::thread> threads;
    for (int t = 0; t < kTraffic; ++t)
        threads.emplace_back([&, t] {
            TestHolder foreign(&peer), own;
            for (int i = 0; i < kTrafficRounds; ++i) {
                foreign.hold(shared[(i + t) % kShared]);
                own.hold(shared[(i + t + 1) % kShared]);
                foreign.release();
                own.release();
            }
            --running;
        });
    threads.emplace_back([&] {
        for (int i = 0; i < kLifecycleRounds; ++i) {
            auto* o = new Probe("transient");
            if (i % 4 == 0) {
                delete o;  // never claimed: its creator deletes it
                continue;
            }
            // The creator keeps o alive with a reference of its own until
            // its holder has let go (a walk may cut the holder loose meanwhile).
            o->CMN_Reference::addReference();
            TestHolder h(i % 2 == 0 ? &peer : GetModuleID());
            h.hold(o);
            h.release();
            // o dies here, or on the walking thread when a walk's guard
            // still holds it.
            o->CMN_Reference::remReference();
        }
        --running;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kMinWalks || running > 0; ++i) {
            ObjectManager.finiAll();
            ObjectManager.moduleIsUsed();
            ObjectManager.moduleIsUsedBy(peer);
            if (DummyHolder* guard = ObjectManager.getObj()) guard->die();
            if (i % 3 == 0) unhooked += ObjectManager.unhookObjs(peer);
            if (i % 5 == 0) ObjectManager.fini();
            ++walksDone;
        }
    });
    for (std::thread& t : threads) t.join();
    EXPECT_GE(walksDone, kMinWalks);
    RecordProperty("walks", walksDone.load());

    for (Probe* o : shared) {
        EXPECT_EQ(o->listed(), 0u);
        EXPECT_EQ(o->references(), 1) << "only the anchor is left";
    }
    EXPECT_EQ(RegisteredObjects().size(), std::size_t(kShared)) << "every transient object is gone";
    for (Probe* o : shared) EXPECT_EQ(o->CMN_Reference::remReference(), 0);
}
