#include "codec.h"

#include <libdeflate.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace {

// Keeps up to kKept codec states for reuse: allocating a compressor costs
// more than compressing a short input. The lock guards the array only; a
// state taken out belongs to one caller until it is given back. The pool
// frees what it keeps when the module is unloaded (static destruction).
template <class T, T* (*Make)(), void (*Drop)(T*)>
class StatePool {
public:
    StatePool() = default;
    StatePool(StatePool const&) = delete;
    StatePool& operator=(StatePool const&) = delete;
    ~StatePool() {
        for (size_t i = 0; i < kept_; ++i) Drop(items_[i]);
    }

    // A state, or null when none can be allocated.
    T* take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (kept_ != 0) return items_[--kept_];
        }
        return Make();
    }

    void give(T* state) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (kept_ < kKept) {
                items_[kept_++] = state;
                return;
            }
        }
        Drop(state);
    }

private:
    static constexpr size_t kKept = 8;
    std::mutex mutex_;
    T* items_[kKept] = {};
    size_t kept_ = 0;
};

// A state on loan from a pool for one call.
template <class Pool, class T>
class Lease {
public:
    explicit Lease(Pool& pool) : pool_(pool), state_(pool.take()) {}
    ~Lease() {
        if (state_ != nullptr) pool_.give(state_);
    }
    Lease(Lease const&) = delete;
    Lease& operator=(Lease const&) = delete;
    T* get() const { return state_; }

private:
    Pool& pool_;
    T* state_;
};

libdeflate_compressor* makeCompressor() { return libdeflate_alloc_compressor(kCodecLevel); }
libdeflate_decompressor* makeDecompressor() { return libdeflate_alloc_decompressor(); }

using CompressorPool = StatePool<libdeflate_compressor, makeCompressor, libdeflate_free_compressor>;
using DecompressorPool = StatePool<libdeflate_decompressor, makeDecompressor, libdeflate_free_decompressor>;

CompressorPool compressors;
DecompressorPool decompressors;

// Deflate cannot expand more than 1032-fold: the longest match (258 bytes)
// costs at least two bits, a one-bit length code and a one-bit distance code.
constexpr size_t kMaxExpansion = 1032;

}  // namespace

int LibdeflateCodec::compress(unsigned char const* in, size_t len, CodecOutput& out) {
    if (in == nullptr && len != 0) return S_ZLIB_INPUT_TOO_LARGE;
    static unsigned char const none[1] = {0};
    if (in == nullptr) in = none;
    Lease<CompressorPool, libdeflate_compressor> compressor(compressors);
    if (compressor.get() == nullptr) return S_ZLIB_NO_MEMORY;
    size_t bound = libdeflate_zlib_compress_bound(compressor.get(), len);
    if (bound < len || bound > UINT_MAX) return S_ZLIB_INPUT_TOO_LARGE;
    auto* block = static_cast<unsigned char*>(std::malloc(bound));
    if (block == nullptr) return S_ZLIB_NO_MEMORY;
    size_t made = libdeflate_zlib_compress(compressor.get(), in, len, block, bound);
    if (made == 0) {  // cannot happen with a bound-sized block
        std::free(block);
        return S_ZLIB_INPUT_TOO_LARGE;
    }
    if (auto* p = static_cast<unsigned char*>(std::realloc(block, made))) block = p;
    out.adopt(block, made);
    return S_ZLIB_OK;
}

// One pass into a block as large as the output can possibly be (the smaller
// of the limit and the largest expansion of this input). Only the pages the
// output touches are ever backed by memory; the block is then cut down to the
// output, which for large blocks remaps rather than copies. When that much
// address space cannot be had, the zlib streaming decoder does the work.
//
// This decoder reports every damage alike, so on failure the zlib decoder
// tells corrupt from truncated input (the failure path only).
int LibdeflateCodec::decompress(unsigned char const* in, size_t len, size_t limit, CodecOutput& out) {
    int header = checkZlibHeader(in, len);
    if (header != S_ZLIB_OK) return header;

    size_t bound = len > SIZE_MAX / kMaxExpansion ? SIZE_MAX : len * kMaxExpansion;
    size_t capacity = bound < limit ? bound : limit;
    auto* block = static_cast<unsigned char*>(std::malloc(capacity != 0 ? capacity : 1));
    if (block == nullptr) return ZlibCodec::decompress(in, len, limit, out);

    Lease<DecompressorPool, libdeflate_decompressor> decompressor(decompressors);
    if (decompressor.get() == nullptr) {
        std::free(block);
        return S_ZLIB_NO_MEMORY;
    }
    size_t used = 0;
    size_t made = 0;
    libdeflate_result r = libdeflate_zlib_decompress_ex(decompressor.get(), in, len, block, capacity, &used, &made);
    if (r == LIBDEFLATE_SUCCESS) {
        if (used != len) {
            std::free(block);
            return S_ZLIB_TRAILING_DATA;
        }
        if (auto* p = static_cast<unsigned char*>(std::realloc(block, made != 0 ? made : 1))) block = p;
        out.adopt(block, made);
        return S_ZLIB_OK;
    }
    std::free(block);
    if (r == LIBDEFLATE_INSUFFICIENT_SPACE && capacity == limit) return S_ZLIB_OUTPUT_LIMIT;
    int why = ZlibCodec::classify(in, len, limit);
    return why != S_ZLIB_OK ? why : S_ZLIB_CORRUPT_DATA;
}
