#pragma once
// File input and output of the reference host.
//
// Input is read whole into a byte buffer, bounded by what one can hold: a
// regular file's size is checked before anything is read, a stream's length
// while it is read. Output is written from where the service left it, only once it is complete, so a failed
// run never leaves a partial or changed OUT (see writeOutput()).

#include <cstddef>
#include <string>

#include "tbuf.h"

// True for "" and "-", which name standard input or output.
bool isStdio(std::string const& name);

// The input, opened before the modules are loaded so that an unreadable
// input is reported first, and read once they are loaded and the command
// line and environment are known to be good. A regular file is only checked
// by read() and later read straight into a byte buffer (TBuf::load); any
// other input (a pipe, a terminal) is read whole by read(), into a block that
// grows in place.
class PendingInput {
public:
    PendingInput() = default;
    PendingInput(PendingInput const&) = delete;
    PendingInput& operator=(PendingInput const&) = delete;
    ~PendingInput();

    // Opens IN ("-": standard input). False with a message naming it on an
    // open error.
    bool open(std::string const& in, std::string* error);
    // Checks a regular file's length against `limit` without reading it, or
    // reads any other input whole, refused as soon as it passes `limit`.
    // False with a message naming it (`tooLarge`: why `limit` is the bound)
    // on a read error or when it is longer.
    bool read(size_t limit, std::string const& tooLarge, std::string* error);
    // A new byte buffer with the whole input, carrying one hold for the
    // caller; null with a message on failure (`noMemory` set when memory ran
    // out). Needs the byte-buffer module loaded.
    TBuf* intoBuffer(std::string* error, bool* noMemory);

private:
    std::string name_;                // for messages
    std::string path_;                // IN as given, "-" for standard input
    int fd_ = -1;                     // open from open() to read()
    std::string loadPath_;            // a regular file: the path TBuf::load reads
    unsigned char* block_ = nullptr;  // any other input: what was read
    size_t size_ = 0;
};

// Writes all `n` bytes at `data` to `fd`; false (errno set) on a write error.
bool writeAll(int fd, unsigned char const* data, size_t n);

// Writes the `n` bytes at `data` to the file OUT at `path`; false with a
// message on failure, and then OUT is as it was.
//   - OUT missing, or a regular file with one name: a new file in OUT's
//     folder (given OUT's mode, and owner where permitted) is written and
//     renamed over OUT, so OUT holds the old content or the new, never a part
//     of either. The new file is unnamed (O_TMPFILE) until it is complete;
//     where the file system has none, it is a named temporary that only this
//     process removes.
//   - OUT a symbolic link: followed to the name that is none, which is then
//     handled as above or below; the link stays.
//   - a regular file with several names: written in place under an advisory
//     lock, with the space reserved before the old content is touched.
//   - a device, a FIFO, a socket: written as it is.
//   - a directory: refused.
// No file this call did not create is ever removed. A temporary never
// outlives the process on a signal that ends it (see
// removeTemporaryOnSignals()), nor, when unnamed, on any end at all.
bool writeOutput(std::string const& path, unsigned char const* data, size_t n, std::string* error);

// Installs handlers for every catchable signal that ends the process by
// default (unless it is ignored) that remove the named temporary file being
// written, if any, then end the process as the signal would.
void removeTemporaryOnSignals();
