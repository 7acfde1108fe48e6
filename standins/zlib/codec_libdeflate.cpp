#include "codec.h"

#include <libdeflate.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "state_pool.h"

namespace {

libdeflate_compressor* makeCompressor() { return libdeflate_alloc_compressor(kCodecLevel); }
libdeflate_compressor* makeSmallCompressor() { return libdeflate_alloc_compressor(kSmallCodecLevel); }
libdeflate_compressor* makeNoiseCompressor() { return libdeflate_alloc_compressor(kNoiseLevel); }
libdeflate_decompressor* makeDecompressor() { return libdeflate_alloc_decompressor(); }
// libdeflate's states carry nothing from one call to the next.
template <class T>
bool ready(T*) {
    return true;
}

using CompressorPool =
    StatePool<libdeflate_compressor, makeCompressor, libdeflate_free_compressor, ready<libdeflate_compressor>>;
using DecompressorPool =
    StatePool<libdeflate_decompressor, makeDecompressor, libdeflate_free_decompressor, ready<libdeflate_decompressor>>;

using SmallCompressorPool =
    StatePool<libdeflate_compressor, makeSmallCompressor, libdeflate_free_compressor, ready<libdeflate_compressor>>;
using NoiseCompressorPool =
    StatePool<libdeflate_compressor, makeNoiseCompressor, libdeflate_free_compressor, ready<libdeflate_compressor>>;

CompressorPool compressors;
SmallCompressorPool smallCompressors;
NoiseCompressorPool noiseCompressors;
DecompressorPool decompressors;

// Whether the bytes look like noise (compressed or encrypted data): in a
// sample of kNoiseSample bytes, four runs spread over the input, no byte
// value is much more common than the others. The measure is the sum of the
// squared counts of the 256 values, which uniform bytes keep near
// n + n(n-1)/256 and which any skew raises (text and the like lie far above).
// It sees single bytes only, not repeats; so such input still gets a match
// finder, only a cheaper one (kNoiseLevel).
bool looksLikeNoise(unsigned char const* in, size_t len) {
    constexpr size_t kRun = kNoiseSample / 4;
    if (len < kNoiseSample) return false;
    unsigned counts[256] = {};
    for (size_t r = 0; r < 4; ++r) {
        unsigned char const* run = in + (len - kRun) / 3 * r;
        for (size_t i = 0; i < kRun; ++i) ++counts[run[i]];
    }
    uint64_t squares = 0;
    for (unsigned c : counts) squares += uint64_t{c} * c;
    uint64_t const n = kNoiseSample;
    uint64_t const uniform = n + n * (n - 1) / 256;
    return squares * 10 <= uniform * 11;  // within 10% of uniform
}

// Where a block's output starts: half a page from the input in the low
// twelve address bits. Stored (uncompressed) pieces of a stream are copied
// between the two with memcpy, which some processors slow down many times
// when the destination lies just past the source in those bits
// (copy_bytes.h); half a page keeps every piece of a stream well clear.
constexpr size_t kPage = 4096;
size_t outputOffsetFor(unsigned char const* in) { return (reinterpret_cast<uintptr_t>(in) + kPage / 2) % kPage; }

// Deflate cannot expand more than 1032-fold: the longest match (258 bytes)
// costs at least two bits, a one-bit length code and a one-bit distance code.
constexpr size_t kMaxExpansion = 1032;

// One zlib stream of the bytes, by a compressor on loan from `pool`.
template <class Pool>
int compressWith(Pool& pool, unsigned char const* in, size_t len, CodecOutput& out) {
    Lease<Pool, libdeflate_compressor> compressor(pool);
    if (compressor.get() == nullptr) return S_ZLIB_NO_MEMORY;
    size_t bound = libdeflate_zlib_compress_bound(compressor.get(), len);
    if (bound < len || bound > S_ZLIB_LARGEST_OUTPUT) return S_ZLIB_INPUT_TOO_LARGE;
    size_t const at = outputOffsetFor(in);
    BigBlock block = takeBigBlock(at + bound);
    if (block.base == nullptr) return S_ZLIB_NO_MEMORY;
    size_t made = libdeflate_zlib_compress(compressor.get(), in, len, block.base + at, bound);
    if (made == 0) {  // cannot happen with a bound-sized block
        giveBigBlock(block, at + bound);
        return S_ZLIB_INPUT_TOO_LARGE;
    }
    return out.keep(block, at, made);
}

}  // namespace

size_t LibdeflateCodec::bound(size_t len) {
    Lease<CompressorPool, libdeflate_compressor> usual(compressors);
    Lease<NoiseCompressorPool, libdeflate_compressor> noise(noiseCompressors);
    if (usual.get() == nullptr || noise.get() == nullptr) return SIZE_MAX;
    size_t a = libdeflate_zlib_compress_bound(usual.get(), len);
    size_t b = libdeflate_zlib_compress_bound(noise.get(), len);
    return a > b ? a : b;
}

int LibdeflateCodec::compress(unsigned char const* in, size_t len, CodecOutput& out) {
    if (in == nullptr && len != 0) return S_ZLIB_INPUT_TOO_LARGE;
    static unsigned char const none[1] = {0};
    if (in == nullptr) in = none;
    if (looksLikeNoise(in, len)) return compressWith(noiseCompressors, in, len, out);
    return codecLevelFor(len) == kSmallCodecLevel ? compressWith(smallCompressors, in, len, out)
                                                  : compressWith(compressors, in, len, out);
}

// One pass into a big block (big_block.h) as large as the output can possibly
// be (the smaller of the limit and the largest expansion of this input). Only
// the pages the output touches are ever backed by memory, and a cached block
// has them already: the output is decoded into warm memory, and a large one
// stays where it was decoded (no copy, no second block). When that much
// address space cannot be had, the zlib streaming decoder does the work.
//
// This decoder reports every damage alike, so on failure the zlib decoder
// tells corrupt from truncated input (the failure path only).
int LibdeflateCodec::decompress(unsigned char const* in, size_t len, size_t limit, CodecOutput& out) {
    int header = checkZlibHeader(in, len);
    if (header != S_ZLIB_OK) return header;

    size_t bound = len > SIZE_MAX / kMaxExpansion ? SIZE_MAX : len * kMaxExpansion;
    size_t capacity = bound < limit ? bound : limit;
    size_t const at = outputOffsetFor(in);
    BigBlock block = takeBigBlock(at + capacity);
    if (block.base == nullptr) return ZlibCodec::decompress(in, len, limit, out);

    Lease<DecompressorPool, libdeflate_decompressor> decompressor(decompressors);
    if (decompressor.get() == nullptr) {
        giveBigBlock(block, 0);
        return S_ZLIB_NO_MEMORY;
    }
    size_t used = 0;
    size_t made = 0;
    libdeflate_result r =
        libdeflate_zlib_decompress_ex(decompressor.get(), in, len, block.base + at, capacity, &used, &made);
    if (r == LIBDEFLATE_SUCCESS) {
        if (used == len) return out.keep(block, at, made);
        giveBigBlock(block, at + made);
        return S_ZLIB_TRAILING_DATA;
    }
    // How far a failed pass wrote is not known: all of it, as far as the
    // block's cache is concerned.
    giveBigBlock(block, at + capacity);
    if (r == LIBDEFLATE_INSUFFICIENT_SPACE && capacity == limit) return S_ZLIB_OUTPUT_LIMIT;
    int why = ZlibCodec::classify(in, len, limit);
    return why != S_ZLIB_OK ? why : S_ZLIB_CORRUPT_DATA;
}
