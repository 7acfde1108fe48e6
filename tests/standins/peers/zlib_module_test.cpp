// libs_zlib.so, loaded for real and driven through its interfaces.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "cmn_grefptr.h"
#include "zlib_service.h"
#include "peer_host.h"
#include "s_zlib.h"
#include "sample_data.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Holder = CMN_GRefPtr<VBuffer_Interface>;

Bytes zlibCompress(Bytes const& in, int level = Z_DEFAULT_COMPRESSION, int windowBits = 15, int memLevel = 8) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, windowBits, memLevel, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&s, in.size()));
    s.next_in = const_cast<unsigned char*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

Bytes zlibUncompress(unsigned char const* p, size_t n, size_t expected) {
    Bytes out(expected + 1);
    uLongf got = out.size();
    EXPECT_EQ(uncompress(out.data(), &got, p, n), Z_OK);
    out.resize(got);
    return out;
}

class ZlibModule : public ::testing::Test {
protected:
    void SetUp() override {
        module = host.load(S_ZLIB_PATH);
        ASSERT_NE(module, nullptr);
        Tuint32ID id(64);
        CMN_GuardedRef* g = host.lookupService(&id, &TestModuleID());
        ASSERT_NE(g, nullptr);
        service = static_cast<CMN_ZLib_Interface*>(g);
        setMaxOutput = reinterpret_cast<unsigned int (*)(unsigned int)>(module->symbol("s_zlib_set_max_output"));
        maxOutput = reinterpret_cast<unsigned int (*)()>(module->symbol("s_zlib_max_output"));
        ASSERT_NE(setMaxOutput, nullptr);
        ASSERT_NE(maxOutput, nullptr);
    }
    void TearDown() override { EXPECT_TRUE(host.unloadAll()); }

    // Runs one operation on a fresh buffer over `in`; the output lands in `out`.
    int run(Bytes const& in, bool compress, Bytes* out = nullptr) {
        Holder b(service->createVBuffer(in.data(), in.size()));
        if (b.get() == nullptr) return -1;
        int rc = compress ? b.get()->Compress() : b.get()->Decompress();
        if (rc == 0 && out != nullptr) {
            unsigned char const* p = b.get()->GetOutputData();
            EXPECT_NE(p, nullptr);
            out->assign(p, p + b.get()->GetOutputSize());
        }
        return rc;
    }

    TestModuleManager host;
    LoadedModule* module = nullptr;
    CMN_ZLib_Interface* service = nullptr;
    unsigned int (*setMaxOutput)(unsigned int) = nullptr;
    unsigned int (*maxOutput)() = nullptr;
};

TEST_F(ZlibModule, AnswersTheModuleContract) {
    EXPECT_EQ(service->getModuleID(), 64);
    EXPECT_EQ(service->getVersion(), 1);
    EXPECT_EQ(service->getBuild(), 1);
    EXPECT_EQ(static_cast<BaseModuleInterface*>(service), module->service);
    EXPECT_EQ(service->getService(Tuint32ID(64)), static_cast<CMN_GuardedRef*>(service));
    EXPECT_EQ(service->getService(Tuint32ID(65)), nullptr);
    EXPECT_EQ(service->getService(TstringID("ZLIB")), nullptr);
    // Only the module's own stub holds the service after the load call.
    EXPECT_EQ(service->references(), 1);
    EXPECT_EQ(module->registered(), 1);
    EXPECT_EQ(module->objectManager->moduleIsUsed(), 0);
    // A load call with a non-zero integer records the manager and creates
    // nothing; the unload call leaves the last manager recorded.
    auto* recorded = static_cast<ModMgr_Interface**>(module->symbol("ModMgr"));
    ASSERT_NE(recorded, nullptr);
    EXPECT_EQ(*recorded, &host);
    TestModuleManager other;
    EXPECT_EQ(module->entry(&other, 7), nullptr);
    EXPECT_EQ(*recorded, &other);
    EXPECT_EQ(module->registered(), 1);
    module->entry(&host, 7);
}

TEST_F(ZlibModule, RoundTripsAtManySizesAndZlibReadsTheOutput) {
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(100), size_t(65536), size_t(3) << 20}) {
        for (Bytes const& in : {textLike(n), binaryLike(n)}) {
            Bytes packed, restored;
            ASSERT_EQ(run(in, true, &packed), 0) << n;
            EXPECT_EQ(zlibUncompress(packed.data(), packed.size(), in.size()), in) << n;
            ASSERT_EQ(run(packed, false, &restored), 0) << n;
            EXPECT_EQ(restored, in) << n;
        }
    }
}

TEST_F(ZlibModule, ReadsStreamsOfEveryLevelAndWindowSize) {
    Bytes in = textLike(200000, 3);
    for (int level : {0, 1, 6, 9})
        for (int windowBits : {9, 12, 15})
            for (int memLevel : {1, 9}) {
                Bytes restored;
                ASSERT_EQ(run(zlibCompress(in, level, windowBits, memLevel), false, &restored), 0)
                    << level << " " << windowBits << " " << memLevel;
                EXPECT_EQ(restored, in);
            }
}

TEST_F(ZlibModule, AnswersNotCompressedForInputThatIsNoZlibData) {
    Bytes packed = zlibCompress(textLike(1000));
    Bytes method7 = packed, window64k = packed, badCheck = packed;
    method7[0] = 0x77;  // method 7; check bits left wrong too, but the method decides
    window64k[0] = 0x88;
    window64k[1] = static_cast<unsigned char>(31 - ((0x88 << 8) % 31));  // valid check bits
    badCheck[1] ^= 0x01;
    for (Bytes const& in : {Bytes{}, Bytes{0x78}, Bytes{'h', 'e', 'l', 'l', 'o'}, method7, window64k, badCheck})
        EXPECT_EQ(run(in, false), VBUFFER_NOT_COMPRESSED);
}

TEST_F(ZlibModule, GivesDistinctCodesForDamagedStreams) {
    Bytes in = textLike(50000);
    Bytes packed = zlibCompress(in);

    Bytes badAdler = packed;
    badAdler.back() ^= 0x01;
    EXPECT_EQ(run(badAdler, false), S_ZLIB_CORRUPT_DATA);
    Bytes reservedBlock = {0x78, 0x9c, 0x07, 0x00};  // block type 3 does not exist
    EXPECT_EQ(run(reservedBlock, false), S_ZLIB_CORRUPT_DATA);

    EXPECT_EQ(run(Bytes(packed.begin(), packed.begin() + packed.size() / 2), false), S_ZLIB_TRUNCATED);
    EXPECT_EQ(run(Bytes(packed.begin(), packed.end() - 1), false), S_ZLIB_TRUNCATED);
    EXPECT_EQ(run(Bytes(packed.begin(), packed.begin() + 2), false), S_ZLIB_TRUNCATED);

    Bytes trailing = packed;
    trailing.push_back(0);
    EXPECT_EQ(run(trailing, false), S_ZLIB_TRAILING_DATA);

    z_stream s{};
    ASSERT_EQ(deflateInit(&s, 6), Z_OK);
    static unsigned char const dictionary[] = "the buffer module holds";
    ASSERT_EQ(deflateSetDictionary(&s, dictionary, sizeof dictionary - 1), Z_OK);
    Bytes withDict(deflateBound(&s, in.size()));
    s.next_in = in.data();
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = withDict.data();
    s.avail_out = static_cast<uInt>(withDict.size());
    ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    withDict.resize(s.total_out);
    deflateEnd(&s);
    EXPECT_EQ(run(withDict, false), S_ZLIB_NEEDS_DICTIONARY);
}

TEST_F(ZlibModule, RefusesOutputBeyondTheLimit) {
    Bytes zeros(8u << 20, 0);
    Bytes bomb = zlibCompress(zeros, 9);
    ASSERT_LT(bomb.size(), 20000u);

    EXPECT_EQ(setMaxOutput(1u << 20), S_ZLIB_DEFAULT_MAX_OUTPUT);
    EXPECT_EQ(run(bomb, false), S_ZLIB_OUTPUT_LIMIT);
    setMaxOutput(static_cast<unsigned int>(zeros.size()) - 1);
    EXPECT_EQ(run(bomb, false), S_ZLIB_OUTPUT_LIMIT);
    setMaxOutput(static_cast<unsigned int>(zeros.size()));
    Bytes restored;
    EXPECT_EQ(run(bomb, false, &restored), 0);
    EXPECT_EQ(restored, zeros);
    EXPECT_EQ(setMaxOutput(0), zeros.size());
    EXPECT_EQ(maxOutput(), S_ZLIB_DEFAULT_MAX_OUTPUT);
}

TEST(ZlibModuleEnvironment, TheLoadCallReadsTheLimitFromTheEnvironment) {
    struct Case {
        char const* text;
        unsigned int limit;
    } const cases[] = {{"4096", 4096u},
                       {"4294967295", 4294967295u},
                       {"0", S_ZLIB_DEFAULT_MAX_OUTPUT},
                       {"4294967296", S_ZLIB_DEFAULT_MAX_OUTPUT},
                       {"12k", S_ZLIB_DEFAULT_MAX_OUTPUT},
                       {"-5", S_ZLIB_DEFAULT_MAX_OUTPUT},
                       {nullptr, S_ZLIB_DEFAULT_MAX_OUTPUT}};
    for (Case const& c : cases) {
        if (c.text != nullptr)
            setenv("S_ZLIB_MAX_OUTPUT", c.text, 1);
        else
            unsetenv("S_ZLIB_MAX_OUTPUT");
        TestModuleManager host;
        LoadedModule* m = host.load(S_ZLIB_PATH);
        ASSERT_NE(m, nullptr);
        auto limit = reinterpret_cast<unsigned int (*)()>(m->symbol("s_zlib_max_output"));
        EXPECT_EQ(limit(), c.limit) << (c.text ? c.text : "(unset)");
        EXPECT_TRUE(host.unloadAll());
    }
    unsetenv("S_ZLIB_MAX_OUTPUT");
}

TEST_F(ZlibModule, WorksOnTheCallersBytesWithoutCopying) {
    Bytes in = textLike(5000);
    Holder b(service->createVBuffer(in.data(), in.size()));
    ASSERT_NE(b.get(), nullptr);
    // Changed after creation: the buffer sees the change.
    std::memset(in.data(), 'z', 100);
    ASSERT_EQ(b.get()->Compress(), 0);
    EXPECT_EQ(zlibUncompress(b.get()->GetOutputData(), b.get()->GetOutputSize(), in.size()), in);
}

TEST_F(ZlibModule, AFailureKeepsTheLastOutput) {
    Holder b(service->createVBuffer(nullptr, 0));
    ASSERT_NE(b.get(), nullptr);
    EXPECT_EQ(b.get()->GetOutputSize(), 0u);
    EXPECT_EQ(b.get()->GetOutputData(), nullptr);
    EXPECT_EQ(b.get()->Decompress(), VBUFFER_NOT_COMPRESSED);
    EXPECT_EQ(b.get()->GetOutputData(), nullptr);
    ASSERT_EQ(b.get()->Compress(), 0);
    Bytes first(b.get()->GetOutputData(), b.get()->GetOutputData() + b.get()->GetOutputSize());
    EXPECT_EQ(zlibUncompress(first.data(), first.size(), 0), Bytes{});
    EXPECT_EQ(b.get()->Decompress(), VBUFFER_NOT_COMPRESSED);
    EXPECT_EQ(Bytes(b.get()->GetOutputData(), b.get()->GetOutputData() + b.get()->GetOutputSize()), first);
    // Null bytes with a length make no buffer.
    EXPECT_EQ(service->createVBuffer(nullptr, 10), nullptr);
}

TEST_F(ZlibModule, ABufferComesUnreferencedAndGoesWithItsLastHolder) {
    Bytes in = textLike(100);
    VBuffer_Interface* raw = service->createVBuffer(in.data(), in.size());
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->references(), 0);
    EXPECT_EQ(module->registered(), 2);
    {
        Holder a(raw);
        Holder b(a);
        EXPECT_EQ(raw->references(), 2);
        EXPECT_EQ(module->objectManager->moduleIsUsedBy(TestModuleID()), 1);
    }
    EXPECT_EQ(module->registered(), 1);
}

TEST_F(ZlibModule, UnloadCutsLiveBuffersLooseAndEmptiesTheRegistry) {
    Bytes in = textLike(100);
    Holder b(service->createVBuffer(in.data(), in.size()));
    CMN_GRefPtr<CMN_ZLib_Interface> s(service);
    EXPECT_EQ(module->objectManager->moduleIsUsed(), 1);
    module->entry(nullptr, 0);
    // The unload call finishes objects but cuts nobody loose.
    EXPECT_EQ(b.get()->Compress(), 0);
    EXPECT_EQ(module->registered(), 2);
    module->objectManager->fini();
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_EQ(s.get(), nullptr);
    EXPECT_EQ(module->registered(), 0);
}

TEST_F(ZlibModule, DistinctBuffersWorkOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                Bytes in = (i % 2 != 0) ? textLike(1000 + 997 * i, t) : binaryLike(64 * i, t);
                Bytes packed, restored;
                if (run(in, true, &packed) != 0 || run(packed, false, &restored) != 0 || restored != in)
                    ++failures[t];
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(module->registered(), 1);
}

}  // namespace
