// A client module of the installed package that also uses another library
// whose header is named zip.h. It includes the package as <s_zip/...> only,
// and is built with the language standard its build asks for.
#include <zip.h>

#include <s_zip/cmn_abuf.h>
#include <s_zip/cmn_init_order.h>
#include <s_zip/cmn_module_entry.h>
#include <s_zip/zipC.h>
#include <s_zip/zip_result.h>
#include <s_zip/zip_version.h>

static_assert(OTHER_LIBRARY_ZIP_H == 1, "<zip.h> must be the other library's");
static_assert(S_ZIP_VERSION >= S_ZIP_MAKE_VERSION(1, 0, 0) && S_ZIP_VERSION_MAJOR == 1, "the package's version");
#ifdef CONSUMER_EXPECTS_STD
static_assert(__cplusplus >= CONSUMER_EXPECTS_STD, "the consumer's -std must reach the compiler");
#endif

class ConsumerModule final : public BaseModuleInterface, public CMN_GuardedRef {
public:
    int getModuleID() override { return 1001; }
    int getVersion() override { return 1; }
    int getBuild() override { return 1; }
    CMN_GuardedRef* getService(TypifiedID const&) override { return nullptr; }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
};

static TstringID ModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("CONSUMER");
static CMN_Stub<ConsumerModule> ConsumerS CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY);

TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;

extern "C" CMN_EXPORT BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* m, int flags) {
    return CMN_ModuleEntry<ConsumerModule>(m, flags, ConsumerS);
}

// Compresses `len` bytes; answers the message of the service's code.
extern "C" CMN_EXPORT char const* consumer_compress(unsigned char const* data, unsigned int len) {
    aBuf input(data, len);
    TZipBuffer zip(input.holder.pointee);
    return s_zip_strerror(zip.ZipTBuf());
}
