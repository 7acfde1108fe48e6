#pragma once
// Test types of the framework tests (the stub template tests use them too):
// Probe, a guarded object that counts its lives, records fini() and runs a
// hook from fini() or its destructor; TestHolder, a holder of any module,
// well-behaved or stubborn; TestService, a service object (module contract
// first, guarded part second); FrameworkTest, which fails a test that leaves
// an object registered, a test object or holder alive, or RefMutex held.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "cmn_obj_mgr.h"
#include "cmn_om_s.h"
#include "tests/support/doubles.h"

struct Census {
    std::atomic<int> built{0}, destroyed{0};
    int live() const { return built - destroyed; }
};

class Probe : public CMN_GuardedRef {
public:
    explicit Probe(std::string name = "") : name(std::move(name)) { ++census.built; }
    ~Probe() override {
        if (onDestroy) onDestroy(*this);
        ++census.destroyed;
    }
    unsigned int init() override { return 0; }
    unsigned int fini() override {
        if (onFini) onFini(*this);
        return ++finis, 0;
    }

    static inline Census census;
    std::string name;
    int finis = 0;
    std::function<void(Probe&)> onFini, onDestroy;
};

// Holds at most one object; walks call it back on the walking thread.
class TestHolder final : public CMN_GRPHolder {
public:
    explicit TestHolder(TypifiedID const* module = GetModuleID(), bool stubborn = false)
        : module(module), stubborn(stubborn) {
        ++census.built;
    }
    ~TestHolder() { release(), ++census.destroyed; }
    void hold(CMN_GuardedRef* g) { (held = g)->addReference(this); }
    int release() {  // the count after the release; -1 when nothing is held
        CMN_GuardedRef* g = held;
        held = nullptr;
        return g != nullptr ? g->remReference(this) : -1;
    }
    void replacePointee(CMN_GuardedRef* g) override {
        ++cuts;
        if (stubborn) return;
        release();
        if (g != nullptr) hold(g);
    }
    TypifiedID const* getModuleID() override { return module; }

    static inline Census census;
    TypifiedID const* const module;
    bool const stubborn;
    CMN_GuardedRef* held = nullptr;
    int cuts = 0;
};

class TestService_Interface : public BaseModuleInterface, public CMN_GuardedRef {
public:
    virtual int Ping() = 0;
};

class TestService final : public TestService_Interface {
public:
    explicit TestService(int tag = 7) : tag(tag) { ++census.built; }
    ~TestService() override { ++census.destroyed; }
    int getModuleID() override { return tag; }
    int getVersion() override { return 1; }
    int getBuild() override { return 2; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return this; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return ++finished, 0; }
    int Ping() override { return ++pings, tag; }

    static inline Census census;
    static inline int finished = 0;  // fini() calls of every service
    int const tag;
    std::atomic<int> pings{0};
};

// The holders listed on a registered object, most recent first: a snapshot
// taken under the registry's locks (RegisteredObjects() lists the objects).
inline std::vector<CMN_GRPHolder*> ListedOn(CMN_GuardedRef* g) {
    std::vector<CMN_GRPHolder*> out;
    CMN_VisitRegistry(
        ObjectManager, [](CMN_GuardedRef*) {},
        [&](CMN_GuardedRef* o, CMN_GRPHolder* h) {
            if (o == g) out.push_back(h);
        });
    return out;
}

class FrameworkTest : public ::testing::Test {
protected:
    static ::testing::AssertionResult Clean() {
        if (!RegisteredObjects().empty()) return ::testing::AssertionFailure() << "objects left registered";
        for (Census* c : {&Probe::census, &TestHolder::census, &TestService::census})
            if (c->live() != 0) return ::testing::AssertionFailure() << c->live() << " test object(s) alive";
        if (CMN_Reference::RefMutex.depth != 0) return ::testing::AssertionFailure() << "RefMutex held";
        return ::testing::AssertionSuccess();
    }
    void SetUp() override { ASSERT_TRUE(Clean()) << "before the test"; }
    void TearDown() override { EXPECT_TRUE(Clean()) << "after the test"; }
};
