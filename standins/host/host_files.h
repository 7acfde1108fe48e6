#pragma once
// File input and output of the reference host.
//
// Input is read whole into memory. Output to a named file is written under a
// temporary name in the file's own folder and renamed over it only when all
// of it has been written, so a failed run leaves no partial output and never
// touches what was there before.

#include <string>
#include <vector>

// True for "" and "-", which name standard input or output.
bool isStdio(std::string const& name);

// Reads `fd` to its end into `data`; false (errno set) on a read error.
bool readAll(int fd, std::vector<unsigned char>* data);
// Writes all of `data` to `fd`; false (errno set) on a write error.
bool writeAll(int fd, std::vector<unsigned char> const& data);

// An output file written under a temporary name in OUT's folder and renamed
// over OUT only by commit(); destroyed uncommitted, it leaves nothing.
class AtomicOutput {
public:
    AtomicOutput() = default;
    AtomicOutput(AtomicOutput const&) = delete;
    AtomicOutput& operator=(AtomicOutput const&) = delete;
    ~AtomicOutput();

    // Creates the temporary file; false with a message when it cannot.
    bool open(std::string const& path, std::string* error);
    // Writes `data`, then renames the temporary file over the path.
    bool commit(std::vector<unsigned char> const& data, std::string* error);

private:
    std::string path_;
    std::string tmp_;
    int fd_ = -1;
};
