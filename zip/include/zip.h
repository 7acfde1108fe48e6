#pragma once
/// @file
///
/// The ZIP service: its interfaces, shared with every module that uses it.
///
///   TZip_Interface: bases BaseModuleInterface (first), CMN_GuardedRef (second)
///     primary vtable: ~dtor, ~dtor(deleting), getModuleID, getVersion,
///                     getBuild, getService, createTZipBuffer
///   TZipBuffer_Interface: base CMN_GuardedRef
///     vtable: ~dtor, ~dtor(deleting), init, fini, ZipTBuf, UnzipTBuf,
///             GetResultTBuf
///
/// Result codes of ZipTBuf() and UnzipTBuf() (zip_result.h):
///   0  success: output made, or input passed through
///   1  the byte-buffer service gave no buffer for the output
///   4  the zip buffer has no input (its buffer refused the hold)
///   9  a buffer to be passed through refused the extra hold
///   40 (CMN_NOT_BOUND) no compression buffer: the zlib service is unreachable
///      or made none
///   any other: the compression buffer's own failure code, passed on unchanged

#include "cmn_gref.h"
#include "cmn_om_s.h"
#include "cmn_result.h"
#include "tbuf.h"
#include "zip_result.h"

/// What the ZIP service object answers to the module contract's queries.
enum : int {
    ZIP_MODULE_NUMBER = 65,
    ZIP_MODULE_VERSION = 1,
    ZIP_MODULE_BUILD = 1,
};

/// A zip buffer: one request of the ZIP service over one input buffer, which it
/// holds for its life. Owned by the ZIP module; dies with its last reference.
/// One thread uses a zip buffer at a time; distinct ones run in parallel.
class TZipBuffer_Interface : public CMN_GuardedRef {
public:
    /// Compresses the input into a new byte buffer when `s_zip.ini` switches
    /// compression on, else makes the input itself the result (a second hold
    /// on it). Reads the switch file afresh; takes no lock of its own. Returns
    /// ZIP_OK or a code of zip_result.h; a failure leaves no result.
    virtual unsigned int ZipTBuf() = 0;
    /// Restores compressed input into a new byte buffer; input that is not
    /// compressed data becomes the result itself. Returns ZIP_OK or a code of
    /// zip_result.h; a failure leaves no result.
    virtual unsigned int UnzipTBuf() = 0;
    /// Borrowed: valid until the next ZipTBuf()/UnzipTBuf() or destruction.
    virtual TBuf* GetResultTBuf() = 0;
};

/// The ZIP service object, owned by the ZIP module from its load call to its
/// unload call: the module contract first, the guarded part second (what
/// lookupService("ZIP") answers). Stateless; safe to call from any thread.
class TZip_Interface : public BaseModuleInterface, public CMN_GuardedRef {
public:
    /// A new zip buffer over `in`, with count 0: the caller takes the first hold.
    virtual TZipBuffer_Interface* createTZipBuffer(TBuf* in) const = 0;
};
