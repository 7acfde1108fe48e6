#pragma once
// Test doubles of the platform around a module built on the framework, shared
// by every in-process test binary:
//
//   FakeModMgr      the host's module manager: answers lookups from a table;
//   ScopedModMgr    points the test module's ModMgr at a manager for a scope;
//   PeerService<T>  a peer's own hold on its service object, offered to a
//                   FakeModMgr under an identifier until the peer unloads;
//   FakeBuf         a byte buffer with real holds, that records its calls;
//   FakeBufFactory  the byte-buffer service; can refuse to make buffers;
//   FakeVBuf        a compression buffer that answers from a VBufScript;
//   FakeZLib        the zlib service (identifier 64), making FakeVBufs.
//
// Every fake counts its live instances (LiveDoubles() sums them), so a test
// can demand that nothing it made outlives its last holder or hold. The fakes
// are guarded objects of the test module itself. The factory and the zlib
// fake may be used from several threads at once, as the peers they stand for;
// a FakeBuf is used by one thread at a time.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cmn_grefptr.h"
#include "modmgr.h"
#include "tbuf.h"
#include "zlib_service.h"

// The host's module manager. Offers replace an earlier offer of an equal
// identifier. The table must not change while other threads look up; the
// counters may be read at any time.
class FakeModMgr final : public ModMgr_Interface {
public:
    void offer(TypifiedID const& id, CMN_GuardedRef* service);
    void withdraw(TypifiedID const& id);
    void withdrawAll() { offers.clear(); }

    int moduleCount() override { return 0; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) override;

    std::vector<std::pair<TypifiedID const*, CMN_GuardedRef*>> offers;
    std::atomic<int> lookups{0};
    std::atomic<TypifiedID const*> lastAsking{nullptr};
};

// Points the module at a manager for a scope, then restores the previous one,
// so no module global is left pointing at a manager that is gone.
class ScopedModMgr {
public:
    explicit ScopedModMgr(ModMgr_Interface* mgr) : saved_(ModMgr) { ModMgr = mgr; }
    ~ScopedModMgr() { ModMgr = saved_; }
    ScopedModMgr(ScopedModMgr const&) = delete;
    ScopedModMgr& operator=(ScopedModMgr const&) = delete;

private:
    ModMgr_Interface* saved_;
};

// A peer's service object, held as the peer's module would hold it, and its
// entry in the host's table. The manager must outlive it.
template <class T>
class PeerService {
public:
    PeerService(FakeModMgr& mgr, TypifiedID const& id) : object(new T), hold(object), mgr_(mgr), id_(id) {
        mgr_.offer(id_, guarded());
    }
    ~PeerService() { unload(); }
    PeerService(PeerService const&) = delete;
    PeerService& operator=(PeerService const&) = delete;

    // The peer unloads: it leaves the host's table and lets go of the object,
    // which dies with its last reference. Idempotent.
    void unload() {
        mgr_.withdraw(id_);
        if (hold.get() != nullptr) hold.replacePointee(nullptr);
    }
    // Puts the service back in the table (after a withdraw by the test).
    void offerAgain() { mgr_.offer(id_, guarded()); }
    CMN_GuardedRef* guarded() const { return static_cast<CMN_GuardedRef*>(object); }
    T* operator->() const { return object; }

    T* const object;
    CMN_GRefPtr<T> hold;

private:
    FakeModMgr& mgr_;
    TypifiedID const& id_;
};

// A byte buffer with real holds. It is made with one hold for its maker;
// while it has any hold it keeps one count of its own (not a holder listing,
// so a registry walk has nothing of it to cut loose), so it lives while a
// hold or a holder remains and the last of them destroys it. The result-code
// operations record themselves in `calls` and answer `code`.
class FakeBuf final : public TBuf {
public:
    explicit FakeBuf(std::vector<unsigned char> bytes);
    static FakeBuf* of(std::string const& s) { return new FakeBuf(std::vector<unsigned char>(s.begin(), s.end())); }
    // A buffer whose datap() is null.
    static FakeBuf* withoutData();

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    // Refused (-1) once `acquiresLeft` is used up.
    int acquire() override;
    // Fails the test when no hold is left to give back. The last hold may
    // destroy the buffer.
    int release() override;
    int set(char const* s) override {
        return answer("set(str)", [&] { lastString = text(s); });
    }
    int set(unsigned char const* d, unsigned int n) override {
        return answer("set(bytes)", [&] { lastBytes = d, lastNumber = n; });
    }
    int reservedSlot5() override { return 0; }
    // Null only for a buffer without data; an empty one still has a pointer.
    unsigned char* datap() override;
    unsigned int len() override;
    int dup(TBuf* source) override { return answer("dup", [&] { lastOther = source; }); }
    int reservedSlot9() override { return 0; }
    int operator!=(TBuf* other) override { return answer("!=", [&] { lastOther = other; }); }
    int load(char const* path) override { return answer("load", [&] { lastString = text(path); }); }
    int save(char const* path) override { return answer("save", [&] { lastString = text(path); }); }
    int shift(unsigned int n) override { return answer("shift", [&] { lastNumber = n; }); }
    int retreat(unsigned int n) override { return answer("retreat", [&] { lastNumber = n; }); }

    std::string content() const { return std::string(bytes.begin(), bytes.end()); }
    // References taken by holders (the buffer's own count left out).
    int holderRefs() { return references() - (holds > 0 ? 1 : 0); }

    // What datap() and len() were asked, in order, by every buffer
    // ("len datap "); safe to use from several threads.
    static std::string trace();
    static void clearTrace();

    // A string argument as recorded: "(null)" for a null pointer.
    static std::string text(char const* s) { return s != nullptr ? s : "(null)"; }

    static inline std::atomic<int> live{0};

    std::vector<unsigned char> bytes;
    bool hasData = true;
    int holds = 1;
    int acquiresLeft = 1 << 30;
    int code = 0;                  // answer of every result-code operation
    std::string calls;             // operations called, space-separated
    std::function<void()> onCall;  // runs inside every recorded operation
    std::string lastString;
    unsigned char const* lastBytes = nullptr;
    unsigned int lastNumber = 0;
    TBuf* lastOther = reinterpret_cast<TBuf*>(1);  // not yet set

private:
    ~FakeBuf() override { --live; }
    void seen(char const* op);
    // Records the operation and its arguments; answers `code`.
    template <class Record>
    int answer(char const* op, Record record) {
        seen(op);
        record();
        return code;
    }
};

// The byte-buffer service. Each buffer it makes is a FakeBuf carrying one
// hold. A null string or source gives an empty buffer, as the real peer
// does, or null when `nullFromNull` is set.
class FakeBufFactory final : public X509CmnSrv_I {
public:
    // The four forms of createTBuf, in declaration order (indexes of `made`).
    enum Form { Empty, FromString, FromBytes, FromBuf };

    FakeBufFactory() { ++live; }
    ~FakeBufFactory() override { --live; }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    TBuf* createTBuf() override;
    TBuf* createTBuf(char const* s) override;
    TBuf* createTBuf(unsigned char const* d, unsigned int n) override;
    TBuf* createTBuf(TBuf* source) override;

    int calls() const { return made[Empty] + made[FromString] + made[FromBytes] + made[FromBuf]; }

    static inline std::atomic<int> live{0};

    std::atomic<int> made[4] = {};
    // Refuses every request from the n-th on (counting from 0); -1: never.
    std::atomic<int> refuseFrom{-1};
    bool nullFromNull = false;
    // The arguments of the latest call of each form; read them when no thread
    // is calling.
    std::string lastString;
    unsigned char const* lastBytes = nullptr;
    unsigned int lastLen = 0;
    TBuf* lastSource = reinterpret_cast<TBuf*>(1);  // not yet set

private:
    // Counts a request, records its arguments under the lock; false when it
    // is refused.
    bool serve(Form form, std::function<void()> const& record);
    std::mutex m_;  // guards the last* fields
    std::atomic<int> served_{0};
};

// What a compression buffer answers; each buffer takes a copy at creation.
struct VBufScript {
    int compressCode = 0;
    int decompressCode = 0;
    std::vector<unsigned char> output{'o', 'u', 't'};
};

class FakeVBuf final : public VBuffer_Interface {
public:
    FakeVBuf(unsigned char const* data, unsigned long n, VBufScript script)
        : data(data), n(n), script(std::move(script)) {
        ++live;
    }
    ~FakeVBuf() override { --live; }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    int Compress() override { return script.compressCode; }
    int Decompress() override { return script.decompressCode; }
    unsigned int GetOutputSize() override { return static_cast<unsigned int>(script.output.size()); }
    unsigned char const* GetOutputData() override { return script.output.data(); }

    static inline std::atomic<int> live{0};

    unsigned char const* const data;  // the caller's bytes, not copied
    unsigned long const n;
    VBufScript script;
};

// The module contract of a fake service object: number `kNumber`, version
// and build 1, itself for any identifier, init and fini without effect.
template <class Interface, int kNumber>
class FakeServiceObject : public Interface {
public:
    int getModuleID() override { return kNumber; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return this; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
};

// The zlib service (identifier 64): makes FakeVBufs from `script`.
class FakeZLib final : public FakeServiceObject<CMN_ZLib_Interface, 64> {
public:
    FakeZLib() { ++live; }
    ~FakeZLib() override { --live; }

    // Null when `refuse` is set.
    VBuffer_Interface* createVBuffer(unsigned char const* d, unsigned long n) override;

    static inline std::atomic<int> live{0};

    VBufScript script;  // not changed while threads make buffers
    std::atomic<bool> refuse{false};
    std::atomic<int> asked{0};
    std::atomic<unsigned char const*> lastData{nullptr};
    std::atomic<unsigned long> lastLen{0};
    std::atomic<FakeVBuf*> lastMade{nullptr};
};

// The number of live shared fakes of every kind; 0 when a test cleaned up.
inline int LiveDoubles() { return FakeBuf::live + FakeBufFactory::live + FakeVBuf::live + FakeZLib::live; }
