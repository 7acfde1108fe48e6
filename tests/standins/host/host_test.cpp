// The reference host: its loader and unload protocol against shared-object
// fixtures, good and broken, and its module manager and codec runner with the
// real modules, loaded RTLD_LOCAL and RTLD_GLOBAL.
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "cmn_abuf.h"
#include "cmn_grefptr.h"
#include "host_codec.h"
#include "sha256.h"
#include "standin_host.h"
#include "zipC.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string fixture(char const* name) { return std::string(FIXTURE_DIR) + "/lib" + name + ".so"; }

bool mapped(std::string const& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    return h != nullptr && dlclose(h) == 0;
}

// The manifest's digests: known answers, the processor's SHA instructions
// against the portable code at every length around the block and padding
// boundaries, and a file read in pieces against its bytes in one.
TEST(StandinHostDigest, KnownAnswersEnginesAgreeAndFilesMatchTheirBytes) {
    auto of = [](std::string const& s, Sha256Engine e) {
        return sha256Of(reinterpret_cast<unsigned char const*>(s.data()), s.size(), e);
    };
    for (Sha256Engine e : {Sha256Engine::Best, Sha256Engine::Portable}) {
        EXPECT_EQ(of("", e), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(of("abc", e), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", e),  // padding needs a second block
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        EXPECT_EQ(of(std::string(1000000, 'a'), e), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
    Bytes bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    for (size_t n = 0; n < 200; ++n)
        ASSERT_EQ(sha256Of(bytes.data(), n), sha256Of(bytes.data(), n, Sha256Engine::Portable)) << n;
    char path[] = "/tmp/zip-digest.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    EXPECT_EQ(sha256OfFile(path), sha256Of(bytes.data(), bytes.size(), Sha256Engine::Portable));
    unlink(path);
    EXPECT_EQ(sha256OfFile(path), "");
}

class StandinHostLoader : public ::testing::TestWithParam<int> {};

// A module loads, answers lookups, and goes completely: the protocol cuts
// the host's forgotten holds loose before dlclose.
TEST_P(StandinHostLoader, LoadsAnswersLookupsAndCutsTheHostsHoldsLooseBeforeDlclose) {
    std::string const path = fixture("fx_good");
    {
        HostModules modules(GetParam());
        ASSERT_TRUE(ModMgr == &modules && modules.load(path, nullptr) && mapped(path));
        HostModule const m = modules.modules().at(0);
        TstringID fixt("FIXT"), other("fixt");
        Tuint32ID number(77);
        EXPECT_EQ(modules.findModule(&fixt), m.service);
        EXPECT_EQ(modules.findModule(&other), nullptr);
        EXPECT_FALSE(modules.lookupService(&other, GetModuleID()) || modules.lookupService(&number, GetModuleID()));
        CMN_GRefPtr<CMN_GuardedRef> onService(modules.lookupService(&fixt, GetModuleID()));
        EXPECT_EQ(onService.get()->references(), 2) << "the module's hold and ours: a lookup gives none";
        CMN_GRefPtr<CMN_GuardedRef> onObject(reinterpret_cast<CMN_GuardedRef* (*)()>(dlsym(m.handle, "make_object"))());
        EXPECT_EQ(report(modules.unloadAll()), "FIXT 2 used 0 closed gone;");
        EXPECT_TRUE(onService.get() == nullptr && onObject.get() == nullptr);
        EXPECT_EQ(modules.lookupService(&fixt, GetModuleID()), nullptr);
    }
    EXPECT_EQ(ModMgr, nullptr);
    EXPECT_FALSE(mapped(path));
}
INSTANTIATE_TEST_SUITE_P(Scopes, StandinHostLoader, ::testing::Values(RTLD_LOCAL, RTLD_GLOBAL));

// Every broken file is refused with a message naming the problem, and
// nothing of it (nor of its dependencies) stays loaded. One is made here:
// fx_good cut one byte inside its last loadable segment, its section table
// dropped, so that only the segment check can tell.
TEST(StandinHostLoaderRefuses, EveryBrokenFile) {
    char dir[] = "/tmp/t3-host.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ifstream in(fixture("fx_good"), std::ios::binary);
    std::string elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), cut = dir;
    auto* eh = reinterpret_cast<ElfW(Ehdr)*>(&elf[0]);
    auto const* ph = reinterpret_cast<ElfW(Phdr) const*>(&elf[eh->e_phoff]);
    size_t end = 0;
    for (unsigned i = 0; i < eh->e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD) end = std::max<size_t>(end, ph[i].p_offset + ph[i].p_filesz);
    // A file whose headers are sound but whose initialisers point into its
    // ELF header: only loading it tells, and that is left to a child.
    std::string badInit = elf, bad = std::string(dir) + "/libfx_badinit.so";
    for (unsigned i = 0; i < eh->e_phnum; ++i) {
        if (ph[i].p_type != PT_DYNAMIC) continue;
        auto* d = reinterpret_cast<ElfW(Dyn)*>(&badInit[ph[i].p_offset]);
        for (; d->d_tag != DT_NULL; ++d)
            if (d->d_tag == DT_INIT_ARRAY) d->d_un.d_ptr = 0;
    }
    std::ofstream(bad, std::ios::binary) << badInit;
    eh->e_shoff = 0;
    std::ofstream(cut += "/libfx_cut.so", std::ios::binary) << elf.substr(0, end - 1);
    std::pair<std::string, char const*> const cases[] = {
        {fixture("fx_noentry"), "no entry point GetInterfaceClass"},
        {fixture("fx_text"), "not a shared object"},
        {fixture("fx_unresolved"), "fixture_function_nobody_defines"},
        {fixture("fx_missing"), "No such file"},
        {fixture("fx_truncated"), "header tables end past the end of the file"},
        {cut, "a segment ends past the end of the file"},
        {bad, "damaged file ("},  // a signal, or a sanitizer's exit status
        {fixture("fx_foreign"), "not to the file opened"},
        {fixture("fx_nullload"), "gave no service object"}};
    for (auto const& c : cases) {
        HostModules modules;
        std::string error;
        EXPECT_FALSE(modules.load(c.first, &error) || error.find(c.second) == std::string::npos) << error;
        EXPECT_FALSE(modules.moduleCount() || mapped(c.first) || mapped(fixture("fx_good"))) << c.first;
    }
    EXPECT_EQ(unlink(cut.c_str()) + unlink(bad.c_str()) + rmdir(dir), 0);
}

// Newest first; a library that cannot be unmapped is reported, not hidden;
// a second set loads again after a full unload.
TEST(StandinHostUnload, NewestFirstAndALibraryThatStaysMapped) {
    for (int round = 0; round < 2; ++round) {
        HostModules modules;
        ASSERT_TRUE(modules.load(fixture("fx_good"), nullptr) && modules.load(fixture("fx_nodelete"), nullptr));
        std::vector<UnloadStep> steps = modules.unloadAll();
        EXPECT_EQ(report(steps), "FIXT 0 unused 0 closed MAPPED;FIXT 0 unused 0 closed gone;");
        EXPECT_NE(steps.at(0).path.find("fx_nodelete"), std::string::npos);
    }
}

// The real modules, with a configuration folder of the test's own.
class StandinHostModules : public ::testing::TestWithParam<int> {
protected:
    StandinHostModules() : modules(GetParam()) { setenv("S_INI_CONFIG_DIR", mkdtemp(dir), 1); }
    ~StandinHostModules() override {
        unlink((std::string(dir) + "/s_zip.ini").c_str());
        rmdir(dir);
    }
    void SetUp() override { ASSERT_TRUE(modules.loadStandardSet(ZIP_MODULE_DIR, nullptr)); }
    void setSwitch(char const* text) { std::ofstream(std::string(dir) + "/s_zip.ini") << text; }
    // The host drops its own binding, then every module goes cleanly.
    void expectCleanUnload() {
        x509cmn_fini();
        EXPECT_EQ(report(modules.unloadAll()),
                  "ZIP 0 unused 0 closed gone;ZLIB 0 unused 0 closed gone;"
                  "TBUF 0 unused 0 closed gone;");
    }
    char dir[32] = "/tmp/t3-zip-host.XXXXXX";
    HostModules modules;
};

TEST_P(StandinHostModules, ServesClientCallsFromManyThreadsAndUnloadsCleanly) {
    TstringID zip("ZIP");
    Tuint32ID zlib(64), tbuf(111), none(65);
    EXPECT_TRUE(modules.lookupService(&zip, GetModuleID()) && modules.lookupService(&zlib, GetModuleID()) &&
                modules.lookupService(&tbuf, GetModuleID()) && !modules.lookupService(&none, GetModuleID()));
    EXPECT_EQ(modules.findModule(&zip), modules.modules().at(2).service);
    {  // The switch file is read at every call: off, on, off again. Results hold their zip buffers.
        Bytes text(20000, 'a');
        CodecResult off = runCodec(CodecOp::Compress, text);
        setSwitch("[zip]\nCompress = 1\n");
        CodecResult on = runCodec(CodecOp::Compress, text);
        setSwitch("Compress = 0\n");
        CodecResult offAgain = runCodec(CodecOp::Compress, text), back = runCodec(CodecOp::Decompress, on.bytes());
        EXPECT_TRUE(off.ok && off.passedThrough && off.bytes() == text && offAgain.passedThrough) << off.message;
        EXPECT_TRUE(on.ok && !on.passedThrough && on.size() < 1000) << on.message;
        EXPECT_TRUE(back.ok && !back.passedThrough && back.bytes() == text) << back.message;
        CodecResult cut = runCodec(CodecOp::Decompress, Bytes(on.data(), on.data() + on.size() - 1));
        EXPECT_TRUE(!cut.ok && cut.code == 61 && cut.message == "zlib: compressed data cut short (61)") << cut.message;
    }
    // Client threads share the modules: each result is its own input again.
    setSwitch("Compress = 1\n");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            Bytes data(30000 + t, static_cast<unsigned char>('a' + t));
            for (int i = 0; i < 15; ++i) {
                CodecResult z = runCodec(CodecOp::Compress, data), back = runCodec(CodecOp::Decompress, z.bytes());
                failures += !z.ok || z.passedThrough || !back.ok || back.bytes() != data;
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    expectCleanUnload();
}

// Stubs the host forgot are cut loose and answer as unbound afterwards
// instead of calling into an unmapped module.
TEST_P(StandinHostModules, ForgottenStubsAreCutLoose) {
    TBuf* in = createTBuf("left behind");
    TZipBuffer zip(in);
    in->release();  // the zip buffer keeps its own hold
    ASSERT_TRUE(zip.isBound());
    std::vector<UnloadStep> steps = modules.unloadAll();
    EXPECT_EQ(report(steps), "ZIP 1 used 0 closed gone;ZLIB 0 unused 0 closed gone;TBUF 1 used 0 closed gone;");
    EXPECT_FALSE(zip.isBound());
    EXPECT_EQ(zip.ZipTBuf(), 40u);
    EXPECT_EQ(createTBuf("x"), nullptr);
}
INSTANTIATE_TEST_SUITE_P(Scopes, StandinHostModules, ::testing::Values(RTLD_LOCAL, RTLD_GLOBAL));

}  // namespace
