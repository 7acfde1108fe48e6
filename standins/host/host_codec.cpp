#include "host_codec.h"

#include <chrono>

#include "s_zlib.h"
#include "cmn_abuf.h"
#include "zipC.h"

namespace {

// Names of the zlib peer's own failure codes, or null.
char const* zlibCodeName(unsigned int code) {
    switch (code) {
        case S_ZLIB_CORRUPT_DATA: return "zlib: corrupt compressed data";
        case S_ZLIB_TRUNCATED: return "zlib: compressed data cut short";
        case S_ZLIB_NEEDS_DICTIONARY: return "zlib: stream needs a preset dictionary";
        case S_ZLIB_OUTPUT_LIMIT: return "zlib: output would exceed the decompression limit";
        case S_ZLIB_TRAILING_DATA: return "zlib: data follows the end of the compressed stream";
        case S_ZLIB_NO_MEMORY: return "zlib: out of memory";
        case S_ZLIB_INPUT_TOO_LARGE: return "zlib: input too large to compress";
        default: return nullptr;
    }
}

// Gives back the one hold a createTBuf/GetResultTBuf result carries.
struct HeldBuffer {
    TBuf* buf;
    explicit HeldBuffer(TBuf* b) : buf(b) {}
    ~HeldBuffer() {
        if (buf != nullptr) buf->release();
    }
    HeldBuffer(HeldBuffer const&) = delete;
    HeldBuffer& operator=(HeldBuffer const&) = delete;
};

}  // namespace

std::string resultCodeName(unsigned int code) {
    char const* what = nullptr;
    switch (code) {
        case ZIP_OK: what = "success"; break;
        case ZIP_NO_OUTPUT_BUFFER: what = "byte-buffer service made no output buffer"; break;
        case ZIP_NO_INPUT: what = "zip buffer has no input"; break;
        case ZIP_HOLD_REFUSED: what = "input buffer refused the pass-through hold"; break;
        case CMN_NOT_BOUND: what = "not bound: zip or zlib service unreachable, or no compression buffer"; break;
        case VBUFFER_NOT_COMPRESSED: what = "input is not compressed data"; break;
        default: break;
    }
    if (what == nullptr) what = zlibCodeName(code);
    if (what == nullptr) what = "unknown failure";
    return std::string(what) + " (" + std::to_string(code) + ")";
}

CodecResult runCodec(CodecOp op, std::vector<unsigned char> const& input) {
    CodecResult r;
    if (static_cast<unsigned int>(input.size()) != input.size()) {
        r.message = "input larger than a byte buffer can hold (4 GiB - 1)";
        return r;
    }
    static unsigned char const none = 0;
    HeldBuffer in(createTBuf(input.empty() ? &none : input.data(), static_cast<unsigned int>(input.size())));
    if (in.buf == nullptr) {
        r.message = "the byte-buffer service is unreachable or made no buffer";
        return r;
    }
    TZipBuffer zip(in.buf);
    if (!zip.isBound()) {
        r.message = "the ZIP service is unreachable";
        return r;
    }
    auto const start = std::chrono::steady_clock::now();
    r.code = op == CodecOp::Compress ? zip.ZipTBuf() : zip.UnzipTBuf();
    r.serviceSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r.code != ZIP_OK) {
        r.message = resultCodeName(r.code);
        return r;
    }
    // The zip buffer's own result is the input itself exactly when it passed
    // the input through; the pointer is only compared, never used.
    r.passedThrough = zip.holder.pointee != nullptr && zip.holder.pointee->GetResultTBuf() == in.buf;
    HeldBuffer out(zip.GetResultTBuf());
    if (out.buf == nullptr) {
        r.message = "the byte-buffer service made no copy of the result";
        return r;
    }
    unsigned int n = out.buf->len();
    unsigned char const* p = out.buf->datap();
    if (n > 0 && p == nullptr) {
        r.message = "the result buffer has a length but no data";
        return r;
    }
    r.output.assign(p, p + n);
    r.ok = true;
    return r;
}
