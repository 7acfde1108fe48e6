#include "private_switch.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
char const kSwitch[] = "/s_zip.ini";
char const kOn[] = "Compress = 1\n";
}  // namespace

bool PrivateSwitchFile::switchOn(std::string* error) {
    char const* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/zip-host.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        *error = "--on: cannot make a private folder in " + pattern.substr(0, pattern.rfind('/')) + ": " +
                 std::strerror(errno);
        return false;
    }
    folder_ = name.data();
    std::FILE* f = std::fopen((folder_ + kSwitch).c_str(), "wx");
    bool const written = f != nullptr && std::fputs(kOn, f) >= 0;
    if (f == nullptr || std::fclose(f) != 0 || !written) {
        *error = "--on: cannot write " + folder_ + kSwitch + ": " + std::strerror(errno);
        unlink((folder_ + kSwitch).c_str());
        rmdir(folder_.c_str());
        folder_.clear();
        return false;
    }
    setenv("S_INI_CONFIG_DIR", folder_.c_str(), 1);
    return true;
}

PrivateSwitchFile::~PrivateSwitchFile() {
    if (folder_.empty()) return;
    unlink((folder_ + kSwitch).c_str());
    rmdir(folder_.c_str());
}
