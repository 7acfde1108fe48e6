#pragma once
/// @file
///
/// The peer zlib service (service identifier 64) and its compression buffers,
/// as every module sees them.
///
///   CMN_ZLib_Interface: bases BaseModuleInterface (first), CMN_GuardedRef
///     primary vtable: ~dtor, ~dtor(deleting), getModuleID, getVersion,
///                     getBuild, getService, createVBuffer
///   VBuffer_Interface: base CMN_GuardedRef
///     vtable: ~dtor, ~dtor(deleting), init, fini, Compress, Decompress,
///             GetOutputSize, GetOutputData

#include "cmn_gref.h"
#include "cmn_om_s.h"

class VBuffer_Interface;

/// The zlib service (number 64), owned by its module: the module contract
/// first, the guarded part second (what lookupService answers). Safe to call
/// from any thread.
class CMN_ZLib_Interface : public BaseModuleInterface, public CMN_GuardedRef {
public:
    /// A new compression buffer over `data` (count 0: the caller's holder takes
    /// the first reference), or null. The bytes stay the caller's and must stay
    /// valid for the buffer's life.
    virtual VBuffer_Interface* createVBuffer(unsigned char const* data, unsigned long len) = 0;
};

/// The code Decompress() answers for input that is not compressed data.
enum : int { VBUFFER_NOT_COMPRESSED = 59 };

/// A compression buffer of the zlib service: compresses or restores the bytes
/// it was made over, keeping the output itself. One thread uses a buffer at a
/// time; it dies with its last reference.
class VBuffer_Interface : public CMN_GuardedRef {
public:
    /// 0 on success, else a failure code.
    virtual int Compress() = 0;
    /// 0 on success, VBUFFER_NOT_COMPRESSED for input that is not compressed
    /// data, else a failure code.
    virtual int Decompress() = 0;
    /// Output of the last successful Compress() or Decompress().
    virtual unsigned int GetOutputSize() = 0;
    /// The output bytes; owned by the buffer, valid until it is destroyed.
    virtual unsigned char const* GetOutputData() = 0;
};
