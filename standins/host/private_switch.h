#pragma once
// A switch file of the process's own, for `zip-host --on` and the benchmarks:
// a private folder (mode 0700, in $TMPDIR or /tmp) holding s_zip.ini with
// "Compress = 1", named as the process's configuration folder. Nobody else's
// switch file is read or changed. The folder and its file go when the object
// does.

#include <string>

class PrivateSwitchFile {
public:
    PrivateSwitchFile() = default;
    PrivateSwitchFile(PrivateSwitchFile const&) = delete;
    PrivateSwitchFile& operator=(PrivateSwitchFile const&) = delete;
    ~PrivateSwitchFile();

    // Makes the folder and its switch file and points S_INI_CONFIG_DIR at the
    // folder; false with `error` set when it cannot (nothing is left behind
    // and the environment is unchanged then).
    bool switchOn(std::string* error);
    std::string const& folder() const { return folder_; }

private:
    std::string folder_;
};
