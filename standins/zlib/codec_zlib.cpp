#include "codec.h"

#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "copy_bytes.h"
#include "state_pool.h"

CodecOutput::CodecOutput(CodecOutput&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      block_(std::exchange(other.block_, BigBlock())) {}

CodecOutput& CodecOutput::operator=(CodecOutput&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        block_ = std::exchange(other.block_, BigBlock());
    }
    return *this;
}

CodecOutput::~CodecOutput() { release(); }

void CodecOutput::release() {
    if (block_.base != nullptr)
        giveBigBlock(std::exchange(block_, BigBlock()), static_cast<size_t>(data_ - block_.base) + size_);
    else
        std::free(data_);
    data_ = nullptr;
    size_ = 0;
}

void CodecOutput::adopt(unsigned char* p, size_t size) {
    release();
    data_ = p;
    size_ = size;
}

int CodecOutput::keep(BigBlock block, size_t at, size_t size) {
    if (size >= kKeptInPlaceFrom) {
        release();
        block_ = block;
        data_ = block.base + at;
        size_ = size;
        return S_ZLIB_OK;
    }
    auto* p = static_cast<unsigned char*>(std::malloc(size != 0 ? size : 1));
    if (p != nullptr) copyBytes(p, block.base + at, size);
    giveBigBlock(block, at + size);
    if (p == nullptr) return S_ZLIB_NO_MEMORY;
    adopt(p, size);
    return S_ZLIB_OK;
}

int checkZlibHeader(unsigned char const* in, size_t len) {
    if (in == nullptr || len < 2) return VBUFFER_NOT_COMPRESSED;
    unsigned int cmf = in[0];
    unsigned int flg = in[1];
    if ((cmf & 0x0f) != 8) return VBUFFER_NOT_COMPRESSED;  // method: deflate only
    if ((cmf >> 4) > 7) return VBUFFER_NOT_COMPRESSED;     // window above 32 KiB
    if (((cmf << 8) | flg) % 31 != 0) return VBUFFER_NOT_COMPRESSED;
    if ((flg & 0x20) != 0) return S_ZLIB_NEEDS_DICTIONARY;
    return S_ZLIB_OK;
}

namespace {

// zlib counts in uInt; larger inputs are fed in pieces of at most this size.
constexpr size_t kMaxPiece = UINT_MAX;
constexpr size_t kScratch = size_t{64} << 10;

// Frees a malloc'd block unless released.
class MallocBlock {
public:
    ~MallocBlock() { std::free(p); }
    unsigned char* release() { return std::exchange(p, nullptr); }
    unsigned char* p = nullptr;
};

// zlib's stream states, pooled (state_pool.h): ended only when dropped,
// reset for their next use. A state that fails to reset is dropped.
z_stream* makeInflater() {
    auto* s = new (std::nothrow) z_stream();
    if (s != nullptr && inflateInit(s) != Z_OK) {
        delete s;
        return nullptr;
    }
    return s;
}
z_stream* makeDeflater() {
    auto* s = new (std::nothrow) z_stream();
    if (s != nullptr && deflateInit(s, kCodecLevel) != Z_OK) {
        delete s;
        return nullptr;
    }
    return s;
}
void dropInflater(z_stream* s) {
    inflateEnd(s);
    delete s;
}
void dropDeflater(z_stream* s) {
    deflateEnd(s);
    delete s;
}
// Resetting keeps the buffer pointers and counts of the last call; the next
// starts with none.
void clearBuffers(z_stream* s) {
    s->next_in = nullptr;
    s->avail_in = 0;
    s->next_out = nullptr;
    s->avail_out = 0;
}
bool resetInflater(z_stream* s) { return clearBuffers(s), inflateReset(s) == Z_OK; }
bool resetDeflater(z_stream* s) { return clearBuffers(s), deflateReset(s) == Z_OK; }

using InflaterPool = StatePool<z_stream, makeInflater, dropInflater, resetInflater>;
using DeflaterPool = StatePool<z_stream, makeDeflater, dropDeflater, resetDeflater>;
InflaterPool inflaters;
DeflaterPool deflaters;

// The shared decoding loop. With `keep` the output goes into a block that
// grows geometrically up to `limit` (realloc, so large blocks are remapped
// rather than copied); without it into a scratch window that is overwritten.
// Exceeding the limit is detected with a one-byte probe once `limit` bytes
// are out, so the block never outgrows the limit.
int inflateAll(unsigned char const* in, size_t len, size_t limit, CodecOutput* keep) {
    int header = checkZlibHeader(in, len);
    if (header != S_ZLIB_OK) return header;

    Lease<InflaterPool, z_stream> stream(inflaters);
    if (stream.get() == nullptr) return S_ZLIB_NO_MEMORY;
    z_stream& s = *stream.get();

    MallocBlock block;
    size_t capacity = 0;
    unsigned char probe;
    unsigned char* window = nullptr;
    if (keep == nullptr) {
        window = static_cast<unsigned char*>(std::malloc(kScratch));
        if (window == nullptr) return S_ZLIB_NO_MEMORY;
        block.p = window;
    }
    size_t produced = 0;
    size_t fed = 0;
    bool probing = false;

    for (;;) {
        if (s.avail_in == 0 && fed < len) {
            size_t piece = len - fed < kMaxPiece ? len - fed : kMaxPiece;
            s.next_in = const_cast<unsigned char*>(in + fed);
            s.avail_in = static_cast<uInt>(piece);
            fed += piece;
        }
        if (s.avail_out == 0) {
            if (produced == limit) {
                probing = true;
                s.next_out = &probe;
                s.avail_out = 1;
            } else if (keep == nullptr) {
                size_t room = limit - produced < kScratch ? limit - produced : kScratch;
                s.next_out = window;
                s.avail_out = static_cast<uInt>(room);
            } else {
                if (produced == capacity) {
                    size_t grown = capacity == 0 ? (len < limit / 4 ? len * 4 : limit) : capacity * 2;
                    if (grown < 1024) grown = 1024;
                    if (grown > limit || grown < capacity) grown = limit;
                    auto* p = static_cast<unsigned char*>(std::realloc(block.p, grown));
                    if (p == nullptr) return S_ZLIB_NO_MEMORY;
                    block.p = p;
                    capacity = grown;
                }
                size_t room = capacity - produced < kMaxPiece ? capacity - produced : kMaxPiece;
                s.next_out = block.p + produced;
                s.avail_out = static_cast<uInt>(room);
            }
        }
        uInt before = s.avail_out;
        int ret = inflate(&s, Z_NO_FLUSH);
        size_t made = before - s.avail_out;
        if (probing) {
            if (made != 0) return S_ZLIB_OUTPUT_LIMIT;
        } else {
            produced += made;
        }
        switch (ret) {
            case Z_STREAM_END:
                if (s.avail_in != 0 || fed < len) return S_ZLIB_TRAILING_DATA;
                if (keep != nullptr) {
                    if (produced == 0) {
                        std::free(block.release());
                        block.p = static_cast<unsigned char*>(std::malloc(1));
                        if (block.p == nullptr) return S_ZLIB_NO_MEMORY;
                    } else if (produced < capacity) {
                        // Give back what the output did not use; keep the larger
                        // block if the system declines.
                        if (auto* p = static_cast<unsigned char*>(std::realloc(block.p, produced))) block.p = p;
                    }
                    keep->adopt(block.release(), produced);
                }
                return S_ZLIB_OK;
            case Z_NEED_DICT: return S_ZLIB_NEEDS_DICTIONARY;
            case Z_DATA_ERROR: return S_ZLIB_CORRUPT_DATA;
            case Z_MEM_ERROR: return S_ZLIB_NO_MEMORY;
            case Z_OK:
            case Z_BUF_ERROR:
                // No progress possible: all input consumed while output room was
                // left, so the stream stops short.
                if (s.avail_in == 0 && fed == len && s.avail_out != 0) return S_ZLIB_TRUNCATED;
                break;
            default: return S_ZLIB_CORRUPT_DATA;
        }
    }
}

}  // namespace

size_t ZlibCodec::bound(size_t len) { return compressBound(len); }

int ZlibCodec::compress(unsigned char const* in, size_t len, CodecOutput& out) {
    if (in == nullptr && len != 0) return S_ZLIB_INPUT_TOO_LARGE;
    static unsigned char const none[1] = {0};
    if (in == nullptr) in = none;
    uLong bound = compressBound(len);
    if (bound < len || bound > S_ZLIB_LARGEST_OUTPUT) return S_ZLIB_INPUT_TOO_LARGE;
    Lease<DeflaterPool, z_stream> stream(deflaters);
    if (stream.get() == nullptr) return S_ZLIB_NO_MEMORY;
    MallocBlock block;
    block.p = static_cast<unsigned char*>(std::malloc(bound));
    if (block.p == nullptr) return S_ZLIB_NO_MEMORY;
    // One call with room for the bound: the whole stream comes out at once.
    z_stream& s = *stream.get();
    s.next_in = const_cast<unsigned char*>(in);
    s.avail_in = static_cast<uInt>(len);
    s.next_out = block.p;
    s.avail_out = static_cast<uInt>(bound);
    int ret = deflate(&s, Z_FINISH);
    if (ret == Z_MEM_ERROR) return S_ZLIB_NO_MEMORY;
    if (ret != Z_STREAM_END) return S_ZLIB_INPUT_TOO_LARGE;
    size_t made = s.total_out;
    if (auto* p = static_cast<unsigned char*>(std::realloc(block.p, made))) block.p = p;
    out.adopt(block.release(), made);
    return S_ZLIB_OK;
}

int ZlibCodec::decompress(unsigned char const* in, size_t len, size_t limit, CodecOutput& out) {
    return inflateAll(in, len, limit, &out);
}

int ZlibCodec::classify(unsigned char const* in, size_t len, size_t limit) {
    return inflateAll(in, len, limit, nullptr);
}
