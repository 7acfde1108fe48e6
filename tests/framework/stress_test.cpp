// A bounded race, run under ThreadSanitizer in CI: holders of this module and
// of a peer come and go on shared and on short-lived objects while another
// thread walks the registry without pause. A count changed outside its lock,
// a lost exclusion or an object freed under a walk fails it.
#include <thread>
#include <vector>

#include "framework_fixtures.h"

TEST_F(FrameworkTest, RegistryWalksRaceWithReferenceTrafficAndLifecycles) {
    TstringID const peer("PEER");
    std::vector<Probe*> shared;  // each kept alive by a reference of no holder
    for (int i = 0; i < 3; ++i) (shared.emplace_back(new Probe))->CMN_Reference::addReference();
    std::atomic<int> running{3}, walks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) {
                CMN_GRefPtr<Probe> a, b;
                a.moduleID = i % 2 != 0 ? &peer : GetModuleID();
                if (t == 2) {  // a new object; every fourth is never claimed
                    auto* o = new Probe;
                    if (i % 4 == 0) {
                        delete o;
                        continue;
                    }
                    o->CMN_Reference::addReference();  // the creator's, until its holder let go
                    a.replacePointee(o);
                    a.replacePointee(nullptr);
                    o->CMN_Reference::remReference();  // o dies here or under a walk's guard
                    continue;
                }
                a.replacePointee(shared[(i + t) % 3]);
                b.replacePointee(shared[(i + t + 1) % 3]);
                a.replacePointee(shared[(i + t + 2) % 3]);
            }
            --running;
        });
    for (; running > 0 || walks < 20; ++walks) {
        ObjectManager.finiAll();
        EXPECT_LE(ObjectManager.moduleIsUsed() + ObjectManager.moduleIsUsedBy(peer), 2);
        if (DummyHolder* guard = ObjectManager.getObj()) guard->die();
        ObjectManager.unhookObjs(peer);
        if (walks % 4 == 0) ObjectManager.fini();
    }
    for (std::thread& t : threads) t.join();
    for (Probe* o : shared) EXPECT_TRUE(o->holders.count == 0 && o->CMN_Reference::remReference() == 0);
}
