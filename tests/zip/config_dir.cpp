#include "tests/zip/config_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {
std::string reportedDir;
bool queryFails = true;
}  // namespace

// The test binary's stand-in for the host's configuration library.
extern "C" int vela_get_config_dir(char const** dir) {
    if (dir == nullptr || queryFails) return 2;
    *dir = reportedDir.c_str();
    return 0;
}

void ConfigDir::report(char const* dir) {
    reportedDir = dir;
    queryFails = false;
}

void ConfigDir::fail() { queryFails = true; }

ConfigDir::ConfigDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zip_cfg.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
    report(path_.c_str());
}

ConfigDir::~ConfigDir() {
    fail();
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void ConfigDir::write(std::string const& name, std::string const& content) const {
    std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc) << content;
}

void ConfigDir::remove(std::string const& name) const {
    std::error_code ec;
    std::filesystem::remove_all(path_ + "/" + name, ec);
}
