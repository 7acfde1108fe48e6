// The zlib service module: its identity, entry point, service object and
// compression buffers.
#include "s_zlib.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "cmn_init_order.h"
#include "cmn_module_entry.h"
#include "cmn_obj_mgr.h"
#include "cmn_stub.h"
#include "codec.h"
#include "zlib_service.h"

namespace {

std::atomic<unsigned int> maxOutput{S_ZLIB_DEFAULT_MAX_OUTPUT};
// Whether the last load call refused the environment's value.
std::atomic<int> environmentRejected{0};

// The limit the environment asks for: the default when the variable is
// absent or empty (as unset), and also when it is no decimal byte count from
// 1 to S_ZLIB_LARGEST_OUTPUT (0, a sign, anything after the digits, too large);
// `rejected` tells the last case apart.
unsigned int limitFromEnvironment(bool& rejected) {
    char const* text = std::getenv("S_ZLIB_MAX_OUTPUT");
    rejected = false;
    if (text == nullptr || *text == '\0') return S_ZLIB_DEFAULT_MAX_OUTPUT;
    rejected = true;
    if (*text < '0' || *text > '9') return S_ZLIB_DEFAULT_MAX_OUTPUT;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > S_ZLIB_LARGEST_OUTPUT) return S_ZLIB_DEFAULT_MAX_OUTPUT;
    rejected = false;
    return static_cast<unsigned int>(value);
}

// A compression buffer over the caller's bytes (not copied). The output of
// the last success lives in `output`; failures leave it alone. One thread at
// a time.
class VBufferImpl final : public VBuffer_Interface {
public:
    VBufferImpl(unsigned char const* data, unsigned long len) : input(data), inputLen(len) {}

    unsigned int init() override { return 0; }
    // The module's unload finishes buffers still alive; their output stays
    // readable until their last holder lets go.
    unsigned int fini() override { return 0; }

    int Compress() override {
        CodecOutput made;
        int rc = Codec::compress(input, inputLen, made);
        if (rc == S_ZLIB_OK && made.size() > S_ZLIB_LARGEST_OUTPUT) rc = S_ZLIB_INPUT_TOO_LARGE;
        if (rc == S_ZLIB_OK) output = std::move(made);
        return rc;
    }

    int Decompress() override {
        CodecOutput made;
        int rc = Codec::decompress(input, inputLen, maxOutput.load(std::memory_order_relaxed), made);
        if (rc == S_ZLIB_OK) output = std::move(made);
        return rc;
    }

    unsigned int GetOutputSize() override { return static_cast<unsigned int>(output.size()); }
    unsigned char const* GetOutputData() override { return output.data(); }

private:
    unsigned char const* input;
    unsigned long inputLen;
    CodecOutput output;
};

}  // namespace

// The service object: the module contract and the buffer factory. Stateless.
class CMN_ZLibImpl final : public CMN_ZLib_Interface {
public:
    int getModuleID() override { return S_ZLIB_MODULE_NUMBER; }
    int getVersion() override { return S_ZLIB_MODULE_VERSION; }
    int getBuild() override { return S_ZLIB_MODULE_BUILD; }
    CMN_GuardedRef* getService(TypifiedID const& id) override;
    VBuffer_Interface* createVBuffer(unsigned char const* data, unsigned long len) override {
        if (data == nullptr && len != 0) return nullptr;
        return new VBufferImpl(data, len);
    }
    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
};

// Static construction order (cmn_init_order.h): the service identifier, then
// the module identifier and the module's own stub on its service object.
Tuint32ID ZLibServiceID CMN_INIT_RANK(CMN_INIT_SERVICE_ID)(64);
static TstringID ModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("ZLIB");
// Holds the service object from the load call to the unload call.
CMN_Stub<CMN_ZLib_Interface> ZLibS CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY);

TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;

CMN_GuardedRef* CMN_ZLibImpl::getService(TypifiedID const& id) {
    return id == ZLibServiceID ? static_cast<CMN_GuardedRef*>(this) : nullptr;
}

BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags) {
    // The output limit is read afresh at every load call.
    if (manager != nullptr && flags == 0) {
        bool rejected = false;
        maxOutput.store(limitFromEnvironment(rejected), std::memory_order_relaxed);
        environmentRejected.store(rejected ? 1 : 0, std::memory_order_relaxed);
    }
    return CMN_ModuleEntry<CMN_ZLibImpl>(manager, flags, ZLibS);
}

unsigned int s_zlib_set_max_output(unsigned int bytes) {
    if (bytes == 0) bytes = S_ZLIB_DEFAULT_MAX_OUTPUT;
    return maxOutput.exchange(bytes < S_ZLIB_LARGEST_OUTPUT ? bytes : S_ZLIB_LARGEST_OUTPUT, std::memory_order_relaxed);
}

unsigned int s_zlib_max_output(void) { return maxOutput.load(std::memory_order_relaxed); }

int s_zlib_max_output_rejected(void) { return environmentRejected.load(std::memory_order_relaxed); }

char const* s_zlib_codec_name(void) { return Codec::name(); }

unsigned int s_zlib_max_input(void) {
    // The bound grows with the input: the largest input whose bound fits.
    static unsigned int const largest = [] {
        unsigned long long low = 0, high = S_ZLIB_LARGEST_OUTPUT;
        while (low < high) {
            unsigned long long mid = low + (high - low + 1) / 2;
            size_t bound = Codec::bound(static_cast<size_t>(mid));
            if (bound >= mid && bound <= S_ZLIB_LARGEST_OUTPUT) {
                low = mid;
            } else {
                high = mid - 1;
            }
        }
        return static_cast<unsigned int>(low);
    }();
    return largest;
}
