#include "zip_result.h"

#include "zlib_service.h"

extern "C" char const* s_zip_strerror(unsigned int code) {
    switch (code) {
        case ZIP_OK: return "success";
        case ZIP_NO_OUTPUT_BUFFER: return "out of memory: byte-buffer service made no output buffer";
        case ZIP_NO_INPUT: return "zip buffer has no input";
        case ZIP_HOLD_REFUSED: return "input buffer refused the pass-through hold";
        case CMN_NOT_BOUND: return "not bound: zip or zlib service unreachable, or no compression buffer";
        case VBUFFER_NOT_COMPRESSED: return "input is not compressed data";
        case S_ZLIB_CORRUPT_DATA: return "zlib: corrupt compressed data";
        case S_ZLIB_TRUNCATED: return "zlib: compressed data cut short";
        case S_ZLIB_NEEDS_DICTIONARY: return "zlib: stream needs a preset dictionary";
        case S_ZLIB_OUTPUT_LIMIT: return "zlib: output would exceed the decompression limit";
        case S_ZLIB_TRAILING_DATA: return "zlib: data follows the end of the compressed stream";
        case S_ZLIB_NO_MEMORY: return "zlib: out of memory";
        case S_ZLIB_INPUT_TOO_LARGE: return "zlib: input too large to compress";
        case S_TBUF_BAD_ARGUMENT: return "byte buffer: null argument";
        case S_TBUF_NO_MEMORY: return "byte buffer: out of memory";
        case S_TBUF_TOO_LARGE: return "byte buffer: contents would exceed 4 GiB - 2 bytes";
        case S_TBUF_OUT_OF_RANGE: return "byte buffer: more bytes to drop than it holds";
        case S_TBUF_FILE_MISSING: return "byte buffer: no such file";
        case S_TBUF_FILE_UNREADABLE: return "byte buffer: file unreadable";
        case S_TBUF_FILE_UNWRITABLE: return "byte buffer: file unwritable";
        case S_TBUF_FILE_TOO_LARGE: return "byte buffer: file larger than 4 GiB - 2 bytes";
        case S_TBUF_NOT_SUPPORTED: return "byte buffer: operation not supported";
        default: return "unknown failure";
    }
}
