#pragma once
// The module's implementations of the ZIP service and its zip buffer. Private
// to the module: other modules reach them only through TZip_Interface and
// TZipBuffer_Interface.
//
//   TZipImpl: [BaseModuleInterface vptr][CMN_GuardedRef part]
//     primary vtable:   ~dtor, ~dtor(deleting), getModuleID, getVersion,
//                       getBuild, getService, createTZipBuffer, init, fini
//     CMN_GuardedRef's: ~dtor, ~dtor(deleting), init, fini
//   TZipBufferImpl: [CMN_GuardedRef part][TBuf* input][TBuf* result]
//     vtable: ~dtor, ~dtor(deleting), init, fini, ZipTBuf, UnzipTBuf,
//             GetResultTBuf
//
// The order of the primary table is shared with other modules. TZipImpl
// gains its init and fini slots in the order they are declared here (each
// overrides an operation of the second base), so init stays before fini and
// TZipImpl declares no other virtual operation.

#include "tbuf.h"
#include "zip.h"

// The ZIP service object. It holds no state: every operation may run on any
// thread. The module holds it through TZipS from the load call to the unload
// call; it is destroyed with its last reference, through its CMN_GuardedRef
// part.
class TZipImpl : public TZip_Interface {
public:
    TZipImpl() = default;
    ~TZipImpl() override;

    int getModuleID() override;  // ZIP_MODULE_NUMBER
    int getVersion() override;   // ZIP_MODULE_VERSION
    int getBuild() override;     // ZIP_MODULE_BUILD
    // This object's guarded-reference part for the identifier "ZIP", else
    // null; no hold comes with it.
    CMN_GuardedRef* getService(TypifiedID const& id) override;
    // A new zip buffer over `in`, count 0, never null (allocation failure
    // throws). A null `in` gives a zip buffer without input (every operation
    // answers ZIP_NO_INPUT), as if the buffer had refused the hold.
    TZipBuffer_Interface* createTZipBuffer(TBuf* in) const override;

    unsigned int init() override;  // 0, no effect
    unsigned int fini() override;  // 0, no effect
};

// The work object of the service. Holds: one on `input` from construction to
// destruction (none when the buffer refused it), one on `result` while there
// is one; after a pass-through both fields name the input, which then carries
// both holds. Calls on one zip buffer must not overlap (the caller serialises
// them); distinct zip buffers work in parallel.
class TZipBufferImpl : public TZipBuffer_Interface {
public:
    // Takes a hold on `in`; a refused hold, or a null `in`, leaves the zip
    // buffer without input.
    explicit TZipBufferImpl(TBuf* in);
    // A fresh, unreferenced zip buffer over copies of `source`'s input and
    // result, made by the byte-buffer service; it shares no buffer with the
    // source. `source` must be a zip buffer of this module.
    explicit TZipBufferImpl(TZipBuffer_Interface const& source);
    TZipBufferImpl(TZipBufferImpl const& source) : TZipBufferImpl(static_cast<TZipBuffer_Interface const&>(source)) {}
    TZipBufferImpl& operator=(TZipBufferImpl const&) = delete;
    // Gives back the holds on the input and the result.
    ~TZipBufferImpl() override;

    unsigned int init() override;  // 0, no effect: an unload leaves zip buffers as they are
    unsigned int fini() override;  // 0, no effect

    // Compresses the input when the switch file says so, else passes it
    // through. Codes: ZIP_OK, ZIP_NO_OUTPUT_BUFFER, ZIP_NO_INPUT,
    // ZIP_HOLD_REFUSED, CMN_NOT_BOUND (no compression buffer), or the
    // compression buffer's own failure code.
    unsigned int ZipTBuf() override;
    // Decompresses the input; input with no data, or that the decompressor
    // reports as not compressed, is passed through. Codes as ZipTBuf(); never
    // VBUFFER_NOT_COMPRESSED.
    unsigned int UnzipTBuf() override;
    // The current result, borrowed: valid until the next ZipTBuf() or
    // UnzipTBuf() or destruction. Null after any failure.
    TBuf* GetResultTBuf() override;

    TBuf* input;
    TBuf* result;

private:
    void dropResult();
    unsigned int passThrough();
};
