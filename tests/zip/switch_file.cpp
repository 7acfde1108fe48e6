#include "tests/zip/switch_file.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace {
struct Directory {
    std::string path = (std::filesystem::temp_directory_path() / "zip_cfg.XXXXXX").string();
    Directory() { mkdtemp(path.data()); }
    ~Directory() { std::filesystem::remove_all(path); }
};
std::string reported = configDir();
bool queryFails = false;
}  // namespace

std::string const& configDir() {
    static Directory d;
    return d.path;
}

void reportConfigDir(char const* dir) { queryFails = dir == nullptr, reported = dir != nullptr ? dir : ""; }

// A new file every time: a file cut to nothing and written again is flushed to
// disk at close by some file systems (ext4), which would cost a disk write
// per call.
void writeSwitchFile(std::string const& content) {
    std::filesystem::remove(configDir() + "/s_zip.ini");
    std::ofstream(configDir() + "/s_zip.ini", std::ios::binary) << content;
}

extern "C" int vela_get_config_dir(char const** dir) {
    if (dir == nullptr || queryFails) return 2;
    return *dir = reported.c_str(), 0;
}

// fopen as the module calls it, counted: the reader's platform calls are
// those of stdio, so a host that interposes fopen sees every open. The
// definition takes the symbol the module's own calls use (fopen64 under
// 64-bit file offsets).
namespace {
std::atomic<int> opensForReading{0};
#ifdef __USE_FILE_OFFSET64
char const kFopen[] = "fopen64";
#else
char const kFopen[] = "fopen";
#endif
}  // namespace

int fopenCallsForReading() { return opensForReading; }

extern "C" FILE* fopen(char const* path, char const* mode) {
    using Open = FILE* (*)(char const*, char const*);
    static auto const next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, kFopen));
    if (strcmp(mode, "r") == 0) ++opensForReading;
    return next(path, mode);
}
