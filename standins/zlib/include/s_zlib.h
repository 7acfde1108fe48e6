#pragma once
// libs_zlib.so: the zlib service (service identifier 64) of the host.
//
// A module of the host in its own right, named "ZLIB". Its load call,
// GetInterfaceClass(manager, 0), returns the service object, a
// CMN_ZLib_Interface (interfaces/zlib_service.h) whose module number, version and
// build are 64, 1 and 1; getService(Tuint32ID(64)) answers the service's
// guarded-reference part, any other identifier null. GetInterfaceClass(
// manager, n != 0) records the manager and returns null; GetInterfaceClass(
// null, any) finishes every live object of the module and lets the service go.
//
// Format. Compress() writes one standard zlib stream (2-byte header, deflate
// data at level 6, big-endian Adler-32 of the input): any zlib decoder reads
// it. Decompress() reads one zlib stream of any producer, level and window
// size (up to 32 KiB), and nothing after it.
//
// Compression buffers. createVBuffer(data, len) makes a buffer over the
// caller's bytes without copying them: they must stay valid and unchanged
// for the buffer's life. It returns null only for data == null with len > 0.
// The buffer comes with a count of 0: the caller's holder takes the first
// reference. One thread uses a buffer at a time; distinct buffers may be used
// from any number of threads at once.
//
// Results of Compress() and Decompress(): 0 or one of the codes below. A
// failure leaves the output of the last success in place; before any
// success GetOutputSize() is 0 and GetOutputData() null. After a success
// GetOutputData() is never null (also for 0 output bytes).
//
// Output limit. Decompress() refuses to make more than a limit of output
// bytes (S_ZLIB_OUTPUT_LIMIT), which keeps a small hostile stream (a
// "decompression bomb") from exhausting the host's memory. Memory grows with
// the output actually produced, never beyond the limit. The default is 1 GiB.
// A host lowers or raises it in one of two ways:
//   - the environment variable S_ZLIB_MAX_OUTPUT, a decimal byte count from 1
//     to S_ZLIB_LARGEST_OUTPUT (4294967294, digits only), read at every load
//     call. Absent or empty:
//     the default. Set to anything else (0, a sign, a fraction or
//     exponent, trailing characters, too large): the value is refused, the
//     default holds, and s_zlib_max_output_rejected() says so, for the host
//     to tell its user;
//   - s_zlib_set_max_output() below, at any time after loading.

#include "cmn_export.h"
#include "cmn_om_s.h"
#include "modmgr.h"
#include "zip_result.h"
#include "zlib_service.h"

// Results (zip_result.h, where every code a client meets is named):
// S_ZLIB_OK (0), S_ZLIB_CORRUPT_DATA (60), S_ZLIB_TRUNCATED (61),
// S_ZLIB_NEEDS_DICTIONARY (62), S_ZLIB_OUTPUT_LIMIT (63),
// S_ZLIB_TRAILING_DATA (64), S_ZLIB_NO_MEMORY (65), S_ZLIB_INPUT_TOO_LARGE
// (66). Decompress() answers VBUFFER_NOT_COMPRESSED (59, zlib_service.h) when
// the input is not zlib data: empty or shorter than the 2-byte header,
// compression method not 8, window larger than 32 KiB, or header check bits
// wrong. The ZIP module passes such input through. Compress() answers
// S_ZLIB_INPUT_TOO_LARGE when its output could exceed S_ZLIB_LARGEST_OUTPUT
// (the input is longer than s_zlib_max_input()).

// The service's module number, version and build.
enum : int {
    S_ZLIB_MODULE_NUMBER = 64,
    S_ZLIB_MODULE_VERSION = 1,
    S_ZLIB_MODULE_BUILD = 1,
};

// The default output limit of Decompress(): 1 GiB.
constexpr unsigned int S_ZLIB_DEFAULT_MAX_OUTPUT = 1u << 30;
// The largest output of either operation: what a byte buffer holds (4 GiB -
// 2 bytes). Compress() refuses an input whose worst-case output is larger,
// and no output limit of Decompress() is larger.
constexpr unsigned int S_ZLIB_LARGEST_OUTPUT = 0xFFFFFFFEu;

extern "C" {
// The module entry point (load and unload calls, see above).
CMN_EXPORT BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags);

// Sets the output limit of Decompress() for every buffer of the module, from
// the next Decompress() on; 0 restores the default, a value above
// S_ZLIB_LARGEST_OUTPUT means that. Returns the previous limit. Safe to call
// from any thread.
CMN_EXPORT unsigned int s_zlib_set_max_output(unsigned int bytes);
// The current output limit. A host that gets S_ZLIB_OUTPUT_LIMIT names it,
// e.g. "output exceeds the limit of N bytes; set S_ZLIB_MAX_OUTPUT to raise
// it".
CMN_EXPORT unsigned int s_zlib_max_output(void);
// 1 when the last load call found S_ZLIB_MAX_OUTPUT set to a value it
// refused (the default then holds), else 0. Safe to call from any thread.
CMN_EXPORT int s_zlib_max_output_rejected(void);
// The longest input Compress() takes: the worst case of the codec's output
// for it is still at most S_ZLIB_LARGEST_OUTPUT. A host refuses longer input
// before it reads it.
CMN_EXPORT unsigned int s_zlib_max_input(void);
// The codec the module was built with: "libdeflate" (libdeflate decodes, and
// encodes inputs of 4 KiB and more; zlib encodes shorter ones) or "zlib"
// (zlib does everything; 32-bit builds).
CMN_EXPORT char const* s_zlib_codec_name(void);
}
