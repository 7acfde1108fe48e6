// The host with the real modules, in one process: service lookups, the codec
// as client code runs it, the switch file changed between two calls, the
// registry picture, and a clean unload in both dlopen modes.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host_codec.h"
#include "host_modules.h"
#include "registry_dump.h"
#include "cmn_abuf.h"
#include "zipC.h"

namespace {

// A configuration folder of the test's own, named for libs_ini.so through
// S_INI_CONFIG_DIR, removed with its switch file afterwards.
class ConfigDir {
public:
    ConfigDir() {
        char tmpl[] = "/tmp/zip-host-test.XXXXXX";
        dir_ = mkdtemp(tmpl);
        setenv("S_INI_CONFIG_DIR", dir_.c_str(), 1);
    }
    ~ConfigDir() {
        std::remove(file().c_str());
        rmdir(dir_.c_str());
        unsetenv("S_INI_CONFIG_DIR");
    }
    void write(std::string const& text) { std::ofstream(file()) << text; }
    std::string file() const { return dir_ + "/s_zip.ini"; }

private:
    std::string dir_;
};

std::vector<unsigned char> bytes(std::string const& s) { return {s.begin(), s.end()}; }

std::vector<unsigned char> sampleText() {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += "record " + std::to_string(i % 37) + ": the quick brown fox\n";
    return bytes(s);
}

// Each case runs with the modules loaded RTLD_LOCAL and RTLD_GLOBAL.
class ModulesTest : public ::testing::Test {
protected:
    explicit ModulesTest(int mode) : modules(mode) {}
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(modules.loadStandardSet(ZIP_MODULE_DIR, &error)) << error;
    }
    void servicesAreFound();
    void switchFileIsReadAtEveryCall();
    void failuresAreNamed();
    void registryShowsTheHostsHolds();

    // Drops the host's own binding, unloads, and demands a clean unload.
    void unloadClean() {
        x509cmn_fini();
        std::vector<UnloadStep> steps = modules.unloadAll();
        ASSERT_EQ(steps.size(), 3u);
        EXPECT_EQ(steps[0].name, "ZIP");
        for (UnloadStep const& s : steps) {
            EXPECT_FALSE(s.usedByOthers) << s.name;
            EXPECT_EQ(s.objectsAfterFini, 0) << s.name;
            EXPECT_TRUE(s.ok()) << s.name << " " << s.dlcloseError;
        }
    }
    ConfigDir config;
    HostModules modules;
};

class HostModulesLocal : public ModulesTest {
protected:
    HostModulesLocal() : ModulesTest(RTLD_LOCAL) {}
};

class HostModulesGlobal : public ModulesTest {
protected:
    HostModulesGlobal() : ModulesTest(RTLD_GLOBAL) {}
};

#define IN_BOTH_MODES(Name, body) \
    TEST_F(HostModulesLocal, Name) { body(); } \
    TEST_F(HostModulesGlobal, Name) { body(); }

void ModulesTest::servicesAreFound() {
    TstringID zip("ZIP");
    Tuint32ID zlib(64);
    Tuint32ID tbuf(111);
    Tuint32ID nothing(65);
    EXPECT_NE(modules.lookupService(&zip, GetModuleID()), nullptr);
    EXPECT_NE(modules.lookupService(&zlib, GetModuleID()), nullptr);
    EXPECT_NE(modules.lookupService(&tbuf, GetModuleID()), nullptr);
    EXPECT_EQ(modules.lookupService(&nothing, GetModuleID()), nullptr);
    BaseModuleInterface* service = modules.findModule(&zip);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->getModuleID(), 65);
    EXPECT_EQ(modules.moduleCount(), 3);
    unloadClean();
}

// The switch file is read at every call: off, on, off again, in one process.
void ModulesTest::switchFileIsReadAtEveryCall() {
    std::vector<unsigned char> text = sampleText();

    CodecResult off = runCodec(CodecOp::Compress, text);
    ASSERT_TRUE(off.ok) << off.message;
    EXPECT_TRUE(off.passedThrough);
    EXPECT_EQ(off.output, text);

    config.write("[zip]\nCompress = 1\n");
    CodecResult on = runCodec(CodecOp::Compress, text);
    ASSERT_TRUE(on.ok) << on.message;
    EXPECT_FALSE(on.passedThrough);
    EXPECT_LT(on.output.size(), text.size() / 4);

    config.write("Compress = 0\n");
    CodecResult offAgain = runCodec(CodecOp::Compress, text);
    ASSERT_TRUE(offAgain.ok);
    EXPECT_TRUE(offAgain.passedThrough);

    // Restoring does not read the switch.
    CodecResult restored = runCodec(CodecOp::Decompress, on.output);
    ASSERT_TRUE(restored.ok) << restored.message;
    EXPECT_FALSE(restored.passedThrough);
    EXPECT_EQ(restored.output, text);
    unloadClean();
}

void ModulesTest::failuresAreNamed() {
    config.write("Compress=1\n");
    CodecResult z = runCodec(CodecOp::Compress, sampleText());
    ASSERT_TRUE(z.ok);

    std::vector<unsigned char> cut(z.output.begin(), z.output.begin() + z.output.size() / 2);
    CodecResult truncated = runCodec(CodecOp::Decompress, cut);
    EXPECT_FALSE(truncated.ok);
    EXPECT_NE(truncated.code, 0u);
    EXPECT_NE(truncated.message.find("(" + std::to_string(truncated.code) + ")"), std::string::npos);
    EXPECT_EQ(truncated.message.find("unknown"), std::string::npos) << truncated.message;

    CodecResult plain = runCodec(CodecOp::Decompress, bytes("plain words, not a stream"));
    ASSERT_TRUE(plain.ok) << plain.message;
    EXPECT_TRUE(plain.passedThrough);

    CodecResult empty = runCodec(CodecOp::Compress, {});
    ASSERT_TRUE(empty.ok) << empty.message;
    CodecResult emptyBack = runCodec(CodecOp::Decompress, empty.output);
    ASSERT_TRUE(emptyBack.ok) << emptyBack.message;
    EXPECT_TRUE(emptyBack.output.empty());

    EXPECT_EQ(resultCodeName(4), "zip buffer has no input (4)");
    EXPECT_EQ(resultCodeName(12345), "unknown failure (12345)");
    unloadClean();
}

// While the host holds a zip buffer, the ZIP registry shows it held by HOST;
// once the host lets go, nothing of the host stays listed anywhere.
void ModulesTest::registryShowsTheHostsHolds() {
    TBuf* in = createTBuf("inspect me");
    ASSERT_NE(in, nullptr);
    {
        TZipBuffer zip(in);
        ASSERT_TRUE(zip.isBound());
        std::ostringstream held;
        dumpRegistries(modules, held);
        EXPECT_NE(held.str().find("TZipBufferImpl, 1 reference"), std::string::npos) << held.str();
        EXPECT_NE(held.str().find("of module HOST"), std::string::npos) << held.str();
        EXPECT_EQ(modules.modules()[2].objects->moduleIsUsed(), 1);
    }
    in->release();
    x509cmn_fini();
    std::ostringstream released;
    dumpRegistries(modules, released);
    EXPECT_EQ(released.str().find("of module HOST"), std::string::npos) << released.str();
    for (HostModule const& m : modules.modules()) EXPECT_EQ(m.objects->moduleIsUsedBy(TstringID("HOST")), 0);
    unloadClean();
}

IN_BOTH_MODES(ServicesAreFoundByTheirIdentifiers, servicesAreFound)
IN_BOTH_MODES(SwitchFileChangedBetweenCallsTakesEffect, switchFileIsReadAtEveryCall)
IN_BOTH_MODES(FailuresAreNamedAndNotCompressedInputPassesThrough, failuresAreNamed)
IN_BOTH_MODES(RegistryShowsTheHostsHoldsAndTheirRelease, registryShowsTheHostsHolds)

// Client threads share the modules: each runs its own round trips while the
// others do, and every result is its own input again.
TEST(HostModulesThreads, ConcurrentRoundTrips) {
    ConfigDir config;
    config.write("Compress = 1\n");
    HostModules modules;
    std::string error;
    ASSERT_TRUE(modules.loadStandardSet(ZIP_MODULE_DIR, &error)) << error;
    int failures[4] = {0, 0, 0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            std::vector<unsigned char> data = sampleText();
            data.resize(data.size() - static_cast<size_t>(t) * 7);
            for (int i = 0; i < 15; ++i) {
                CodecResult z = runCodec(CodecOp::Compress, data);
                CodecResult back = runCodec(CodecOp::Decompress, z.output);
                if (!z.ok || z.passedThrough || !back.ok || back.output != data) ++failures[t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    x509cmn_fini();
    for (UnloadStep const& s : modules.unloadAll()) EXPECT_TRUE(s.ok() && !s.usedByOthers) << s.name;
}

// Stubs the host forgot are cut loose by the unload protocol and answer as
// unbound afterwards instead of calling into an unmapped module.
TEST(HostModulesUnload, ForgottenStubsAreCutLoose) {
    ConfigDir config;
    HostModules modules;
    std::string error;
    ASSERT_TRUE(modules.loadStandardSet(ZIP_MODULE_DIR, &error)) << error;
    TBuf* in = createTBuf("left behind");
    ASSERT_NE(in, nullptr);
    TZipBuffer zip(in);
    in->release();  // the zip buffer keeps its own hold
    ASSERT_TRUE(zip.isBound());
    std::vector<UnloadStep> steps = modules.unloadAll();
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_TRUE(steps[0].usedByOthers);
    for (UnloadStep const& s : steps) EXPECT_TRUE(s.ok()) << s.name;
    EXPECT_FALSE(zip.isBound());
    EXPECT_EQ(zip.ZipTBuf(), 40u);
    EXPECT_EQ(createTBuf("x"), nullptr);
}

}  // namespace
