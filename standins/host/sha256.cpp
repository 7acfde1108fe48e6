#include "sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZIP_SHA256_X86 1
#endif

namespace {

uint32_t const kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Folds whole 64-byte blocks into the state.
using BlockFunction = void (*)(uint32_t state[8], unsigned char const* p, size_t blocks);

void portableBlocks(uint32_t h[8], unsigned char const* p, size_t blocks) {
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (; blocks != 0; --blocks, p += 64) {
        uint32_t w[64];
        for (size_t i = 0; i < 16; ++i)
            w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 | uint32_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; ++i)
            w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                   (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        // The working variables stay in registers: the rounds shift them by
        // assignment, not through memory.
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t const t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            uint32_t const t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
}

#ifdef ZIP_SHA256_X86
// The SHA extensions keep the state as two registers, ABEF and CDGH, and
// take four rounds' message words plus constants at a time, two rounds per
// instruction. Message words 16..63 come four at a time from the previous
// sixteen: msg1 adds sigma0 terms, the alignr the w[t-7] words, msg2 the
// sigma1 terms.
__attribute__((target("sha,sse4.1"))) void shaExtensionBlocks(uint32_t h[8], unsigned char const* p, size_t blocks) {
    __m128i const byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i const dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(h)), 0xB1);  // CDAB
    __m128i const hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(h + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
    for (; blocks != 0; --blocks, p += 64) {
        __m128i const abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];
#pragma GCC unroll 16  // constant indexes: the four message registers stay registers
        for (size_t i = 0; i < 16; ++i) {
            __m128i& now = w[i % 4];
            if (i < 4)
                now = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<__m128i const*>(p + 16 * i)), byteSwap);
            else
                now = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(now, w[(i + 1) % 4]),
                                                         _mm_alignr_epi8(w[(i + 3) % 4], w[(i + 2) % 4], 4)),
                                           w[(i + 3) % 4]);
            __m128i words = _mm_add_epi32(now, _mm_loadu_si128(reinterpret_cast<__m128i const*>(kRound + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
            words = _mm_shuffle_epi32(words, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    __m128i const feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i const dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool processorHasShaExtensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_SSSE3) == 0 || (c & bit_SSE4_1) == 0) return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
    return (b & bit_SHA) != 0;
}
#endif

BlockFunction bestBlocks() {
#ifdef ZIP_SHA256_X86
    static BlockFunction const best = processorHasShaExtensions() ? shaExtensionBlocks : portableBlocks;
    return best;
#else
    return portableBlocks;
#endif
}

// A digest being computed: whole blocks go straight from the caller's bytes,
// the rest waits in `pending`.
class Sha256 {
public:
    explicit Sha256(BlockFunction blocks) : blocks_(blocks) {}

    void add(unsigned char const* p, size_t n) {
        total_ += n;
        if (have_ != 0) {
            size_t const take = n < 64 - have_ ? n : 64 - have_;
            std::memcpy(pending_ + have_, p, take);
            have_ += take, p += take, n -= take;
            if (have_ < 64) return;
            blocks_(h_, pending_, 1);
            have_ = 0;
        }
        blocks_(h_, p, n / 64);
        std::memcpy(pending_, p + n / 64 * 64, n % 64);
        have_ = n % 64;
    }

    std::string finish() {
        unsigned char tail[128] = {};
        std::memcpy(tail, pending_, have_);
        tail[have_] = 0x80;
        size_t const padded = have_ + 9 <= 64 ? 64 : 128;
        for (int i = 0; i < 8; ++i) tail[padded - 1 - i] = static_cast<unsigned char>((total_ * 8) >> (8 * i));
        blocks_(h_, tail, padded / 64);
        char hex[65];
        for (size_t i = 0; i < 8; ++i) std::snprintf(hex + 8 * i, 9, "%08x", h_[i]);
        return std::string(hex, 64);
    }

private:
    BlockFunction blocks_;
    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char pending_[64] = {};
    size_t have_ = 0;
    unsigned long long total_ = 0;
};

}  // namespace

std::string sha256Of(unsigned char const* p, size_t n, Sha256Engine engine) {
    Sha256 digest(engine == Sha256Engine::Best ? bestBlocks() : portableBlocks);
    digest.add(p, n);
    return digest.finish();
}

std::string sha256OfFile(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    Sha256 digest(bestBlocks());
    unsigned char buf[size_t{64} << 10];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return {};
        }
        if (n == 0) break;
        digest.add(buf, static_cast<size_t>(n));
    }
    close(fd);
    return digest.finish();
}
