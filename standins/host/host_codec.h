#pragma once
// Compressing and restoring bytes through the ZIP service, exactly as client
// code does: a byte buffer from createTBuf, a TZipBuffer stub over it,
// ZipTBuf() or UnzipTBuf(), GetResultTBuf(), and every hold given back.
//
// The modules must be loaded (HostModules) and stay loaded for the call. Each
// call builds and drops its own stubs; nothing is kept between calls, so a
// change of the switch file takes effect at the next call. Calls on distinct
// threads do not share state.

#include <string>
#include <vector>

enum class CodecOp { Compress, Decompress };

struct CodecResult {
    bool ok = false;
    // The zip buffer's result code (0 when ok); 0 as well for failures that
    // come before the zip buffer runs (see `message`).
    unsigned int code = 0;
    // Why it failed; empty when ok.
    std::string message;
    // The output is the input itself: compression off, or input to restore
    // that is not compressed data.
    bool passedThrough = false;
    std::vector<unsigned char> output;
    // Wall-clock seconds spent in ZipTBuf() or UnzipTBuf() alone: the
    // service's own work, without loading, buffer copies or file I/O.
    double serviceSeconds = 0;
};

CodecResult runCodec(CodecOp op, std::vector<unsigned char> const& input);

// "zip buffer has no input (4)", and likewise for every code of the ZIP
// service and of the zlib peer; unknown codes as "unknown failure (N)".
std::string resultCodeName(unsigned int code);
