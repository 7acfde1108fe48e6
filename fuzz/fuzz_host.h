#pragma once
// The fuzz targets of the real modules: the process is the reference host
// (module "HOST") with libs_tbuf, libs_zlib and libs_zip loaded once, by the
// host's own loader, from the build's module folder and kept for the whole
// run, so that every input works on the shared objects as built and any
// memory still taken after an input is that input's leak.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_modules.h"

// The zlib peer's output limit while fuzzing: small, so that every input is quick.
constexpr unsigned int kFuzzOutputLimit = 1u << 16;

// A broken promise ends the run; libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(ok) \
    ((ok) ? void() : (std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #ok), std::abort()))

inline HostModules* fuzzHost;
inline std::vector<int> fuzzObjectsAtRest;  // each module's registered objects once loaded

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("S_ZLIB_MAX_OUTPUT", std::to_string(kFuzzOutputLimit).c_str(), 1);
    fuzzHost = new HostModules();
    std::string error;
    if (!fuzzHost->loadStandardSet(ZIP_MODULE_DIR, &error)) std::fprintf(stderr, "%s\n", error.c_str()), std::abort();
    for (HostModule const& m : fuzzHost->modules()) fuzzObjectsAtRest.push_back(registeredObjects(m.objects));
    return 0;
}

// Declared first in an input's run, so that it checks last, once the input's
// stubs and holds are gone: every module's registry is as loading left it. A
// hold kept by mistake is no leak to LeakSanitizer, since the registry still
// lists the object.
struct NothingHeldAfter {
    ~NothingHeldAfter() {
        for (std::size_t k = 0; k < fuzzObjectsAtRest.size(); ++k)
            FUZZ_CHECK(registeredObjects(fuzzHost->modules()[k].objects) == fuzzObjectsAtRest[k]);
    }
};
