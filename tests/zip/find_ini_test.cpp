// The compression switch file: finding it in the configuration directory and
// reading the key "Compress" from it.
#include "find_ini.h"
#include "zip_module.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/zip/config_dir.h"

namespace {

struct Case {
    char const* content;
    bool on;
};

// Contents of "s_zip.ini" and whether they switch compression on.
Case const kCases[] = {
    {"Compress = 1\n", true},
    {"Compress=0\n", false},
    {"Compress,1\n", true},
    {"Compress\t1\n", true},
    {"Compress 1\r\n", true},
    {"Compress 01\n", true},
    {"Compress +1\n", true},
    {"Compress 1abc\n", true},
    {"Compress yes\n", false},
    {"Compress 2\n", false},
    {"Compress -1\n", false},
    {"Compress 0x1\n", false},
    {"Compress 18446744073709551617\n", false},  // clamps, never 1
    {"Compress 4294967297\n", false},            // 2^32 + 1 is not 1 on any word size
    {"   ==,Compress ,= 1 extra tokens\n", true},
    {"Compress = 1", true},                      // no final newline
    {"Compress\nCompress 1\n", true},            // the key alone is skipped
    {"compress 1\n", false},                     // case-sensitive
    {"Compressed 1\nCompres 1\n", false},        // same length only
    {"# Compress=1\n", false},
    {"[zip]\nCompress=1\n", true},
    {"Compress 0\nCompress 1\n", false},         // the first key line with a value decides
    {"Compress\r 1\n", false},                   // "Compress\r" is not the key
    {"", false},
    {"\n\n\n", false},
    {"other = 1\n", false},
};

class CompressSwitch : public ::testing::Test {
protected:
    ConfigDir dir;
};

TEST_F(CompressSwitch, TableOfLines) {
    for (Case const& c : kCases) {
        dir.write("s_zip.ini", c.content);
        EXPECT_EQ(read_compress_switch(), c.on) << "file content: \"" << c.content << "\"";
    }
}

TEST_F(CompressSwitch, OffWithoutFileOrDirectory) {
    EXPECT_FALSE(read_compress_switch());
    ConfigDir::fail();
    dir.write("s_zip.ini", "Compress=1\n");
    EXPECT_FALSE(read_compress_switch());
    ConfigDir::report("");
    EXPECT_FALSE(read_compress_switch());
    ConfigDir::report(dir.path().c_str());
    EXPECT_TRUE(read_compress_switch());
}

// A line is read in pieces of 62 characters; each piece counts as a line.
TEST_F(CompressSwitch, LongLinesAreReadInPieces) {
    std::string const filler(62, 'x');
    dir.write("s_zip.ini", filler + "Compress=1\n");
    EXPECT_TRUE(read_compress_switch());
    dir.write("s_zip.ini", std::string(61, 'x') + "Compress=1\n");  // key split across pieces
    EXPECT_FALSE(read_compress_switch());
    dir.write("s_zip.ini", std::string(100000, 'y') + "\n" + std::string(5000, ' ') + "Compress=1");
    EXPECT_TRUE(read_compress_switch());
}

TEST_F(CompressSwitch, AnyBytesAreHarmless) {
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>(i * 131 % 256));
    dir.write("s_zip.ini", binary);
    read_compress_switch();  // either answer; no crash, no leak
    dir.write("s_zip.ini", std::string("\0Compress=1\n", 12));
    EXPECT_FALSE(read_compress_switch());  // the NUL ends that piece
    dir.write("s_zip.ini", std::string("x\0\nCompress=1\n", 14));
    EXPECT_TRUE(read_compress_switch());
}

TEST_F(CompressSwitch, DirectoryInPlaceOfFileIsOff) {
    ASSERT_EQ(::mkdir((dir.path() + "/s_zip.ini").c_str(), 0700), 0);
    EXPECT_FALSE(read_compress_switch());
}

TEST_F(CompressSwitch, ReadAfreshAtEveryCall) {
    EXPECT_FALSE(read_compress_switch());
    dir.write("s_zip.ini", "Compress=1\n");
    EXPECT_TRUE(read_compress_switch());
    dir.write("s_zip.ini", "Compress=0\n");
    EXPECT_FALSE(read_compress_switch());
}

// The reader keeps its state within the call: concurrent readers of
// different answers do not disturb one another.
TEST_F(CompressSwitch, ConcurrentReaders) {
    dir.write("s_zip.ini", "a b c d e f g\nCompress=1\n");
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 200; ++i) wrong[t] += read_compress_switch() ? 0 : 1;
        });
    for (auto& th : threads) th.join();
    for (int w : wrong) EXPECT_EQ(w, 0);
}

TEST_F(CompressSwitch, PathJoinsWithOneSlash) {
    dir.write("s_zip.ini", "");
    std::string const expected = dir.path() + "/s_zip.ini";
    for (std::string const& d : {dir.path(), dir.path() + "/"}) {
        ConfigDir::report(d.c_str());
        char* path = nullptr;
        ASSERT_EQ(get_ini_file_path(&path, "s_zip.ini"), 0);
        EXPECT_EQ(expected, path);
        delete[] path;
    }
}

TEST_F(CompressSwitch, PathLookupFailures) {
    char marker = 0;
    char* const untouched = &marker;
    char* path = untouched;
    EXPECT_EQ(get_ini_file_path(&path, nullptr), INI_NOT_FOUND);
    EXPECT_EQ(get_ini_file_path(&path, ""), INI_NOT_FOUND);
    EXPECT_EQ(path, untouched);
    EXPECT_EQ(get_ini_file_path(nullptr, "s_zip.ini"), INI_NOT_FOUND);

    EXPECT_EQ(get_ini_file_path(&path, "s_zip.ini"), INI_NOT_FOUND);  // no file
    EXPECT_EQ(path, nullptr);
    dir.write("s_zip.ini", "");
    path = untouched;
    ConfigDir::fail();
    EXPECT_EQ(get_ini_file_path(&path, "s_zip.ini"), INI_NOT_FOUND);
    EXPECT_EQ(path, nullptr);
    path = untouched;
    ConfigDir::report("");  // an empty directory string names no directory
    EXPECT_EQ(get_ini_file_path(&path, "s_zip.ini"), INI_NOT_FOUND);
    EXPECT_EQ(path, nullptr);

    EXPECT_EQ(make_ini_file_path(dir.path().c_str(), "missing"), nullptr);
    EXPECT_EQ(make_ini_file_path("", "s_zip.ini"), nullptr);
    EXPECT_EQ(make_ini_file_path(nullptr, "s_zip.ini"), nullptr);
    EXPECT_EQ(make_ini_file_path(dir.path().c_str(), nullptr), nullptr);
}

TEST_F(CompressSwitch, UnreadableFileIsOff) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    dir.write("s_zip.ini", "Compress=1\n");
    ASSERT_EQ(::chmod((dir.path() + "/s_zip.ini").c_str(), 0), 0);
    EXPECT_FALSE(read_compress_switch());
    char* path = nullptr;
    EXPECT_EQ(get_ini_file_path(&path, "s_zip.ini"), INI_NOT_FOUND);
}

}  // namespace
