// The compression switch: every corpus file switches compression on exactly
// when its name starts with "on_"; and the rules of finding the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "find_ini.h"
#include "tests/zip/switch_file.h"
#include "zip_module.h"

namespace {

TEST(SwitchFile, Corpus) {
    for (auto const& entry : std::filesystem::directory_iterator(ZIP_SWITCH_CORPUS)) {
        std::ostringstream bytes;
        bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        writeSwitchFile(bytes.str());
        EXPECT_EQ(read_compress_switch(), entry.path().filename().string().rfind("on_", 0) == 0) << entry.path();
    }
}

// Off whenever the file cannot be found or read; the path functions' codes.
TEST(SwitchFile, FindingTheFile) {
    std::string const file = configDir() + "/s_zip.ini";
    char marker = 0, *path = &marker;
    std::filesystem::remove(file);
    EXPECT_TRUE(get_ini_file_path(&path, "s_zip.ini") == INI_NOT_FOUND && path == nullptr) << "no file";
    // Anything but a regular file reads as off at once, without an open that
    // could wait (a FIFO without a writer) or a read that never ends (a device).
    for (auto make : {+[](char const* f) { return ::mkdir(f, 0700); }, +[](char const* f) { return ::mkfifo(f, 0600); },
                      +[](char const* f) { return ::mknod(f, S_IFCHR | 0600, makedev(1, 5)); }}) {
        std::filesystem::remove(file);
        if (make(file.c_str()) != 0) continue;  // a device needs root
        int const opens = fopenCallsForReading();
        EXPECT_FALSE(read_compress_switch()) << "not a regular file";
        EXPECT_EQ(fopenCallsForReading(), opens);
    }
    std::filesystem::remove(file);
    writeSwitchFile("Compress=1\n");
    EXPECT_TRUE(::geteuid() == 0 || ::chmod(file.c_str(), 0) != 0 || !read_compress_switch()) << "unreadable: off";
    ::chmod(file.c_str(), 0600);
    for (char const* noDir : {static_cast<char const*>(nullptr), ""}) {
        reportConfigDir(noDir);
        path = &marker;
        EXPECT_TRUE(get_ini_file_path(&path, "s_zip.ini") == INI_NOT_FOUND && path == nullptr);
        EXPECT_FALSE(read_compress_switch());
        EXPECT_EQ(make_ini_file_path(noDir, "s_zip.ini"), nullptr);
    }
    for (std::string const& dir : {configDir() + "/", configDir()}) {  // joined by exactly one slash
        reportConfigDir(dir.c_str());
        ASSERT_EQ(get_ini_file_path(&path, "s_zip.ini"), 0);
        EXPECT_EQ(file, path);
        delete[] path;
    }
    int const opens = fopenCallsForReading();
    EXPECT_TRUE(read_compress_switch());
    EXPECT_EQ(fopenCallsForReading() - opens, 2) << "the path's check, then the read, through stdio";
    path = &marker;  // bad arguments leave *path untouched
    EXPECT_EQ(get_ini_file_path(&path, nullptr) + get_ini_file_path(&path, ""), 2 * INI_NOT_FOUND);
    EXPECT_EQ(path, &marker);
}

}  // namespace
