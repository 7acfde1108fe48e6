#include "tests/zip/switch_file.h"

#include <stdlib.h>

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
