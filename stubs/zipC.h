#pragma once
/// @file
///
/// Client stubs of the ZIP service: TZip on the service object, TZipBuffer on
/// one zip buffer. Both hold their target through a holder stamped with this
/// module's identifier and answer as unbound (40, or null) when the target
/// cannot be found or its module has cut them loose.

#include "cmn_export.h"
#include "cmn_stub.h"
#include "id_type.h"
#include "zip.h"

/// The identifier "ZIP" by which TZip stubs look the service up.
extern TstringID TZipID;

/// Stub on the ZIP service object. One stub is used by one thread at a time.
class CMN_EXPORT TZip : public CMN_Stub<TZip_Interface> {
public:
    /// Looks the service up once, through the host's module manager, by TZipID;
    /// unbound when no manager is known or it does not know "ZIP".
    TZip();
    /// Holds `p`; null gives an unbound stub with no service identifier.
    explicit TZip(TZip_Interface* p);
    ~TZip() override;

    /// The service's new zip buffer, unreferenced (count 0: the caller takes
    /// the first hold), or null when unbound.
    TZipBuffer_Interface* createTZipBuffer(TBuf* in) const;
};

/// Stub on one zip buffer: the client API of the service.
class CMN_EXPORT TZipBuffer : public CMN_Stub<TZipBuffer_Interface> {
public:
    /// Finds the service through a TZip, has it make a zip buffer over `in`,
    /// and holds the only reference to it. Unbound when the service cannot be
    /// found.
    explicit TZipBuffer(TBuf* in);
    /// Holds `p`; null gives an unbound stub.
    explicit TZipBuffer(TZipBuffer_Interface* p);
    ~TZipBuffer() override;

    unsigned int ZipTBuf();    ///< the zip buffer's code, or 40 when unbound
    unsigned int UnzipTBuf();  ///< the zip buffer's code, or 40 when unbound
    /// A new buffer holding a copy of the zip buffer's result, carrying one
    /// hold for the caller (give it back with release()); null when unbound or
    /// when the byte-buffer service makes none. A zip buffer without a result
    /// passes null on to createTBuf(TBuf*): what that gives is the service's.
    TBuf* GetResultTBuf();
};
