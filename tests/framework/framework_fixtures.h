#pragma once
// Shared test types of the framework tests.
//
//   Probe          a guarded object that counts its constructions and
//                  destructions, records init()/fini() and can run a hook from
//                  inside fini() or its destructor;
//   TestHolder     a holder of any module, well-behaved or stubborn, whose
//                  pointee is atomic so the registry walks may cut it loose
//                  from another thread while its owner uses it;
//   TestService    a service object with BaseModuleInterface first and
//                  CMN_GuardedRef second, as service interfaces are built;
//   FrameworkTest  the fixture: a test fails when it leaves an object in the
//                  registry, a test object alive or RefMutex held;
//   Gate           a one-shot latch between threads;
//   NaturalLayout  offsets of a field list under natural alignment.
//
// The host's module manager, the registry snapshot and the raw slot calls
// are the shared ones of tests/support.

#include "cmn_obj_mgr.h"
#include "cmn_om_s.h"
#include "modmgr.h"
#include "tests/support/doubles.h"
#include "tests/support/introspection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Constructions and destructions of one test type.
struct Census {
    std::atomic<int> built{0};
    std::atomic<int> destroyed{0};
    int live() const { return built.load() - destroyed.load(); }
};

// An ordered record of what happened, shared between threads. Its lock is a
// CMN_Mutex, which destroys its POSIX mutex, so ThreadSanitizer never mistakes
// a later lock at the same address for this one.
class EventLog {
public:
    void add(std::string e) {
        m_.lock();
        events_.push_back(std::move(e));
        m_.unlock();
    }
    std::vector<std::string> events() {
        m_.lock();
        std::vector<std::string> copy = events_;
        m_.unlock();
        return copy;
    }

private:
    CMN_Mutex m_;
    std::vector<std::string> events_;
};

// A guarded object for tests. Hooks run on the thread that calls fini() or
// destroys the object; the log, when given, records "fini <name>" and
// "dtor <name>".
class Probe : public CMN_GuardedRef {
public:
    explicit Probe(std::string name = "", EventLog* log = nullptr) : name(std::move(name)), log(log) {
        ++census.built;
    }
    Probe(Probe const& other) : CMN_GuardedRef(other), name(other.name), log(other.log) { ++census.built; }
    ~Probe() override {
        if (onDestroy) onDestroy(*this);
        if (log != nullptr) log->add("dtor " + name);
        ++census.destroyed;
    }

    unsigned int init() override {
        ++inits;
        return 0;
    }
    unsigned int fini() override {
        ++finis;
        if (log != nullptr) log->add("fini " + name);
        if (onFini) onFini(*this);
        return 0;
    }

    // The number of items in the holder list (caller makes sure nobody
    // changes it meanwhile).
    unsigned int listed() { return _getHolders()->count; }

    static inline Census census;

    std::string name;
    EventLog* log;
    std::atomic<int> inits{0};
    std::atomic<int> finis{0};
    std::function<void(Probe&)> onFini;
    std::function<void(Probe&)> onDestroy;
};

// A holder of any module. Well-behaved holders let go when told to; stubborn
// ones ignore replacePointee. The pointee is atomic, published before the
// reference is taken and cleared only after it is released, so a walk that
// finds the holder listed always finds the pointer set; when the owner's
// release() and a walk's cut-loose meet, the first to reach the holder list
// drops the reference and the other finds nothing. The object must outlive
// the owner's release() (tests that race it with walks keep it alive).
class TestHolder final : public CMN_GRPHolder {
public:
    enum Behaviour { LetsGo, Stubborn };

    explicit TestHolder(TypifiedID const* module = GetModuleID(), Behaviour behaviour = LetsGo)
        : module(module), behaviour(behaviour) {
        ++census.built;
    }
    TestHolder(TestHolder const&) = delete;
    TestHolder& operator=(TestHolder const&) = delete;
    ~TestHolder() {
        release();
        ++census.destroyed;
    }

    void hold(CMN_GuardedRef* g) {
        pointee.store(g);
        g->addReference(this);
    }
    // Drops the reference held; the count after it, or -1 when empty.
    int release() {
        CMN_GuardedRef* p = pointee.load();
        if (p == nullptr) return -1;
        int n = p->remReference(this);
        pointee.compare_exchange_strong(p, nullptr);
        return n;
    }
    // Forgets the object without releasing (after a walk took the holder off
    // the list by force, the reference is no longer this holder's to drop).
    void forget() { pointee.store(nullptr); }

    void replacePointee(CMN_GuardedRef* g) override {
        ++replaceCalls;
        if (behaviour == Stubborn) return;
        release();
        if (g != nullptr) hold(g);
    }
    TypifiedID const* getModuleID() override { return module; }

    static inline Census census;

    TypifiedID const* const module;
    Behaviour const behaviour;
    std::atomic<CMN_GuardedRef*> pointee{nullptr};
    std::atomic<int> replaceCalls{0};
};

// A service interface built as service interfaces are: the module contract
// first, the guarded reference second, then its own operations.
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
    unsigned int fini() override { return 0; }
    int Ping() override {
        ++pings;
        return tag;
    }

    static inline Census census;

    int const tag;
    std::atomic<int> pings{0};
};

// A one-shot latch: wait() returns once open() has been called. An atomic
// flag rather than a mutex, so that opening it while holding a framework lock
// adds no lock order for ThreadSanitizer to track.
class Gate {
public:
    void open() { open_.store(true, std::memory_order_release); }
    void wait() const {
        while (!open_.load(std::memory_order_acquire)) std::this_thread::yield();
    }

private:
    std::atomic<bool> open_{false};
};

// True when the calling thread holds RefMutex.
inline bool RefMutexHeldHere() {
    CMN_RecursiveMutex& m = CMN_Reference::RefMutex;
    return __atomic_load_n(&m.depth, __ATOMIC_RELAXED) != 0 &&
           pthread_equal(__atomic_load_n(&m.owner, __ATOMIC_RELAXED), pthread_self());
}

// Nothing registered, no test object or holder alive, RefMutex free.
inline ::testing::AssertionResult FrameworkIsClean() {
    std::size_t left = RegisteredObjects().size();
    if (left != 0) return ::testing::AssertionFailure() << left << " object(s) left in the registry";
    if (Probe::census.live() != 0)
        return ::testing::AssertionFailure() << Probe::census.live() << " probe(s) alive";
    if (TestService::census.live() != 0)
        return ::testing::AssertionFailure() << TestService::census.live() << " service(s) alive";
    if (TestHolder::census.live() != 0)
        return ::testing::AssertionFailure() << TestHolder::census.live() << " holder(s) alive";
    if (CMN_Reference::RefMutex.depth != 0) return ::testing::AssertionFailure() << "RefMutex still held";
    return ::testing::AssertionSuccess();
}

// Fails every test that leaves an object registered, a test object or holder
// alive, or RefMutex held.
class FrameworkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FrameworkIsClean()) << "before the test"; }
    void TearDown() override { EXPECT_TRUE(FrameworkIsClean()) << "after the test"; }
};

// Byte offset of a member inside its object, measured on an instance (the
// classes are not standard-layout, so offsetof does not apply).
template <class Obj, class Member>
std::ptrdiff_t OffsetIn(Obj const& obj, Member const& member) {
    return reinterpret_cast<char const*>(&member) - reinterpret_cast<char const*>(&obj);
}

// One field of a shared layout: its size and alignment.
struct Field {
    std::size_t size;
    std::size_t align;
};
inline Field Ptr() { return {sizeof(void*), alignof(void*)}; }
inline Field U32() { return {4, 4}; }
template <class T>
Field Of() {
    return {sizeof(T), alignof(T)};
}

// Offsets of `fields` laid out in order with natural alignment, and the size
// of the whole (rounded up to the largest alignment).
struct NaturalLayout {
    NaturalLayout(std::initializer_list<Field> fields) {
        std::size_t at = 0;
        for (Field f : fields) {
            at = (at + f.align - 1) / f.align * f.align;
            offsets.push_back(at);
            at += f.size;
            if (f.align > align) align = f.align;
        }
        size = (at + align - 1) / align * align;
    }
    std::size_t operator[](std::size_t i) const { return offsets.at(i); }
    // The whole, as a member of an enclosing layout.
    Field asField() const { return {size, align}; }

    std::vector<std::size_t> offsets;
    std::size_t align = 1;
    std::size_t size = 0;
};
