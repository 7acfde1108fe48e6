#include "host_codec.h"

#include <chrono>

#include "cmn_abuf.h"
#include "s_tbuf.h"
#include "s_zlib.h"
#include "zipC.h"

HeldTBuf& HeldTBuf::operator=(HeldTBuf&& other) noexcept {
    if (this != &other) {
        if (buf_ != nullptr) buf_->release();
        buf_ = other.buf_;
        other.buf_ = nullptr;
    }
    return *this;
}

HeldTBuf::~HeldTBuf() {
    if (buf_ != nullptr) buf_->release();
}

CodecResult::CodecResult() = default;
CodecResult::CodecResult(CodecResult&&) noexcept = default;
CodecResult& CodecResult::operator=(CodecResult&&) noexcept = default;
// The zip buffer goes first: it holds the input and the output.
CodecResult::~CodecResult() { zip_.reset(); }

std::string resultCodeName(unsigned int code, unsigned long long zlibMaxOutput) {
    // The library's own message, so that the host and its clients say the same.
    char const* what = s_zip_strerror(code);
    std::string name = std::string(what) + " (" + std::to_string(code) + ")";
    if (code == S_ZLIB_OUTPUT_LIMIT) {
        if (zlibMaxOutput != 0) name += ": the limit is " + std::to_string(zlibMaxOutput) + " bytes";
        name += "; S_ZLIB_MAX_OUTPUT (bytes, up to " + std::to_string(S_ZLIB_LARGEST_OUTPUT) + ") raises it";
    }
    return name;
}

CodecResult runCodec(CodecOp op, std::vector<unsigned char> const& input) {
    CodecResult r;
    if (static_cast<unsigned int>(input.size()) != input.size() || input.size() > S_TBUF_MAX_LEN) {
        r.message = "input larger than a byte buffer can hold (4 GiB - 2)";
        return r;
    }
    HeldTBuf in(createTBuf());
    if (in.get() != nullptr && !input.empty()) {
        if (in.get()->set(input.data(), static_cast<unsigned int>(input.size())) == S_TBUF_NO_MEMORY) {
            r.noMemory = true;
            r.message = "out of memory for the input buffer";
            return r;
        }
    }
    return runCodec(op, std::move(in));
}

CodecResult runCodec(CodecOp op, HeldTBuf input) {
    CodecResult r;
    if (input.get() == nullptr) {
        r.message = "the byte-buffer service is unreachable or made no buffer";
        return r;
    }
    r.input_ = std::move(input);
    r.zip_.reset(new TZipBuffer(r.input_.get()));
    TZipBuffer_Interface* zb = r.zip_->holder.pointee;
    if (zb == nullptr) {
        r.message = "the ZIP service is unreachable";
        return r;
    }
    auto const start = std::chrono::steady_clock::now();
    r.code = op == CodecOp::Compress ? r.zip_->ZipTBuf() : r.zip_->UnzipTBuf();
    r.serviceSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r.code != ZIP_OK) {
        r.noMemory = r.code == ZIP_NO_OUTPUT_BUFFER || r.code == S_ZLIB_NO_MEMORY;
        r.message = resultCodeName(r.code);
        return r;
    }
    // Borrowed: the zip buffer keeps the hold, and this result keeps the zip
    // buffer. Its result is the input itself exactly when it passed the input
    // through.
    TBuf* out = zb->GetResultTBuf();
    if (out == nullptr) {
        r.message = "the zip buffer has no result";
        return r;
    }
    r.passedThrough = out == r.input_.get();
    r.size_ = out->len();
    r.data_ = out->datap();
    if (r.size_ > 0 && r.data_ == nullptr) {
        r.message = "the result buffer has a length but no data";
        return r;
    }
    r.ok = true;
    return r;
}
