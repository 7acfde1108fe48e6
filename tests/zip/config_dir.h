#pragma once
// The configuration directory of the in-process ZIP module tests: the test
// binary's stand-in for the host's configuration query, answering a fresh
// temporary directory.

#include <string>

// The configuration directory that vela_get_config_dir reports: a fresh
// temporary directory for the object's life. fail() makes the query fail.
class ConfigDir {
public:
    ConfigDir();
    ~ConfigDir();
    ConfigDir(ConfigDir const&) = delete;
    ConfigDir& operator=(ConfigDir const&) = delete;

    std::string const& path() const { return path_; }
    // Writes `content` (any bytes) to `name` inside the directory.
    void write(std::string const& name, std::string const& content) const;
    void remove(std::string const& name) const;
    // What the configuration query answers from now on.
    static void report(char const* dir);
    static void fail();

private:
    std::string path_;
};
