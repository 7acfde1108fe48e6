// zip-locks: the mutex acquisitions of client calls through the service
// interface, counted (bench/lockcount.c) and written for bench/locks.py.
//
//   zip-locks OP SIZE CALLS [OUT]
//
// OP is "zip" (ZipTBuf, compression switched on) or "unzip" (UnzipTBuf of
// the same bytes compressed); SIZE the bytes of the text sample. The modules
// are loaded as the reference host loads them, and WARM calls are made
// first, so that the stubs are bound and the peers' pools and caches are
// filled: what is counted is the steady state. With OUT, the acquisitions
// of the CALLS calls alone go to OUT; without it nothing is counted here,
// and the run serves a count taken from outside (liblockcount.so preloaded,
// two runs with different CALLS, the difference divided).
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cmn_abuf.h"
#include "host_modules.h"
#include "private_switch.h"
#include "sample_data.h"
#include "zipC.h"

extern "C" {
void lockcount_start(void);
void lockcount_stop(char const* path);
}

namespace {

constexpr int kWarm = 20;

// One client call, as the benchmark's service variant makes it: a zip
// buffer over `in`, the call, the result read (borrowed), everything dropped.
bool clientCall(TBuf* in, bool compress) {
    TZipBuffer zip(in);
    if ((compress ? zip.ZipTBuf() : zip.UnzipTBuf()) != ZIP_OK) return false;
    TBuf* out = zip.holder.pointee->GetResultTBuf();
    return out != nullptr && out->len() > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: zip-locks zip|unzip SIZE CALLS [OUT]\n");
        return 2;
    }
    bool const compress = std::string(argv[1]) == "zip";
    size_t const size = std::stoul(argv[2]);
    long const calls = std::stol(argv[3]);
    char const* out = argc > 4 ? argv[4] : nullptr;

    std::vector<unsigned char> plain = textLike(size), bytes = plain;
    if (!compress) {
        uLongf n = compressBound(plain.size());
        bytes.resize(n);
        compress2(bytes.data(), &n, plain.data(), plain.size(), 6);
        bytes.resize(n);
    }
    PrivateSwitchFile on;  // compression on, in a folder of our own
    std::string error;
    if (!on.switchOn(&error)) {
        std::fprintf(stderr, "zip-locks: %s\n", error.c_str());
        return 1;
    }

    int status = 0;
    {
        HostModules modules;
        if (!modules.loadStandardSet(ZIP_MODULE_DIR, &error)) {
            std::fprintf(stderr, "zip-locks: %s\n", error.c_str());
            status = 1;
        } else {
            TBuf* in = createTBuf(bytes.data(), static_cast<unsigned>(bytes.size()));
            for (int i = 0; i < kWarm && status == 0; ++i)
                if (!clientCall(in, compress)) status = 1;
            if (out != nullptr) lockcount_start();
            for (long i = 0; i < calls && status == 0; ++i)
                if (!clientCall(in, compress)) status = 1;
            if (out != nullptr) lockcount_stop(out);
            if (in != nullptr) in->release();
        }
        x509cmn_fini();
        modules.unloadAll();
    }
    if (status != 0) std::fprintf(stderr, "zip-locks: a call failed\n");
    return status;
}
