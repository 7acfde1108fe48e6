#pragma once
// Test doubles of the platform around a module built on the framework:
//
//   FakeModMgr      the host's module manager: answers lookups from a table;
//   ScopedModMgr    points the module's ModMgr at a manager for a scope;
//   FakeBuf         a byte buffer with real holds that records its calls;
//   FakeBufFactory  the byte-buffer service; can refuse to make buffers;
//   FakeZLib        the zlib service, making compression buffers (FakeVBuf)
//                   that answer a VBufScript;
//   PeersTest       a fixture with both peer services offered by a fresh host.
//
// Every fake counts in liveDoubles while it lives, so a test can demand that
// nothing it made outlives its last holder or hold. The fakes are guarded
// objects of the test's own module. The factory and the zlib fake may be used
// from several threads at once; a FakeBuf by one thread at a time.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cmn_abuf.h"
#include "modmgr.h"
#include "s_zlibC.h"
#include "tests/support/introspection.h"

// The host's module manager. An offer replaces an earlier offer of an equal
// identifier. The table must not change while other threads look up.
struct FakeModMgr final : ModMgr_Interface {
    // Offering null withdraws the service.
    void offer(TypifiedID const& id, CMN_GuardedRef* service) {
        for (auto& o : offers)
            if (*o.first == id) return void(o.second = service);
        offers.emplace_back(&id, service);
    }
    int moduleCount() override { return 0; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) override {
        ++lookups, lastAsking = asking;
        for (auto const& o : offers)
            if (service != nullptr && *o.first == *service) return o.second;
        return nullptr;
    }

    std::vector<std::pair<TypifiedID const*, CMN_GuardedRef*>> offers;
    std::atomic<int> lookups{0};
    std::atomic<TypifiedID const*> lastAsking{nullptr};
};

// Points the module at a manager for a scope, then restores the previous one.
struct ScopedModMgr {
    explicit ScopedModMgr(ModMgr_Interface* mgr) : saved(ModMgr) { ModMgr = mgr; }
    ~ScopedModMgr() { ModMgr = saved; }
    ModMgr_Interface* const saved;
};

inline std::atomic<int> liveDoubles{0};

// A guarded object of interface I that counts in liveDoubles and whose
// init and fini do nothing.
template <class I>
struct Fake : I {
    Fake() { ++liveDoubles; }
    ~Fake() override { --liveDoubles; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
};

// A byte buffer made with one hold for its maker. While it has a hold it keeps
// one count of its own (no holder listing), so it dies with the last of its
// holds and holders. Operations with a result code answer `code`; dup and !=
// record their argument's bytes in `calls`.
struct FakeBuf final : Fake<TBuf> {
    explicit FakeBuf(std::string b) : bytes(std::move(b)) { CMN_Reference::addReference(); }
    ~FakeBuf() override { onDestroy(); }
    int acquire() override { return acquiresLeft-- <= 0 ? -1 : ++holds; }  // -1: refused
    int release() override {
        EXPECT_GT(holds, 0) << "release() without a hold";
        if (holds > 0 && --holds == 0) CMN_Reference::remReference();  // may destroy the buffer
        return 0;
    }
    int set(char const*) override { return code; }
    int set(unsigned char const*, unsigned int) override { return code; }
    int reservedSlot5() override { return 0; }
    unsigned char* datap() override { return hasData ? reinterpret_cast<unsigned char*>(bytes.data()) : nullptr; }
    unsigned int len() override { return static_cast<unsigned int>(bytes.size()); }
    int dup(TBuf* source) override { return calls += "dup " + contentOf(source) + ";", code; }
    int reservedSlot9() override { return 0; }
    int operator!=(TBuf* other) override { return calls += "!= " + contentOf(other) + ";", code; }
    int load(char const*) override { return code; }
    int save(char const*) override { return code; }
    int shift(unsigned int) override { return code; }
    int retreat(unsigned int) override { return code; }

    static std::string contentOf(TBuf* b) { return b != nullptr ? static_cast<FakeBuf*>(b)->bytes : "null"; }

    std::string bytes, calls;
    bool hasData = true;  // false: datap() is null
    int holds = 1, acquiresLeft = 1 << 30, code = 0;
    std::function<void()> onDestroy = [] {};
};

// The byte-buffer service. It copies a source buffer's bytes, and makes
// nothing from a null source (so a missing result stays visible).
struct FakeBufFactory final : Fake<X509CmnSrv_I> {
    TBuf* createTBuf() override { return make(""); }
    TBuf* createTBuf(char const* s) override { return make(s != nullptr ? s : ""); }
    TBuf* createTBuf(unsigned char const* d, unsigned int n) override { return make(std::string(d, d + n)); }
    TBuf* createTBuf(TBuf* source) override { return source != nullptr ? make(FakeBuf::contentOf(source)) : nullptr; }

    std::atomic<int> calls{0};
    std::atomic<int> refuseFrom{-1};  // refuses every request from the n-th on (from 0); -1: never

    TBuf* make(std::string bytes) {
        int const n = calls++;
        return refuseFrom < 0 || n < refuseFrom ? new FakeBuf(std::move(bytes)) : nullptr;
    }
};

struct VBufScript {
    int compressCode = 0, decompressCode = 0;
    std::string output = "out";
};

struct FakeVBuf final : Fake<VBuffer_Interface> {
    explicit FakeVBuf(VBufScript s) : script(std::move(s)) {}
    int Compress() override { return script.compressCode; }
    int Decompress() override { return script.decompressCode; }
    unsigned int GetOutputSize() override { return static_cast<unsigned int>(script.output.size()); }
    unsigned char const* GetOutputData() override { return reinterpret_cast<uint8_t const*>(script.output.data()); }
    VBufScript script;
};

// Each compression buffer takes a copy of `script`, which must not change
// while threads make buffers.
struct FakeZLib final : Fake<CMN_ZLib_Interface> {
    int getModuleID() override { return 64; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return this; }
    VBuffer_Interface* createVBuffer(unsigned char const*, unsigned long n) override {
        ++asked, lastLen = n;
        return refuse ? nullptr : new FakeVBuf(script);
    }

    VBufScript script;
    std::atomic<bool> refuse{false};
    std::atomic<int> asked{0};
    std::atomic<unsigned long> lastLen{0};
};

// Both peers offered by a fresh host; theX509Cmn unbound at the start and the
// end. A test fails when it leaves a double alive or an object registered.
struct PeersTest : ::testing::Test {
    PeersTest() {
        x509cmn_fini();
        mgr.offer(X509CmnSrvID, buffers);
        mgr.offer(CMN_ZLibID, zlib);
    }
    void TearDown() override {
        x509cmn_fini();
        buffersHold.replacePointee(nullptr);
        zlibHold.replacePointee(nullptr);
        EXPECT_EQ(liveDoubles, 0) << "a double outlived its last holder or hold";
        EXPECT_EQ(RegisteredObjects().size(), 0u) << "an object outlived its last holder";
    }

    FakeModMgr mgr;
    ScopedModMgr link{&mgr};
    FakeBufFactory* const buffers = new FakeBufFactory;
    CMN_GRefPtr<FakeBufFactory> buffersHold{buffers};  // the peers' own holds
    FakeZLib* const zlib = new FakeZLib;
    CMN_GRefPtr<FakeZLib> zlibHold{zlib};
};
