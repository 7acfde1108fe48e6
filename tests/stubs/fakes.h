#pragma once
// Test doubles of the host and of the peer services the clients talk to.
//
// Every fake counts its live instances, so a test can demand that everything
// it made is gone, and records what it was called with. The fakes are guarded
// objects of the test module itself; a peer's own hold on its service object
// is played by a holder the test owns (PeerService<T>).

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/cmn_grefptr.h"
#include "interfaces/modmgr.h"
#include "interfaces/tbuf.h"
#include "interfaces/zlib.h"
#include "zip/zip.h"

namespace fakes {

// The references on `g`'s guarded part (includes listings by any holder).
inline int refs(CMN_GuardedRef* g) { return g->references(); }

// The holders listed on `g`, most recent first.
inline std::vector<CMN_GRPHolder*> holdersOf(CMN_GuardedRef* g) {
    std::vector<CMN_GRPHolder*> out;
    g->lockHolderList();
    for (sitem<CMN_GRPHolder>* it = g->holders.head; it != nullptr; it = it->next) out.push_back(it->item);
    g->unlockHolderList();
    return out;
}

// The host's module manager: answers lookups from a table.
class ModMgr final : public ModMgr_Interface {
public:
    void offer(TypifiedID const& id, CMN_GuardedRef* service) { table.emplace_back(&id, service); }
    void withdraw() { table.clear(); }

    int moduleCount() override { return 0; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) override {
        std::lock_guard<std::mutex> lock(m);
        ++lookups;
        lastAsking = asking;
        for (auto& e : table)
            if (*e.first == *service) return e.second;
        return nullptr;
    }

    int lookupCount() {
        std::lock_guard<std::mutex> lock(m);
        return lookups;
    }
    TypifiedID const* asking() {
        std::lock_guard<std::mutex> lock(m);
        return lastAsking;
    }

private:
    std::mutex m;
    std::vector<std::pair<TypifiedID const*, CMN_GuardedRef*>> table;  // not changed while threads look up
    int lookups = 0;
    TypifiedID const* lastAsking = nullptr;
};

// A peer byte buffer. Holds are real: while it has any, it keeps a reference
// on itself (`anchor`), so it lives while a hold or a holder remains, and the
// last of them destroys it.
class Buf final : public TBuf {
public:
    static inline std::atomic<int> live{0};
    // What datap()/len() were asked, in order, by every buffer ("len datap ").
    static inline std::string trace;

    // A new buffer carrying one hold for its maker.
    static Buf* make(std::string const& s) { return make(reinterpret_cast<unsigned char const*>(s.data()), s.size()); }
    static Buf* make(unsigned char const* d, unsigned int n) {
        Buf* b = new Buf(d, n);
        try {
            b->acquire();
        } catch (...) {
            delete b;  // unclaimed: count 0
            throw;
        }
        return b;
    }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }

    int acquire() override {
        if (refuseHolds) return -1;
        if (holds == 0) {
            addReference(&anchor);  // takes its count back when it fails
            anchor.pointee = this;
        }
        return ++holds;
    }
    // The last hold may destroy the buffer: nothing is touched afterwards.
    int release() override {
        if (holds == 0) return -1;
        if (--holds == 0) {
            anchor.pointee = nullptr;  // cleared first: the release may destroy us
            remReference(&anchor);
        }
        return 0;
    }
    int set(char const* s) override {
        seen("set(str)");
        lastString = s != nullptr ? s : "(null)";
        return code;
    }
    int set(unsigned char const* d, unsigned int n) override {
        seen("set(bytes)");
        lastBytes = d;
        lastNumber = n;
        return code;
    }
    int reservedSlot5() override { return 0; }
    unsigned char* datap() override {
        trace += "datap ";
        seen("datap");
        return bytes.empty() ? nullptr : bytes.data();
    }
    unsigned int len() override {
        trace += "len ";
        seen("len");
        return static_cast<unsigned int>(bytes.size());
    }
    int dup(TBuf* source) override {
        seen("dup");
        lastOther = source;
        return code;
    }
    int reservedSlot9() override { return 0; }
    int operator!=(TBuf* other) override {
        seen("!=");
        lastOther = other;
        return code;
    }
    int load(char const* path) override {
        seen("load");
        lastString = path;
        return code;
    }
    int save(char const* path) override {
        seen("save");
        lastString = path;
        return code;
    }
    int shift(unsigned int n) override {
        seen("shift");
        lastNumber = n;
        return code;
    }
    int retreat(unsigned int n) override {
        seen("retreat");
        lastNumber = n;
        return code;
    }

    std::string content() const { return std::string(bytes.begin(), bytes.end()); }
    // References taken by holders other than the buffer's own anchor.
    int holderRefs() { return references() - (holds > 0 ? 1 : 0); }

    std::vector<unsigned char> bytes;
    int holds = 0;
    bool refuseHolds = false;
    int code = 0;                    // answer of every result-code operation
    std::string calls;               // operations called, space-separated
    std::function<void()> onCall;    // runs inside every recorded operation
    std::string lastString;
    unsigned char const* lastBytes = nullptr;
    unsigned int lastNumber = 0;
    TBuf* lastOther = reinterpret_cast<TBuf*>(1);

private:
    Buf(unsigned char const* d, unsigned int n) : bytes(d, d + n) { ++live; }
    ~Buf() override { --live; }
    void seen(char const* op) {
        calls += op;
        calls += ' ';
        if (onCall) onCall();
    }

    CMN_GRefPtr<TBuf> anchor;
};

// The peer byte-buffer factory. Counters are atomic: threads share it.
class BufService final : public X509CmnSrv_I {
public:
    static inline std::atomic<int> live{0};
    BufService() { ++live; }
    ~BufService() override { --live; }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }

    TBuf* createTBuf() override {
        ++made[0];
        return refuse() ? nullptr : Buf::make("");
    }
    TBuf* createTBuf(char const* s) override {
        ++made[1];
        record([&] { lastString = s != nullptr ? s : "(null)"; });
        return refuse() ? nullptr : Buf::make(s != nullptr ? s : "");
    }
    TBuf* createTBuf(unsigned char const* d, unsigned int n) override {
        ++made[2];
        record([&] {
            lastBytes = d;
            lastLen = n;
        });
        return refuse() ? nullptr : Buf::make(d, n);
    }
    // A null source gives an empty buffer.
    TBuf* createTBuf(TBuf* source) override {
        ++made[3];
        record([&] { lastSource = source; });
        if (refuse()) return nullptr;
        if (source == nullptr) return Buf::make("");
        return Buf::make(static_cast<Buf*>(source)->content());
    }

    int calls() const { return made[0] + made[1] + made[2] + made[3]; }

    std::atomic<int> made[4] = {};
    // Refuses every request from the n-th on (counting from 0); -1: never.
    std::atomic<int> refuseFrom{-1};
    // The arguments of the latest call of each form; read them when no thread
    // is calling.
    std::string lastString;
    unsigned char const* lastBytes = nullptr;
    unsigned int lastLen = 0;
    TBuf* lastSource = reinterpret_cast<TBuf*>(1);

private:
    template <class F>
    void record(F f) {
        std::lock_guard<std::mutex> lock(m);
        f();
    }
    bool refuse() {
        int from = refuseFrom.load();
        return from >= 0 && served++ >= from;
    }
    std::atomic<int> served{0};
    std::mutex m;
};

// The ZIP service's work object, as the stub sees it.
class ZipBuffer final : public TZipBuffer_Interface {
public:
    static inline std::atomic<int> live{0};
    ZipBuffer(TBuf* in, unsigned int zipCode, unsigned int unzipCode, TBuf* result)
        : in(in), zipCode(zipCode), unzipCode(unzipCode), result(result) {
        ++live;
    }
    ~ZipBuffer() override { --live; }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    unsigned int ZipTBuf() override {
        ++zips;
        return zipCode;
    }
    unsigned int UnzipTBuf() override {
        ++unzips;
        return unzipCode;
    }
    TBuf* GetResultTBuf() override {
        ++results;
        return result;
    }

    TBuf* in;
    unsigned int zipCode, unzipCode;
    TBuf* result;  // borrowed: the test owns it
    int zips = 0, unzips = 0, results = 0;
};

// The ZIP service object: makes ZipBuffers configured from its fields.
class ZipService final : public TZip_Interface {
public:
    static inline std::atomic<int> live{0};
    ZipService() { ++live; }
    ~ZipService() override { --live; }

    int getModuleID() override { return 65; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return nullptr; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    TZipBuffer_Interface* createTZipBuffer(TBuf* in) const override {
        ++created;
        lastMade = new ZipBuffer(in, zipCode, unzipCode, result);
        return lastMade;
    }

    unsigned int zipCode = 0, unzipCode = 0;
    TBuf* result = nullptr;
    mutable int created = 0;
    mutable ZipBuffer* lastMade = nullptr;
};

// A compression buffer whose "output" is its input reversed.
class ZBuffer final : public VBuffer_Interface {
public:
    static inline std::atomic<int> live{0};
    ZBuffer(unsigned char const* d, unsigned long n) : data(d), n(n) { ++live; }
    ~ZBuffer() override { --live; }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    int Compress() override {
        out.assign(data, data + n);
        std::vector<unsigned char>(out.rbegin(), out.rend()).swap(out);
        return compressCode;
    }
    int Decompress() override { return decompressCode; }
    unsigned int GetOutputSize() override { return static_cast<unsigned int>(out.size()); }
    unsigned char const* GetOutputData() override { return out.empty() ? nullptr : out.data(); }

    unsigned char const* data;
    unsigned long n;
    int compressCode = 0;
    int decompressCode = VBUFFER_NOT_COMPRESSED;
    std::vector<unsigned char> out;
};

// The zlib service object.
class ZLibService final : public CMN_ZLib_Interface {
public:
    static inline std::atomic<int> live{0};
    ZLibService() { ++live; }
    ~ZLibService() override { --live; }

    int getModuleID() override { return 64; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return nullptr; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    VBuffer_Interface* createVBuffer(unsigned char const* d, unsigned long n) override {
        ++created;
        lastData = d;
        lastLen = n;
        if (refuse) return nullptr;
        lastMade = new ZBuffer(d, n);
        return lastMade;
    }

    bool refuse = false;
    int created = 0;
    unsigned char const* lastData = nullptr;
    unsigned long lastLen = 0;
    ZBuffer* lastMade = nullptr;
};

// A peer's own hold on its service object, as its module's service stub would
// keep it, and the entry of the service in the host's table.
template <class T>
class PeerService {
public:
    PeerService(ModMgr& mgr, TypifiedID const& id) : object(new T), hold(object) {
        mgr.offer(id, guarded());
    }
    // The peer lets go (its unload); the object dies with its last reference.
    void unload() { hold.replacePointee(nullptr); }
    CMN_GuardedRef* guarded() const { return static_cast<CMN_GuardedRef*>(object); }
    T* operator->() const { return object; }

    T* object;
    CMN_GRefPtr<T> hold;
};

// The number of live fakes of every kind; 0 when a test cleaned up.
inline int liveFakes() {
    return Buf::live + BufService::live + ZipBuffer::live + ZipService::live + ZBuffer::live + ZLibService::live;
}

}  // namespace fakes
