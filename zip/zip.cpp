// The module's entry point, its globals, the ZIP service object and the zip
// buffer.

#include "zip_module.h"

#include "cmn_abuf.h"
#include "cmn_init_order.h"
#include "cmn_module_entry.h"
#include "cmn_obj_mgr.h"
#include "s_zlibC.h"
#include "zipC.h"
#include "zip_impl.h"
#include "zlib_service.h"

// Module globals, built after every framework global and the service
// identifier TZipID, in this order, and destroyed in the reverse order: TZipS
// lets go of the service object while the registry and RefMutex still exist.
// `pModuleID` needs no code: it points at ModuleID from the moment the library
// is mapped.
static TstringID ModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("ZIP");
TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;
TZip TZipS CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)(static_cast<TZip_Interface*>(nullptr));

BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags) {
    return CMN_ModuleEntry<TZipImpl>(manager, flags, TZipS);
}

// ---- TZipImpl ---------------------------------------------------------------

TZipImpl::~TZipImpl() = default;

int TZipImpl::getModuleID() { return ZIP_MODULE_NUMBER; }
int TZipImpl::getVersion() { return ZIP_MODULE_VERSION; }
int TZipImpl::getBuild() { return ZIP_MODULE_BUILD; }

CMN_GuardedRef* TZipImpl::getService(TypifiedID const& id) {
    if (id == ModuleID) return this;
    return nullptr;
}

TZipBuffer_Interface* TZipImpl::createTZipBuffer(TBuf* in) const { return new TZipBufferImpl(in); }

unsigned int TZipImpl::init() { return 0; }
unsigned int TZipImpl::fini() { return 0; }

// ---- TZipBufferImpl ---------------------------------------------------------

namespace {

// Gives back the hold that `buf` carries for us, if any, and forgets it.
void releaseHold(TBuf*& buf) {
    if (buf == nullptr) return;
    TBuf* held = buf;
    buf = nullptr;
    held->release();
}

// The peer's output, copied into a new buffer that carries one hold for us;
// null when the byte-buffer service makes none. The output is read before
// the handle goes, which frees it.
TBuf* copyOutput(VBuffer const& vb) {
    unsigned int const size = vb.GetOutputSize();
    return createTBuf(vb.GetOutputData(), size);
}

}  // namespace

// A null `in` is taken as a buffer that refused the hold: the zip buffer has
// no input, and every operation answers ZIP_NO_INPUT.
TZipBufferImpl::TZipBufferImpl(TBuf* in) : input(nullptr), result(nullptr) {
    if (in != nullptr && in->acquire() >= 0) input = in;
}

TZipBufferImpl::TZipBufferImpl(TZipBuffer_Interface const& source)
    : TZipBuffer_Interface(source), input(nullptr), result(nullptr) {
    auto const& from = static_cast<TZipBufferImpl const&>(source);
    input = createTBuf(from.input);
    if (input == nullptr) return;
    try {
        result = createTBuf(from.result);
    } catch (...) {
        // The destructor does not run for a half-built object.
        releaseHold(input);
        throw;
    }
}

TZipBufferImpl::~TZipBufferImpl() {
    releaseHold(input);
    releaseHold(result);
}

unsigned int TZipBufferImpl::init() { return 0; }
unsigned int TZipBufferImpl::fini() { return 0; }

void TZipBufferImpl::dropResult() { releaseHold(result); }

// The input becomes the result, with a second hold of ours on it.
unsigned int TZipBufferImpl::passThrough() {
    if (input->acquire() < 0) return ZIP_HOLD_REFUSED;
    result = input;
    return ZIP_OK;
}

unsigned int TZipBufferImpl::ZipTBuf() {
    if (input == nullptr) return ZIP_NO_INPUT;
    dropResult();
    bool const compress = read_compress_switch();
    if (input->datap() == nullptr || !compress) return passThrough();

    unsigned int const length = input->len();
    VBuffer vb(input->datap(), length);
    int const code = vb.Compress();
    if (code != 0) return static_cast<unsigned int>(code);
    result = copyOutput(vb);
    return result != nullptr ? ZIP_OK : ZIP_NO_OUTPUT_BUFFER;
}

unsigned int TZipBufferImpl::UnzipTBuf() {
    if (input == nullptr) return ZIP_NO_INPUT;
    dropResult();
    if (input->datap() == nullptr) return passThrough();

    unsigned int const length = input->len();
    VBuffer vb(input->datap(), length);
    int const code = vb.Decompress();
    if (code == VBUFFER_NOT_COMPRESSED) return passThrough();
    if (code != 0) return static_cast<unsigned int>(code);
    result = copyOutput(vb);
    return result != nullptr ? ZIP_OK : ZIP_NO_OUTPUT_BUFFER;
}

TBuf* TZipBufferImpl::GetResultTBuf() { return result; }
