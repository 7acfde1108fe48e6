#pragma once
/// @file
///
/// Every result code a client of the ZIP service can meet, with
/// s_zip_strerror(), which names each in a short message.
///
/// A result code is an unsigned 32-bit status, 0 for success. The codes come
/// from three places and never overlap:
///
/// | codes | from | answered by |
/// |---|---|---|
/// | 0, 1, 4, 9 | the ZIP service | `ZipTBuf()`, `UnzipTBuf()` |
/// | 40 | every stub that is not bound (CMN_NOT_BOUND, cmn_result.h) | every stub call; the zip buffer without a compression buffer |
/// | 60 to 66 | the zlib peer, passed on unchanged by the zip buffer | `ZipTBuf()`, `UnzipTBuf()` |
/// | 201 to 209 | the byte-buffer peer | `aBuf::error()` and the `aBuf` and `TBuf` operations |
///
/// The zlib and byte-buffer codes are those of the peers shipped with this
/// package (`libs_zlib.so`, `libs_tbuf.so`); a platform's own peers may have
/// their own. The zlib service interface's VBUFFER_NOT_COMPRESSED (59,
/// zlib_service.h) never reaches a client: the zip buffer passes such input
/// through and answers ZIP_OK. `TBuf::acquire()` and `TBuf::release()` answer
/// hold counts, or S_TBUF_HOLD_REFUSED and S_TBUF_NOT_HELD, which are not
/// result codes.

#include "cmn_export.h"
#include "cmn_result.h"

/// Codes of `ZipTBuf()` and `UnzipTBuf()` (TZipBuffer_Interface, TZipBuffer).
enum : unsigned int {
    /// Success: the output is made, or the input passed through (compression
    /// off, or input to restore that is not compressed data).
    ZIP_OK = 0,
    /// The byte-buffer service gave no buffer for the output (out of memory,
    /// or the service is gone).
    ZIP_NO_OUTPUT_BUFFER = 1,
    /// The zip buffer has no input: its input refused the hold, or was null.
    ZIP_NO_INPUT = 4,
    /// The input to pass through refused the second hold (it is finished).
    ZIP_HOLD_REFUSED = 9,
};

/// Codes of the zlib peer (`libs_zlib.so`, service 64): `VBuffer::Compress()`
/// and `VBuffer::Decompress()`, which the zip buffer passes on unchanged.
enum : int {
    /// Success.
    S_ZLIB_OK = 0,
    /// Restoring: the stream is damaged (an invalid block or code, a distance
    /// too far back, or a wrong Adler-32 check value).
    S_ZLIB_CORRUPT_DATA = 60,
    /// Restoring: the input ends before the stream does (a prefix of a
    /// stream, including a cut-off check value).
    S_ZLIB_TRUNCATED = 61,
    /// Restoring: the stream needs a preset dictionary, which the service has
    /// no way to be given.
    S_ZLIB_NEEDS_DICTIONARY = 62,
    /// Restoring: the output would exceed the output limit (1 GiB unless the
    /// host sets another); nothing is kept.
    S_ZLIB_OUTPUT_LIMIT = 63,
    /// Restoring: bytes follow the end of the stream. A buffer holds exactly
    /// one stream, so trailing bytes mean the input is not what compressing
    /// made; it is refused rather than silently cut short.
    S_ZLIB_TRAILING_DATA = 64,
    /// Memory for the output or the codec state could not be had.
    S_ZLIB_NO_MEMORY = 65,
    /// Compressing: the output would not fit an unsigned int byte count.
    S_ZLIB_INPUT_TOO_LARGE = 66,
};

/// Codes of the byte-buffer peer (`libs_tbuf.so`, service 111): the `TBuf`
/// operations and, through them, the `aBuf` ones and `aBuf::error()`. On
/// failure a buffer's contents are unchanged.
enum : int {
    /// Success.
    S_TBUF_OK = 0,
    /// A null string, null bytes with a length, a null source or a null path.
    S_TBUF_BAD_ARGUMENT = 201,
    /// Memory for the contents could not be had.
    S_TBUF_NO_MEMORY = 202,
    /// The contents would exceed S_TBUF_MAX_LEN bytes (4 GiB - 2).
    S_TBUF_TOO_LARGE = 203,
    /// `shift(n)` or `retreat(n)` with n larger than the length.
    S_TBUF_OUT_OF_RANGE = 204,
    /// `load()`: no such file.
    S_TBUF_FILE_MISSING = 205,
    /// `load()`: not a regular file, no permission, or a read error.
    S_TBUF_FILE_UNREADABLE = 206,
    /// `save()`: the folder is missing, no permission, the path is a folder,
    /// or a write error.
    S_TBUF_FILE_UNWRITABLE = 207,
    /// `load()`: the file has more than S_TBUF_MAX_LEN bytes.
    S_TBUF_FILE_TOO_LARGE = 208,
    /// A held place of the shared table that does nothing.
    S_TBUF_NOT_SUPPORTED = 209,
    /// `TBuf::acquire()`: the buffer is finished and takes no new hold (not a
    /// result code: acquire() otherwise answers the number of holds).
    S_TBUF_HOLD_REFUSED = -1,
    /// `TBuf::release()`: the buffer has no hold to give back (not a result
    /// code: release() otherwise answers the number of holds left).
    S_TBUF_NOT_HELD = -2,
};

extern "C" {
/// A short message for a result code of any of the tables above, e.g.
/// "zip buffer has no input" for 4 or "zlib: compressed data cut short" for
/// 61; "success" for 0 and "unknown failure" for a code none of them has.
/// The message names no code number: a caller that shows it adds the code.
///
/// Returns a static string, never null, which the caller must not free.
/// Takes no lock and needs no loaded module: callable from any thread, at any
/// time. Exported from `libs_zip.so`, and compiled into every module and host
/// that links the client stubs (`SZip::client`), so that all say the same.
CMN_EXPORT char const* s_zip_strerror(unsigned int code);
}
