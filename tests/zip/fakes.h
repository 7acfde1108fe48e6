#pragma once
// Test doubles of the platform around the ZIP module, for the in-process
// tests: the host's module manager, a byte buffer and its factory, the zlib
// service and its compression buffers, and the configuration directory.
//
// The fakes may be used from several threads at once, as the peers they
// stand for. Every fake counts its live instances, so a test can demand that nothing it
// made outlives its last holder and nothing went early (a second release of a
// freed buffer is caught by the sanitizers).

#include <atomic>
#include <string>
#include <vector>

#include "framework/cmn_grefptr.h"
#include "interfaces/modmgr.h"
#include "interfaces/tbuf.h"
#include "interfaces/zlib.h"

// A byte buffer that counts its holds. It starts with one hold for its
// creator and deletes itself when the last hold goes and no holder is left.
class FakeBuf : public TBuf {
public:
    explicit FakeBuf(std::vector<unsigned char> bytes);
    // A buffer whose datap() is null.
    static FakeBuf* withoutData();
    ~FakeBuf() override;

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    // Refused (negative) once `acquiresLeft` is used up.
    int acquire() override;
    int release() override;
    int set(char const*) override { return 0; }
    int set(unsigned char const*, unsigned int) override { return 0; }
    int reservedSlot5() override { return 0; }
    unsigned char* datap() override;
    unsigned int len() override { return static_cast<unsigned int>(bytes.size()); }
    int dup(TBuf*) override { return 0; }
    int reservedSlot9() override { return 0; }
    int operator!=(TBuf*) override { return 0; }
    int load(char const*) override { return 0; }
    int save(char const*) override { return 0; }
    int shift(unsigned int) override { return 0; }
    int retreat(unsigned int) override { return 0; }

    std::vector<unsigned char> bytes;
    bool hasData = true;
    int holds = 1;
    int acquiresLeft = 1 << 30;

    static std::atomic<int> live;
};

// The byte-buffer service. Each buffer it makes carries one hold.
class FakeFactory : public X509CmnSrv_I {
public:
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    TBuf* createTBuf() override;
    TBuf* createTBuf(char const* s) override;
    TBuf* createTBuf(unsigned char const* data, unsigned int len) override;
    // A buffer with the source's bytes; null for a null source.
    TBuf* createTBuf(TBuf* source) override;

    bool refuse = false;                // every createTBuf answers null
    std::atomic<int> madeFromBytes{0};  // calls of createTBuf(bytes, len)
    std::atomic<int> madeFromBuf{0};    // calls of createTBuf(TBuf*)
    std::atomic<unsigned int> lastLen{0};
};

// What the next compression buffers do.
struct VBufScript {
    int compressCode = 0;
    int decompressCode = 0;
    std::vector<unsigned char> output{'o', 'u', 't'};
};

class FakeVBuf : public VBuffer_Interface {
public:
    explicit FakeVBuf(VBufScript const& script) : script(script) { ++live; }
    ~FakeVBuf() override { --live; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    int Compress() override { return script.compressCode; }
    int Decompress() override { return script.decompressCode; }
    unsigned int GetOutputSize() override { return static_cast<unsigned int>(script.output.size()); }
    unsigned char const* GetOutputData() override { return script.output.data(); }

    VBufScript script;
    static std::atomic<int> live;
};

// The zlib service (identifier 64).
class FakeZLib : public CMN_ZLib_Interface {
public:
    int getModuleID() override { return 64; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return this; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    VBuffer_Interface* createVBuffer(unsigned char const* data, unsigned long len) override;

    VBufScript script;
    bool refuse = false;  // makes no compression buffer
    std::atomic<int> asked{0};
    std::atomic<unsigned char const*> lastData{nullptr};
    std::atomic<unsigned long> lastLen{0};
};

// The host's module manager: finds the two peers and the ZIP service.
class FakeModMgr : public ModMgr_Interface {
public:
    int moduleCount() override { return 0; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) override;

    FakeZLib* zlib = nullptr;
    FakeFactory* factory = nullptr;
    BaseModuleInterface* zip = nullptr;
    std::atomic<TypifiedID const*> lastAsking{nullptr};
};

// The configuration directory that vela_get_config_dir reports: a fresh
// temporary directory for the object's life. fail() makes the query fail.
class ConfigDir {
public:
    ConfigDir();
    ~ConfigDir();
    ConfigDir(ConfigDir const&) = delete;
    ConfigDir& operator=(ConfigDir const&) = delete;

    std::string const& path() const { return path_; }
    // Writes `content` (any bytes) to `name` inside the directory.
    void write(std::string const& name, std::string const& content) const;
    void remove(std::string const& name) const;
    // What the configuration query answers from now on.
    static void report(char const* dir);
    static void fail();

private:
    std::string path_;
};
