// The codec unit of the zlib service, in process: every backend built here
// behaves alike on the format's edge cases.
#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "codec.h"
#include "sample_data.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes deflateWith(Bytes const& in, int level, int flushEvery = 0) {
    z_stream s{};
    EXPECT_EQ(deflateInit(&s, level), Z_OK);
    Bytes out(deflateBound(&s, in.size()) + 64 + (flushEvery ? in.size() / flushEvery * 8 : 0));
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    size_t step = flushEvery != 0 ? static_cast<size_t>(flushEvery) : in.size();
    size_t done = 0;
    do {
        size_t piece = in.size() - done < step ? in.size() - done : step;
        s.next_in = const_cast<unsigned char*>(in.data() + done);
        s.avail_in = static_cast<uInt>(piece);
        done += piece;
        EXPECT_NE(deflate(&s, done == in.size() ? Z_FINISH : Z_FULL_FLUSH), Z_STREAM_ERROR);
    } while (done < in.size());
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

template <class C>
class CodecTest : public ::testing::Test {
public:
    static int decompress(Bytes const& in, size_t limit, Bytes* out = nullptr) {
        CodecOutput o;
        int rc = C::decompress(in.data(), in.size(), limit, o);
        if (rc == 0 && out != nullptr) out->assign(o.data(), o.data() + o.size());
        if (rc == 0) {
            EXPECT_NE(o.data(), nullptr);
        } else {
            EXPECT_EQ(o.data(), nullptr);
        }
        return rc;
    }
    static Bytes compress(Bytes const& in) {
        CodecOutput o;
        EXPECT_EQ(C::compress(in.data(), in.size(), o), 0);
        return Bytes(o.data(), o.data() + o.size());
    }
};

#if S_ZLIB_HAVE_LIBDEFLATE
using Backends = ::testing::Types<ZlibCodec, LibdeflateCodec, MeasuredCodec>;
#else
using Backends = ::testing::Types<ZlibCodec>;
#endif
TYPED_TEST_SUITE(CodecTest, Backends);

constexpr size_t kNoLimit = size_t(1) << 30;

TYPED_TEST(CodecTest, EveryProperPrefixOfAStreamIsTruncated) {
    Bytes packed = deflateWith(textLike(6000), 6, 1000);  // several blocks
    for (size_t n = 2; n < packed.size(); ++n)
        ASSERT_EQ(this->decompress(Bytes(packed.begin(), packed.begin() + n), kNoLimit), S_ZLIB_TRUNCATED) << n;
    ASSERT_EQ(this->decompress(packed, kNoLimit), 0);
}

TYPED_TEST(CodecTest, TheLimitIsExact) {
    Bytes in = binaryLike(100000);
    Bytes packed = deflateWith(in, 9);
    Bytes out;
    EXPECT_EQ(this->decompress(packed, in.size(), &out), 0);
    EXPECT_EQ(out, in);
    EXPECT_EQ(this->decompress(packed, in.size() - 1), S_ZLIB_OUTPUT_LIMIT);
    EXPECT_EQ(this->decompress(packed, 1), S_ZLIB_OUTPUT_LIMIT);
    Bytes nothing = deflateWith(Bytes{}, 6);
    EXPECT_EQ(this->decompress(nothing, 0, &out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(this->decompress(deflateWith(Bytes{1}, 6), 0), S_ZLIB_OUTPUT_LIMIT);
}

TYPED_TEST(CodecTest, ReadsStoredAndFlushedBlocksAndTheOtherBackendsOutput) {
    Bytes in = textLike(300000, 5);
    Bytes out;
    for (Bytes const& packed : {deflateWith(in, 0), deflateWith(in, 1, 777), CodecTest<ZlibCodec>::compress(in)}) {
        ASSERT_EQ(this->decompress(packed, kNoLimit, &out), 0);
        EXPECT_EQ(out, in);
    }
    Bytes mine = this->compress(in);
    ASSERT_EQ(CodecTest<ZlibCodec>::decompress(mine, kNoLimit, &out), 0);
    EXPECT_EQ(out, in);
}

// Damaged streams: never more than the known codes, and every backend gives
// the same code for the same damage.
TYPED_TEST(CodecTest, DamagedStreamsGetTheSameCodeAsFromZlib) {
    Bytes packed = deflateWith(textLike(4000, 9), 6, 900);
    uint32_t x = 12345;
    for (int round = 0; round < 400; ++round) {
        Bytes damaged = packed;
        for (int flips = 0; flips < 1 + round % 3; ++flips) {
            x = x * 1664525u + 1013904223u;
            damaged[x % damaged.size()] ^= static_cast<unsigned char>(1u << ((x >> 24) % 8));
        }
        int rc = this->decompress(damaged, kNoLimit);
        int reference = ZlibCodec::classify(damaged.data(), damaged.size(), kNoLimit);
        EXPECT_TRUE(rc == 0 || (rc >= VBUFFER_NOT_COMPRESSED && rc <= S_ZLIB_TRAILING_DATA)) << rc;
        EXPECT_EQ(rc, reference) << "round " << round;
    }
}

}  // namespace
