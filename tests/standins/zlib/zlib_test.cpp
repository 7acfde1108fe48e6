// The zlib peer, libs_zlib.so, loaded by the reference host and driven through
// its interfaces, against streams zlib itself makes and reads. Round trips at
// many sizes, both ways with zlib, run end to end (tests/e2e).
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "big_block.h"
#include "cmn_grefptr.h"
#include "codec.h"  // ZlibCodec::classify: zlib's own reading of a stream
#include "copy_bytes.h"
#include "standin_host.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Holder = CMN_GRefPtr<VBuffer_Interface>;

// Runs of a phrase from shifting places (compresses about as well as prose), or noise.
Bytes sample(size_t n, bool text) {
    static char const phrase[] = "the buffer module holds a reference to the service and compresses data; ";
    Bytes out(n);
    for (uint32_t i = 0, x = 1; i < n; ++i, x = x * 1664525u + 1013904223u)
        out[i] = static_cast<unsigned char>(text ? phrase[(i + i / 16 * (x >> 29)) % (sizeof phrase - 1)] : x >> 24);
    return out;
}

// A stream made by zlib itself, of two blocks at least (a full flush half way).
Bytes zlibStream(Bytes const& in, int level = 6, int windowBits = 15, char const* dict = nullptr) {
    z_stream s{};
    deflateInit2(&s, level, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    if (dict != nullptr) deflateSetDictionary(&s, reinterpret_cast<Bytef const*>(dict), std::strlen(dict));
    Bytes out(deflateBound(&s, in.size()) + 64);
    s.next_in = const_cast<Bytef*>(in.data());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    for (uInt part : {uInt(in.size() / 2), uInt(in.size() - in.size() / 2)}) {
        s.avail_in = part;
        deflate(&s, s.total_in + part < in.size() ? Z_FULL_FLUSH : Z_FINISH);
    }
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

Bytes outputOf(VBuffer_Interface* b) { return Bytes(b->GetOutputData(), b->GetOutputData() + b->GetOutputSize()); }

class StandinZlib : public OneModule<CMN_ZLib_Interface> {
protected:
    void SetUp() override { load("libs_zlib.so", Tuint32ID(64)); }
    // One operation on a fresh buffer over `in`; the output of a success lands in `out`.
    int run(Bytes const& in, bool compress, Bytes* out = nullptr) {
        Holder b(service->createVBuffer(in.data(), in.size()));
        int rc = compress ? b.get()->Compress() : b.get()->Decompress();
        EXPECT_EQ(rc == 0, b.get()->GetOutputData() != nullptr) << "output after a success only, never null then";
        if (rc == 0 && out != nullptr) *out = outputOf(b.get());
        return rc;
    }
    unsigned int limit(unsigned int bytes) {
        return reinterpret_cast<unsigned int (*)(unsigned int)>(dlsym(m.handle, "s_zlib_set_max_output"))(bytes);
    }
};

// Every result code; every proper prefix is cut short; random damage gets
// the code zlib's own reading gives; the output limit is exact.
TEST_F(StandinZlib, EveryResultCodeOfDecompress) {
    Bytes in = sample(50000, true), z = zlibStream(in), zeros(8u << 20, 0), bomb = zlibStream(zeros, 9), back;
    auto with = [](Bytes b, size_t at, int v) { return b.at(at) = static_cast<unsigned char>(v), b; };
    struct Case {
        char const* what;
        Bytes in;
        int code;
    } const cases[] = {{"empty", {}, VBUFFER_NOT_COMPRESSED},
                       {"one byte", {0x78}, VBUFFER_NOT_COMPRESSED},
                       {"method 7", with(z, 0, 0x77), VBUFFER_NOT_COMPRESSED},
                       {"64 KiB window", with(with(z, 0, 0x88), 1, 31 - 0x8800 % 31), VBUFFER_NOT_COMPRESSED},
                       {"header check bits", with(z, 1, z[1] ^ 1), VBUFFER_NOT_COMPRESSED},
                       {"Adler-32", with(z, z.size() - 1, z.back() ^ 1), S_ZLIB_CORRUPT_DATA},
                       {"block type 3", {0x78, 0x9c, 0x07, 0x00}, S_ZLIB_CORRUPT_DATA},
                       {"dictionary", zlibStream(in, 6, 15, "the buffer module"), S_ZLIB_NEEDS_DICTIONARY},
                       {"8 MiB at a 1 MiB limit", bomb, S_ZLIB_OUTPUT_LIMIT},
                       {"whole", z, 0},
                       {"one trailing byte",
                        [&] {
                            Bytes t = z;
                            return t.push_back(0), t;
                        }(),
                        S_ZLIB_TRAILING_DATA}};
    EXPECT_EQ(limit(1u << 20), S_ZLIB_DEFAULT_MAX_OUTPUT);
    for (Case const& c : cases) {  // the service, and zlib's own reading: the backend of 32-bit builds
        EXPECT_EQ(run(c.in, false), c.code) << c.what;
        EXPECT_EQ(ZlibCodec::classify(c.in.data(), c.in.size(), 1u << 20), c.code) << c.what;
    }
    Bytes small = zlibStream(sample(6000, true));
    for (size_t n = 2; n < small.size(); ++n) ASSERT_EQ(run(Bytes(&small[0], &small[n]), false), S_ZLIB_TRUNCATED) << n;
    for (uint32_t x = 1, round = 0; round < 400; ++round, x = x * 1664525u + 1013904223u) {
        Bytes bad = with(small, x % small.size(), small[x % small.size()] ^ (1u << (x >> 24) % 8));
        EXPECT_EQ(run(bad, false), ZlibCodec::classify(bad.data(), bad.size(), 1u << 20)) << round;
    }
    limit(static_cast<unsigned int>(zeros.size()) - 1);
    EXPECT_EQ(run(bomb, false), S_ZLIB_OUTPUT_LIMIT);
    CodecOutput grown;  // zlib's growing block, the backend of 32-bit builds
    EXPECT_EQ(ZlibCodec::decompress(bomb.data(), bomb.size(), zeros.size() - 1, grown), S_ZLIB_OUTPUT_LIMIT);
    EXPECT_EQ(ZlibCodec::decompress(bomb.data(), bomb.size(), zeros.size(), grown), 0);
    EXPECT_TRUE(grown.size() == zeros.size() && std::memcmp(grown.data(), zeros.data(), zeros.size()) == 0);
    limit(static_cast<unsigned int>(zeros.size()));
    EXPECT_TRUE(run(bomb, false, &back) == 0 && back == zeros);
    EXPECT_EQ(limit(0), zeros.size());
    EXPECT_EQ(limit(0), S_ZLIB_DEFAULT_MAX_OUTPUT) << "0 restores the default";
    limit(UINT_MAX);
    EXPECT_EQ(limit(0), S_ZLIB_LARGEST_OUTPUT) << "no limit beyond what a byte buffer holds";
    // The longest input to compress: its bound fits a byte buffer, one byte more does not.
    unsigned const most = reinterpret_cast<unsigned (*)()>(dlsym(m.handle, "s_zlib_max_input"))();
    EXPECT_TRUE(Codec::bound(most) <= S_ZLIB_LARGEST_OUTPUT && Codec::bound(size_t{most} + 1) > S_ZLIB_LARGEST_OUTPUT &&
                most > S_ZLIB_LARGEST_OUTPUT / 1000 * 998)
        << most;
}

// A value the load call refuses keeps the default, and says so.
TEST(StandinZlibEnvironment, TheLoadCallReadsTheLimit) {
    unsigned const byDefault = S_ZLIB_DEFAULT_MAX_OUTPUT;
    std::tuple<char const*, unsigned, int> const cases[] = {
        {"4096", 4096u, 0},           {"4294967294", 4294967294u, 0},
        {nullptr, byDefault, 0},      {"0", byDefault, 1},
        {"4294967295", byDefault, 1}, {"12k", byDefault, 1},
        {"-5", byDefault, 1},         {"", byDefault, 0},
        {"1e6", byDefault, 1},        {" 7", byDefault, 1}};
    for (auto const& [text, bytes, rejected] : cases) {
        text != nullptr ? setenv("S_ZLIB_MAX_OUTPUT", text, 1) : unsetenv("S_ZLIB_MAX_OUTPUT");
        HostModules host;
        ASSERT_TRUE(host.load(ZIP_MODULE_DIR "/libs_zlib.so", nullptr));
        void* h = host.modules()[0].handle;
        EXPECT_EQ(reinterpret_cast<unsigned (*)()>(dlsym(h, "s_zlib_max_output"))(), bytes) << text;
        EXPECT_EQ(reinterpret_cast<int (*)()>(dlsym(h, "s_zlib_max_output_rejected"))(), rejected) << text;
    }
    unsetenv("S_ZLIB_MAX_OUTPUT");
}

// Codec states and output blocks are reused from call to call, across sizes
// and both ways: every output stays exact and its own while others are made.
TEST_F(StandinZlib, ReusedStatesAndBlocksKeepEveryOutputApart) {
    std::vector<Bytes> plain, packed;
    std::vector<Holder> restored;
    for (size_t n : {size_t(300000), size_t(10), size_t(5000), size_t(3) << 20, size_t(0), size_t(200000)})
        for (bool text : {true, false}) {
            plain.push_back(sample(n, text));
            packed.emplace_back();
            ASSERT_EQ(run(plain.back(), true, &packed.back()), 0);
            Bytes back(n + 1);
            uLongf got = back.size();
            EXPECT_TRUE(uncompress(back.data(), &got, packed.back().data(), packed.back().size()) == Z_OK && got == n &&
                        std::equal(plain.back().begin(), plain.back().end(), back.begin()))
                << n;
        }
    for (size_t i = 0; i < packed.size(); ++i) {
        restored.emplace_back(service->createVBuffer(packed[i].data(), packed[i].size()));
        ASSERT_EQ(restored.back().get()->Decompress(), 0) << i;
    }
    for (size_t i = 0; i < packed.size(); ++i) EXPECT_EQ(outputOf(restored[i].get()), plain[i]) << i;
}

// Noise (compressed or encrypted data) comes out as stored blocks, within
// zlib's bound; noise that repeats itself still shrinks, since the cheaper
// coding it gets still looks for matches.
TEST_F(StandinZlib, NoiseIsStoredButItsRepeatsAreFound) {
    Bytes noise = sample(1 << 20, false);
    Bytes packed;
    ASSERT_EQ(run(noise, true, &packed), 0);
    EXPECT_LE(packed.size(), compressBound(noise.size()));
    Bytes repeated;
    for (int i = 0; i < 16; ++i) repeated.insert(repeated.end(), noise.begin(), noise.begin() + 8192);
    ASSERT_EQ(run(repeated, true, &packed), 0);
    EXPECT_LT(packed.size(), repeated.size() / 4);
    Bytes back;
    ASSERT_EQ(run(packed, false, &back), 0);
    EXPECT_EQ(back, repeated);
    // Prose (this project's own guides) gets the usual level: within 2% of zlib's level 6.
    Bytes prose;
    for (char const* doc : {"/README.md", "/docs/architecture.md", "/docs/client-guide.md"}) {
        std::ifstream in(std::string(ZIP_SOURCE_DIR) + doc, std::ios::binary);
        prose.insert(prose.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    uLongf made = compressBound(prose.size());
    Bytes zlib6(made);
    ASSERT_TRUE(prose.size() > 20000 && run(prose, true, &packed) == 0 &&
                compress2(zlib6.data(), &made, prose.data(), prose.size(), 6) == Z_OK);
    EXPECT_LE(packed.size(), made + made / 50) << prose.size() << " bytes: zlib level 6 makes " << made;
}

// The large-block cache of a peer: blocks are 2 MiB-aligned and whole 2 MiB
// pages; a block given back serves the next request that fits, the smallest
// that fits first; a full cache keeps the larger blocks; and the cached
// blocks keep at most kBigBlockWarm bytes resident in all, in whole 2 MiB
// pages (what a block lets go of reads as fresh zeros).
TEST(StandinBigBlocks, GiveAndTakeSequences) {
    constexpr size_t MiB = size_t{1} << 20;
    EXPECT_EQ(takeBigBlock(SIZE_MAX).base, nullptr);
    BigBlock a = takeBigBlock(1), b = takeBigBlock(3 * MiB), c = takeBigBlock(5 * MiB);
    for (BigBlock const* x : {&a, &b, &c}) {
        ASSERT_NE(x->base, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(x->base) % (2 * MiB), 0u);
        std::memset(x->base, 0x5A, x->reserved);
    }
    EXPECT_EQ(std::make_tuple(a.reserved, b.reserved, c.reserved), std::make_tuple(2 * MiB, 4 * MiB, 6 * MiB));
    giveBigBlock(c, c.reserved);
    giveBigBlock(a, 1);
    giveBigBlock(b, b.reserved);
    BigBlock again = takeBigBlock(3 * MiB);  // 4 MiB fits best, 6 MiB was given back first
    EXPECT_EQ(again.base, b.base);
    giveBigBlock(again, 0);
    BigBlock more[3] = {takeBigBlock(7 * MiB), takeBigBlock(9 * MiB), takeBigBlock(16 * MiB)};
    for (BigBlock const& x : more) giveBigBlock(x, x.reserved);  // six blocks for four places: 2 and 4 MiB go
    BigBlock small = takeBigBlock(MiB);
    EXPECT_EQ(small.reserved, 6 * MiB) << "the smallest block kept";
    giveBigBlock(small, 0);
    BigBlock big = takeBigBlock(16 * MiB);
    ASSERT_EQ(big.base, more[2].base);
    std::memset(big.base, 0x5A, big.reserved);
    giveBigBlock(big, big.reserved);
    big = takeBigBlock(16 * MiB);
    ASSERT_EQ(big.base, more[2].base);
    size_t const othersWarm = 6 * MiB + 8 * MiB + 10 * MiB;  // the 6, 8 and 10 MiB blocks, each whole
    ASSERT_EQ(kBigBlockWarm - othersWarm, 8 * MiB);
    EXPECT_EQ(big.touched, 8 * MiB);
    EXPECT_EQ(big.base[8 * MiB - 1] * 256 + big.base[12 * MiB], 0x5A00) << "warm part kept, the rest let go";
    BigBlock others[3] = {takeBigBlock(5 * MiB), takeBigBlock(7 * MiB), takeBigBlock(9 * MiB)};
    std::memset(big.base, 0x5A, big.reserved);
    giveBigBlock(big, big.reserved);  // alone in the cache: warm whole
    big = takeBigBlock(16 * MiB);
    EXPECT_EQ(big.touched, 16 * MiB);
    EXPECT_EQ(big.base[16 * MiB - 1], 0x5A);
    for (BigBlock const& x : others) giveBigBlock(x, 0);
    giveBigBlock(big, 0);
}

// copyBytes copies exactly the bytes asked for at every distance, those it
// copies backwards in pieces (a destination just past the source modulo
// 4 KiB, 2 KiB to 512 KiB) included: sizes off the piece size, and nothing
// written outside the destination.
TEST(StandinBigBlocks, CopyBytesAtEveryDistance) {
    constexpr size_t kFrom = 100, kRoom = size_t{1} << 21;
    Bytes source(kRoom), target(kRoom + 2 * 4096);
    for (size_t i = 0; i < kRoom; ++i) source[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
    for (size_t n : {size_t{0}, size_t{1}, size_t{2048}, size_t{2049}, size_t{4096}, size_t{4096 + 37},
                     size_t{65536 + 5}, size_t{300000}, size_t{600000}})
        for (size_t ahead : {0, 1, 8, 31, 63, 64, 4095}) {
            uintptr_t const from = reinterpret_cast<uintptr_t>(&source[kFrom]);
            size_t const at = 4096 + ((from + ahead - reinterpret_cast<uintptr_t>(&target[4096])) & 4095);
            std::fill(target.begin(), target.end(), 0xEE);
            copyBytes(&target[at], &source[kFrom], n);
            ASSERT_TRUE(std::equal(&source[kFrom], &source[kFrom] + n, &target[at])) << n << " bytes, " << ahead;
            ASSERT_TRUE(std::all_of(target.begin(), target.begin() + at, [](unsigned char c) { return c == 0xEE; }));
            ASSERT_TRUE(std::all_of(target.begin() + at + n, target.end(), [](unsigned char c) { return c == 0xEE; }));
        }
}

// The service after its load call; a buffer over the caller's bytes keeps
// its last output through a failure, comes unreferenced, goes with its last
// holder, and is cut loose by the unload protocol.
TEST_F(StandinZlib, ContractBuffersAndTheUnloadProtocol) {
    expectContract(64);
    EXPECT_EQ(service->getService(Tuint32ID(65)), nullptr);
    EXPECT_EQ(service->references(), 1);  // the module's own stub only
    EXPECT_EQ(service->createVBuffer(nullptr, 10), nullptr);
    Bytes in = sample(5000, true), back;
    VBuffer_Interface* raw = service->createVBuffer(in.data(), in.size());
    EXPECT_EQ(raw->references() + registered(), 2);
    {
        Holder a(raw), b(a);
        EXPECT_EQ(m.objects->moduleIsUsedBy(*GetModuleID()), 1);
        ASSERT_EQ(raw->Compress(), 0);
        EXPECT_EQ(raw->Decompress(), VBUFFER_NOT_COMPRESSED);
        EXPECT_TRUE(run(outputOf(raw), false, &back) == 0 && back == in) << "the last output stays";
    }
    EXPECT_EQ(registered(), 1);
    Holder b(service->createVBuffer(in.data(), in.size()));
    CMN_GRefPtr<CMN_ZLib_Interface> s(service);
    EXPECT_EQ(report(host.unloadAll()), "ZLIB 2 used 0 closed gone;");
    EXPECT_TRUE(b.get() == nullptr && s.get() == nullptr);
}

// The block cache hands the smallest cached block that fits, and never the
// same block to two takers: two threads take, fill, check and give back
// blocks of three sizes at once, each block marked with its taker's pattern.
TEST(BigBlockCache, SmallestFitAndOneTakerPerBlock) {
    size_t const mib = size_t{1} << 20;
    BigBlock small = takeBigBlock(2 * mib), large = takeBigBlock(6 * mib);
    ASSERT_TRUE(small.base != nullptr && large.base != nullptr);
    unsigned char* const smallBase = small.base;
    unsigned char* const largeBase = large.base;
    giveBigBlock(large, 0);
    giveBigBlock(small, 0);
    BigBlock again = takeBigBlock(mib);
    EXPECT_EQ(again.base, smallBase) << "the smallest block that fits";
    BigBlock big = takeBigBlock(4 * mib);
    EXPECT_EQ(big.base, largeBase);
    giveBigBlock(again, 0);
    giveBigBlock(big, 0);

    auto work = [mib](unsigned char mark, bool* clean) {
        size_t const sizes[] = {kBigBlockFrom, 2 * mib, 5 * mib};
        for (int i = 0; i < 20000; ++i) {
            size_t const n = sizes[i % 3];
            BigBlock b = takeBigBlock(n);
            if (b.base == nullptr) continue;
            size_t const at[] = {0, n / 2, n - 1};
            for (size_t k : at) b.base[k] = mark;
            for (int spin = 0; spin < 3; ++spin) b.base[at[spin]] = b.base[at[2 - spin]];
            for (size_t k : at)
                if (b.base[k] != mark) *clean = false;
            giveBigBlock(b, n);
        }
    };
    bool cleanA = true, cleanB = true;
    std::thread a(work, 0xA5, &cleanA);
    work(0x5A, &cleanB);
    a.join();
    EXPECT_TRUE(cleanA && cleanB) << "a block was handed to two threads at once";
}

}  // namespace
