// libzip_example.so: a small client module of the ZIP service.
//
// Like every module it carries its own copy of the framework and of the
// client stubs (szip_add_client_module, or pkg-config s_zip-client), names
// itself with pModuleID, and receives the host's module manager in its load
// call; from then on its stubs find the ZIP and byte-buffer services through
// that manager. zip_example_roundtrip() is what the module offers its host:
// compress a buffer and restore it, through aBuf and TZipBuffer.
#include <cstring>

#include <s_zip/cmn_abuf.h>
#include <s_zip/cmn_init_order.h>
#include <s_zip/cmn_module_entry.h>
#include <s_zip/cmn_obj_mgr.h>
#include <s_zip/modmgr.h>
#include <s_zip/zipC.h>

// The object the host receives at the load call. This module offers no
// service of its own to other modules.
class ExampleModule final : public BaseModuleInterface, public CMN_GuardedRef {
public:
    int getModuleID() override { return 1000; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return nullptr; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
};

static TstringID ModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("EXAMPLE");
// Holds the module object from the load call to the unload call.
static CMN_Stub<ExampleModule> ExampleS CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY);

TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;

extern "C" {

CMN_EXPORT BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags) {
    return CMN_ModuleEntry<ExampleModule>(manager, flags, ExampleS);
}

// Compresses `len` bytes at `data` and restores them. Returns 0 when the
// restored bytes equal the input, with the compressed size in *packed;
// otherwise the failing step's result code (40: a service is unreachable,
// 1000: the restored bytes differ). Call between the host's load and unload
// calls, from one thread at a time.
CMN_EXPORT unsigned int zip_example_roundtrip(unsigned char const* data, unsigned int len, unsigned int* packed) {
    unsigned int code = CMN_NOT_BOUND;
    {
        // A byte buffer made by the byte-buffer service; aBuf holds it and
        // gives it back when it goes.
        aBuf input(data, len);
        if (input.error() != 0) return static_cast<unsigned int>(input.error());

        // A zip buffer over it: ZipTBuf() compresses (or passes the input
        // through when s_zip.ini does not switch compression on).
        TZipBuffer zip(input.holder.pointee);
        code = zip.ZipTBuf();
        if (code != ZIP_OK) return code;
        // GetResultTBuf() gives a copy carrying one hold for the caller. The
        // aBuf's holder keeps it alive from its construction on, so that hold
        // goes back at once.
        TBuf* result = zip.GetResultTBuf();
        aBuf compressed(result);
        if (result != nullptr) result->release();
        if (!compressed.isBound()) return CMN_NOT_BOUND;
        if (packed != nullptr) *packed = compressed.len();

        TZipBuffer unzip(compressed.holder.pointee);
        code = unzip.UnzipTBuf();
        if (code != ZIP_OK) return code;
        result = unzip.GetResultTBuf();
        aBuf restored(result);
        if (result != nullptr) result->release();
        if (!restored.isBound()) return CMN_NOT_BOUND;
        bool const same = restored.len() == len && (len == 0 || std::memcmp(restored.datap(), data, len) == 0);
        code = same ? 0 : 1000;
    }
    // Every stub is gone: let go of the byte-buffer service too, so that the
    // host's unload finds no hold of this module on its objects.
    x509cmn_fini();
    return code;
}

}  // extern "C"
