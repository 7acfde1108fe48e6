#pragma once
// The codec unit of the zlib service: whole zlib streams (RFC 1950) in
// memory, with the result codes of s_zlib.h.
//
// Two backends with one shape: ZlibCodec (the zlib library; always built) and
// LibdeflateCodec (built when the library is found, S_ZLIB_HAVE_LIBDEFLATE).
// `Codec` names the one the service uses; this is the only place that
// chooses. The choice and the figures behind it: bench/CODEC.md.
//
// Both backends:
//   compress(in, len, out): one zlib stream of the bytes (levels: codec_level.h).
//   decompress(in, len, limit, out): the bytes of one zlib stream that spans
//     the whole input, at most `limit` of them; one decoding pass whatever the
//     output size, memory growing with the output actually produced (resident
//     memory, that is: the libdeflate backend reserves address space for the
//     largest output the input could give, in a big block).
// On success `out` holds the output and 0 is returned; on failure `out` is
// left as it was. Both are safe to call from any number of threads at once.

#include <cstddef>

#include "big_block.h"
#include "codec_level.h"
#include "s_zlib.h"

// An owned block of bytes: malloc'd, or a big block (big_block.h) that goes
// back to the module's cache with the output. Move-only.
class CodecOutput {
public:
    CodecOutput() = default;
    CodecOutput(CodecOutput const&) = delete;
    CodecOutput& operator=(CodecOutput const&) = delete;
    CodecOutput(CodecOutput&& other) noexcept;
    CodecOutput& operator=(CodecOutput&& other) noexcept;
    ~CodecOutput();

    // Never null once something (even nothing) has been stored.
    unsigned char const* data() const { return data_; }
    size_t size() const { return size_; }

    // Takes ownership of `p` (malloc'd; may be null only when size is 0).
    void adopt(unsigned char* p, size_t size);
    // Takes the `size` bytes at `at` in a big block as the output. From a
    // page on, the output stays where it was written, with only its own
    // pages resident; smaller ones are copied into a block of their own size
    // and the big block given back at once, so that they hold no more memory
    // than they need. S_ZLIB_NO_MEMORY (the block given back, the output
    // unchanged) when that copy cannot be had.
    int keep(BigBlock block, size_t at, size_t size);
    static constexpr size_t kKeptInPlaceFrom = 4096;

private:
    void release();

    unsigned char* data_ = nullptr;
    size_t size_ = 0;
    BigBlock block_;  // holds data_ when the bytes live in a big block
};

// 0 when the first bytes are a usable zlib header; VBUFFER_NOT_COMPRESSED for
// input that is no zlib data at all; S_ZLIB_NEEDS_DICTIONARY for a header
// that asks for a preset dictionary.
int checkZlibHeader(unsigned char const* in, size_t len);

struct ZlibCodec {
    static char const* name() { return "zlib"; }
    // The most bytes compress() can make of `len` bytes; compress() refuses
    // input whose bound exceeds S_ZLIB_LARGEST_OUTPUT.
    static size_t bound(size_t len);
    static int compress(unsigned char const* in, size_t len, CodecOutput& out);
    static int decompress(unsigned char const* in, size_t len, size_t limit, CodecOutput& out);
    // Decodes without keeping the output (a 64 KiB scratch window): only the
    // result code. Used to tell failures of another decoder apart.
    static int classify(unsigned char const* in, size_t len, size_t limit);
};

#if S_ZLIB_HAVE_LIBDEFLATE
struct LibdeflateCodec {
    static char const* name() { return "libdeflate"; }
    static size_t bound(size_t len);
    static int compress(unsigned char const* in, size_t len, CodecOutput& out);
    static int decompress(unsigned char const* in, size_t len, size_t limit, CodecOutput& out);
};
// The service's codec, chosen by measurement (bench/CODEC.md): libdeflate
// decodes faster at every size; it encodes faster from kSmallInput bytes on,
// while below that its fixed cost per call (resetting its match finder)
// outweighs its speed and zlib encodes faster.
struct MeasuredCodec {
    static constexpr size_t kSmallInput = size_t{4} << 10;
    static char const* name() { return "libdeflate"; }
    static size_t bound(size_t len) { return len < kSmallInput ? ZlibCodec::bound(len) : LibdeflateCodec::bound(len); }
    static int compress(unsigned char const* in, size_t len, CodecOutput& out) {
        return len < kSmallInput ? ZlibCodec::compress(in, len, out) : LibdeflateCodec::compress(in, len, out);
    }
    static int decompress(unsigned char const* in, size_t len, size_t limit, CodecOutput& out) {
        return LibdeflateCodec::decompress(in, len, limit, out);
    }
};
using Codec = MeasuredCodec;
#else
using Codec = ZlibCodec;
#endif

// The compression levels: kCodecLevel for zlib, codecLevelFor() for
// libdeflate (codec_level.h).
// libdeflate's level for input that looks like noise (bytes spread evenly
// over all values, as in compressed or encrypted data), from kNoiseSample
// bytes on: higher levels only spend longer searching for matches that such
// data lacks, and the output is stored blocks all the same.
constexpr int kNoiseLevel = 1;
constexpr size_t kNoiseSample = 4096;
