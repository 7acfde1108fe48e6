#pragma once
// Compressing and restoring bytes through the ZIP service, exactly as client
// code does: a byte buffer holding the input, a TZipBuffer stub over it,
// ZipTBuf() or UnzipTBuf(), and every hold given back.
//
// The output is read where the zip buffer keeps it: its result buffer,
// borrowed through the service interface (TZipBuffer_Interface::
// GetResultTBuf), not the stub's GetResultTBuf(), which hands out a copy of a
// copy. So the bytes are neither copied by the host nor by a stub; a
// CodecResult keeps the zip buffer, and with it the output, alive until it
// is destroyed.
//
// The modules must be loaded (HostModules) and stay loaded while a
// CodecResult lives. Each call builds its own stubs; nothing is shared
// between calls, so a change of the switch file takes effect at the next
// call, and calls on distinct threads do not share state.

#include <memory>
#include <string>
#include <vector>

#include "tbuf.h"

class TZipBuffer;

enum class CodecOp { Compress, Decompress };

// One hold on a byte buffer, given back on destruction.
class HeldTBuf {
public:
    explicit HeldTBuf(TBuf* b = nullptr) : buf_(b) {}
    HeldTBuf(HeldTBuf&& other) noexcept : buf_(other.buf_) { other.buf_ = nullptr; }
    HeldTBuf& operator=(HeldTBuf&& other) noexcept;
    ~HeldTBuf();
    TBuf* get() const { return buf_; }

private:
    TBuf* buf_;
};

class CodecResult {
public:
    CodecResult();
    CodecResult(CodecResult&&) noexcept;
    CodecResult& operator=(CodecResult&&) noexcept;
    ~CodecResult();

    bool ok = false;
    // The zip buffer's result code (0 when ok); 0 as well for failures that
    // come before the zip buffer runs (see `message`).
    unsigned int code = 0;
    // Why it failed; empty when ok.
    std::string message;
    // The failure is memory running out (the host's exit status 7).
    bool noMemory = false;
    // The output is the input itself: compression off, or input to restore
    // that is not compressed data.
    bool passedThrough = false;
    // Wall-clock seconds spent in ZipTBuf() or UnzipTBuf() alone: the
    // service's own work, without loading, buffer copies or file I/O.
    double serviceSeconds = 0;

    // The output, valid while this result lives; null when empty or failed.
    unsigned char const* data() const { return data_; }
    size_t size() const { return size_; }
    std::vector<unsigned char> bytes() const { return {data_, data_ + size_}; }

private:
    friend CodecResult runCodec(CodecOp op, HeldTBuf input);
    HeldTBuf input_;
    std::unique_ptr<TZipBuffer> zip_;
    unsigned char const* data_ = nullptr;
    size_t size_ = 0;
};

// Runs the service on `input` (a buffer with one hold, which the result
// takes over). A null input fails with the reason the byte-buffer service
// made none.
CodecResult runCodec(CodecOp op, HeldTBuf input);
// The same on a copy of `input` in a new byte buffer.
CodecResult runCodec(CodecOp op, std::vector<unsigned char> const& input);

// "zip buffer has no input (4)", and likewise for every code of the ZIP
// service and of the zlib peer; unknown codes as "unknown failure (N)". The
// output limit (63) is named with the limit in force when the zlib module
// tells it (`zlibMaxOutput`, 0 when unknown).
std::string resultCodeName(unsigned int code, unsigned long long zlibMaxOutput = 0);
