// libs_tbuf.so, loaded for real and driven through its interfaces.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cmn_grefptr.h"
#include "tbuf.h"
#include "peer_host.h"
#include "s_tbuf.h"

namespace {

using Holder = CMN_GRefPtr<TBuf>;

std::string contents(TBuf* b) {
    return b->len() == 0 ? std::string() : std::string(reinterpret_cast<char*>(b->datap()), b->len());
}

class TBufModule : public ::testing::Test {
protected:
    void SetUp() override {
        module = host.load(S_TBUF_PATH);
        ASSERT_NE(module, nullptr);
        Tuint32ID id(111);
        factory = static_cast<X509CmnSrv_I*>(host.lookupService(&id, &TestModuleID()));
        ASSERT_NE(factory, nullptr);
        baseline = module->registered();  // the module object and the factory
    }
    void TearDown() override { EXPECT_TRUE(host.unloadAll()); }

    // Live buffers: what the registry holds beyond the module's own objects.
    int liveBuffers() const { return module->registered() - baseline; }

    TestModuleManager host;
    LoadedModule* module = nullptr;
    X509CmnSrv_I* factory = nullptr;
    int baseline = 0;
};

TEST_F(TBufModule, AnswersTheModuleContract) {
    BaseModuleInterface* m = module->service;
    EXPECT_EQ(m->getModuleID(), 111);
    EXPECT_EQ(m->getVersion(), 1);
    EXPECT_EQ(m->getBuild(), 1);
    EXPECT_EQ(m->getService(Tuint32ID(111)), static_cast<CMN_GuardedRef*>(factory));
    EXPECT_EQ(m->getService(Tuint32ID(64)), nullptr);
    EXPECT_EQ(m->getService(TstringID("TBUF")), nullptr);
    EXPECT_EQ(baseline, 2);
    EXPECT_EQ(module->objectManager->moduleIsUsed(), 0);
    auto* recorded = static_cast<ModMgr_Interface**>(module->symbol("ModMgr"));
    ASSERT_NE(recorded, nullptr);
    TestModuleManager other;
    EXPECT_EQ(module->entry(&other, 3), nullptr);
    EXPECT_EQ(*recorded, &other);
    EXPECT_EQ(module->registered(), 2);
    module->entry(nullptr, 0);
    EXPECT_EQ(*recorded, &other);
    EXPECT_EQ(module->registered(), 0);
}

TEST_F(TBufModule, EveryFactoryFormMakesAHeldCopy) {
    unsigned char bytes[] = {1, 0, 2, 3};
    TBuf* empty = factory->createTBuf();
    TBuf* text = factory->createTBuf("hello");
    TBuf* nullText = factory->createTBuf(static_cast<char const*>(nullptr));
    TBuf* binary = factory->createTBuf(bytes, sizeof bytes);
    TBuf* copy = factory->createTBuf(text);
    TBuf* nullCopy = factory->createTBuf(static_cast<TBuf*>(nullptr));
    EXPECT_EQ(factory->createTBuf(nullptr, 3), nullptr);
    for (TBuf* b : {empty, text, nullText, binary, copy, nullCopy}) {
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->references(), 1);
    }
    bytes[0] = 9;  // the caller's bytes may change or go once the call returns
    EXPECT_EQ(empty->len(), 0u);
    EXPECT_EQ(empty->datap(), nullptr);
    EXPECT_EQ(nullText->len(), 0u);
    EXPECT_EQ(nullCopy->len(), 0u);
    EXPECT_EQ(contents(text), "hello");
    EXPECT_EQ(text->datap()[5], 0);  // followed by a NUL
    EXPECT_EQ(contents(binary), std::string("\1\0\2\3", 4));
    EXPECT_EQ(contents(copy), "hello");
    EXPECT_EQ(liveBuffers(), 6);
    for (TBuf* b : {empty, text, nullText, binary, copy, nullCopy}) EXPECT_EQ(b->release(), 0);
    EXPECT_EQ(liveBuffers(), 0);
}

// Every order in which holds and holders can end frees the buffer once, at
// the last of them (the registry count drops then and only then; a second
// free would trip the sanitizers).
TEST_F(TBufModule, ABufferGoesWithItsLastHoldOrHolder) {
    {  // hold ends first, then the holder
        TBuf* b = factory->createTBuf("x");
        Holder h(b);
        EXPECT_EQ(b->release(), 0);
        EXPECT_EQ(liveBuffers(), 1);
        EXPECT_EQ(b->references(), 1);
    }
    EXPECT_EQ(liveBuffers(), 0);
    {  // holder ends first, then the hold
        TBuf* b = factory->createTBuf("x");
        { Holder h(b); }
        EXPECT_EQ(liveBuffers(), 1);
        EXPECT_EQ(b->release(), 0);
        EXPECT_EQ(liveBuffers(), 0);
    }
    {  // several holds: counted, one self reference for all of them
        TBuf* b = factory->createTBuf("x");
        EXPECT_EQ(b->acquire(), 2);
        EXPECT_EQ(b->acquire(), 3);
        EXPECT_EQ(b->references(), 1);
        EXPECT_EQ(b->release(), 2);
        EXPECT_EQ(b->release(), 1);
        Holder h(b);
        EXPECT_EQ(b->release(), 0);
        // No hold left to give back: nothing changes.
        EXPECT_EQ(b->release(), S_TBUF_NOT_HELD);
        EXPECT_EQ(b->references(), 1);
        // Held by the holder alone, it can take holds again.
        EXPECT_EQ(b->acquire(), 1);
        EXPECT_EQ(b->references(), 2);
        EXPECT_EQ(b->release(), 0);
    }
    EXPECT_EQ(liveBuffers(), 0);
}

TEST_F(TBufModule, HoldsOnOneBufferComeAndGoFromManyThreads) {
    TBuf* b = factory->createTBuf("shared");
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (b->acquire() < 1) ++refused;
                if (b->release() < 0) ++refused;
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(b->references(), 1);
    EXPECT_EQ(b->release(), 0);
    EXPECT_EQ(liveBuffers(), 0);
}

TEST_F(TBufModule, DistinctBuffersAreMadeAndUsedOnManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                std::string s = std::to_string(t * 1000 + i);
                TBuf* b = factory->createTBuf(s.c_str());
                TBuf* c = factory->createTBuf(b);
                if (b == nullptr || c == nullptr || (*b != c) != 0 || c->shift(1) != 0 || contents(c) != s.substr(1))
                    ++wrong;
                if (b != nullptr) b->release();
                if (c != nullptr) c->release();
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(liveBuffers(), 0);
}

TEST_F(TBufModule, UnloadRefusesNewHoldsThenCutsEveryHoldLoose) {
    TBuf* heldOnly = factory->createTBuf("a");
    TBuf* both = factory->createTBuf("b");
    Holder h(both);
    CMN_GRefPtr<X509CmnSrv_I> f(factory);
    EXPECT_EQ(module->objectManager->moduleIsUsed(), 1);

    module->entry(nullptr, 0);
    // Finished: holds that exist stay, new ones are refused.
    EXPECT_EQ(heldOnly->acquire(), S_TBUF_HOLD_REFUSED);
    EXPECT_EQ(both->acquire(), S_TBUF_HOLD_REFUSED);
    EXPECT_EQ(contents(heldOnly), "a");
    EXPECT_EQ(liveBuffers() + baseline, module->registered());

    module->objectManager->fini();
    EXPECT_EQ(h.get(), nullptr);
    EXPECT_EQ(f.get(), nullptr);
    EXPECT_EQ(module->registered(), 0);
}

TEST_F(TBufModule, ABufferFinishedWhileHeldCanStillGiveItsHoldsBack) {
    TBuf* b = factory->createTBuf("a");
    EXPECT_EQ(b->acquire(), 2);
    module->entry(nullptr, 0);
    EXPECT_EQ(b->release(), 1);
    EXPECT_EQ(b->release(), 0);
    // The unload call let the module object and with it the factory go.
    EXPECT_EQ(module->registered(), 0);
}

TEST_F(TBufModule, ContentsOperations) {
    TBuf* b = factory->createTBuf();
    TBuf* other = factory->createTBuf("abc");
    EXPECT_EQ(b->set(static_cast<char const*>(nullptr)), S_TBUF_BAD_ARGUMENT);
    EXPECT_EQ(b->set(nullptr, 4), S_TBUF_BAD_ARGUMENT);
    EXPECT_EQ(b->set("hello world"), 0);
    EXPECT_EQ(b->set(b->datap() + 6, 5), 0);  // from inside itself
    EXPECT_EQ(contents(b), "world");
    EXPECT_EQ(b->set(nullptr, 0), 0);
    EXPECT_EQ(b->datap(), nullptr);

    EXPECT_EQ(b->dup(nullptr), S_TBUF_BAD_ARGUMENT);
    EXPECT_EQ(b->dup(other), 0);
    EXPECT_EQ(b->dup(b), 0);
    EXPECT_EQ(contents(b), "abc");
    EXPECT_EQ(*b != other, 0);
    EXPECT_EQ(*b != b, 0);
    EXPECT_NE(*b != nullptr, 0);
    other->set("abd");
    EXPECT_NE(*b != other, 0);
    other->set("ab");
    EXPECT_NE(*b != other, 0);

    b->set("0123456789");
    EXPECT_EQ(b->shift(11), S_TBUF_OUT_OF_RANGE);
    EXPECT_EQ(b->retreat(11), S_TBUF_OUT_OF_RANGE);
    EXPECT_EQ(contents(b), "0123456789");
    EXPECT_EQ(b->shift(3), 0);
    EXPECT_EQ(b->retreat(2), 0);
    EXPECT_EQ(contents(b), "34567");
    EXPECT_EQ(b->datap()[5], 0);
    EXPECT_EQ(b->shift(0), 0);
    EXPECT_EQ(b->retreat(5), 0);
    EXPECT_EQ(b->len(), 0u);
    EXPECT_EQ(b->datap(), nullptr);

    EXPECT_EQ(b->reservedSlot5(), S_TBUF_NOT_SUPPORTED);
    EXPECT_EQ(b->reservedSlot9(), S_TBUF_NOT_SUPPORTED);
    b->release();
    other->release();
}

class TBufFiles : public TBufModule {
protected:
    void SetUp() override {
        TBufModule::SetUp();
        char pattern[] = "/tmp/tbuf_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        TBufModule::TearDown();
    }
    // Names in the directory (temporary files left behind show up here).
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    std::string dir;
};

TEST_F(TBufFiles, SaveAndLoadRoundTripAndReplaceAtomically) {
    std::string path = dir + "/data.bin";
    unsigned char bytes[300];
    for (int i = 0; i < 300; ++i) bytes[i] = static_cast<unsigned char>(i);
    TBuf* b = factory->createTBuf(bytes, sizeof bytes);
    TBuf* r = factory->createTBuf("old contents");
    EXPECT_EQ(r->save(path.c_str()), 0);
    EXPECT_EQ(b->save(path.c_str()), 0);
    EXPECT_EQ(r->load(path.c_str()), 0);
    EXPECT_EQ(*r != b, 0);
    EXPECT_EQ(entries(), std::vector<std::string>{"data.bin"});

    TBuf* empty = factory->createTBuf();
    EXPECT_EQ(empty->save(path.c_str()), 0);
    EXPECT_EQ(r->load(path.c_str()), 0);
    EXPECT_EQ(r->len(), 0u);
    for (TBuf* x : {b, r, empty}) x->release();
}

TEST_F(TBufFiles, FileFailuresHaveTheirOwnCodesAndChangeNothing) {
    TBuf* b = factory->createTBuf("keep");
    EXPECT_EQ(b->load(nullptr), S_TBUF_BAD_ARGUMENT);
    EXPECT_EQ(b->save(nullptr), S_TBUF_BAD_ARGUMENT);
    EXPECT_EQ(b->load((dir + "/absent").c_str()), S_TBUF_FILE_MISSING);
    EXPECT_EQ(b->load((dir + "/absent/deeper").c_str()), S_TBUF_FILE_MISSING);
    EXPECT_EQ(b->load(dir.c_str()), S_TBUF_FILE_UNREADABLE);
    EXPECT_EQ(b->save((dir + "/absent/file").c_str()), S_TBUF_FILE_UNWRITABLE);
    EXPECT_EQ(b->save(dir.c_str()), S_TBUF_FILE_UNWRITABLE);  // a directory cannot be replaced

    // A sparse file larger than any buffer: refused by its size, unread.
    std::string huge = dir + "/huge";
    int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(5) << 30), 0) << "needs 64-bit file offsets";
    close(fd);
    EXPECT_EQ(b->load(huge.c_str()), S_TBUF_FILE_TOO_LARGE);

    if (geteuid() != 0) {  // permissions do not stop root
        std::string locked = dir + "/locked";
        ASSERT_EQ(b->save(locked.c_str()), 0);
        chmod(locked.c_str(), 0);
        EXPECT_EQ(b->load(locked.c_str()), S_TBUF_FILE_UNREADABLE);
        chmod(dir.c_str(), 0500);
        EXPECT_EQ(b->save((dir + "/new").c_str()), S_TBUF_FILE_UNWRITABLE);
        chmod(dir.c_str(), 0700);
    }
    EXPECT_EQ(contents(b), "keep");
    for (std::string const& name : entries()) EXPECT_EQ(name.find(".tmp."), std::string::npos) << name;
    b->release();
}

}  // namespace
