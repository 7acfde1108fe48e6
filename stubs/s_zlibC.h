#pragma once
/// @file
///
/// Client handles of the peer zlib service (service identifier 64): CMN_ZLib on
/// the service, VBuffer on one compression buffer. Each is exactly one holder
/// (no table of its own in front of it); a nil handle answers 40, 0 or null.

#include "cmn_export.h"
#include "cmn_grefptr.h"
#include "id_type.h"
#include "zlib_service.h"

/// The numeric identifier 64 of the zlib service.
extern Tuint32ID CMN_ZLibID;

/// A handle on the zlib service: one holder, used by one thread at a time.
class CMN_EXPORT CMN_ZLib : public CMN_GRefPtr<CMN_ZLib_Interface> {
public:
    /// Looks the service up once, by CMN_ZLibID; nil when it cannot be found.
    CMN_ZLib();
    /// Holds `p` (a reference in this handle's name); null gives a nil handle.
    explicit CMN_ZLib(CMN_ZLib_Interface* p);
    /// Releases the reference, if any.
    ~CMN_ZLib();

    /// True when the handle holds no service.
    bool is_nil() const;
    /// The service's new compression buffer (unreferenced), or null when nil.
    VBuffer_Interface* createVBuffer(unsigned char const* data, unsigned long len) const;
};

/// A handle on one compression buffer: one holder, used by one thread at a time.
class CMN_EXPORT VBuffer : public CMN_GRefPtr<VBuffer_Interface> {
public:
    /// Looks the zlib service up afresh and has it make a compression buffer
    /// over the bytes, which are not copied: the caller keeps them valid for
    /// the handle's life. Nil when the service is unreachable or makes none.
    VBuffer(unsigned char const* data, unsigned long len);
    /// Holds `p`; null gives a nil handle.
    explicit VBuffer(VBuffer_Interface* p);
    /// Releases the reference, if any; the buffer dies with its last one.
    ~VBuffer();

    /// True when the handle holds no buffer.
    bool is_nil() const;
    int Compress();                              ///< 40 when nil
    int Decompress();                            ///< 40 when nil
    unsigned int GetOutputSize() const;          ///< 0 when nil
    unsigned char const* GetOutputData() const;  ///< null when nil
};
