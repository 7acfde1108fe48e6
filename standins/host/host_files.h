#pragma once
// File input and output of the reference host.
//
// Input is read whole into memory, bounded by what a byte buffer can hold: a
// regular file's size is checked before anything is read, a stream's length
// while it is read. Output is written only once it is complete, so a failed
// run never leaves a partial or changed OUT (see writeOutput()).

#include <string>
#include <vector>

// True for "" and "-", which name standard input or output.
bool isStdio(std::string const& name);

// Reads `fd` to its end into `data`. False with a message naming `name` on a
// read error or when the input is longer than a byte buffer can hold.
bool readInput(int fd, std::string const& name, std::vector<unsigned char>* data, std::string* error);
// Writes all of `data` to `fd`; false (errno set) on a write error.
bool writeAll(int fd, std::vector<unsigned char> const& data);

// Writes `data` to the file OUT at `path`; false with a message on failure.
//   - OUT missing, or a regular file with no other hard link: a temporary
//     file in OUT's folder (given OUT's mode, and owner where permitted) is
//     written and renamed over OUT, so OUT holds the old content or the new,
//     never a part of either.
//   - OUT a symbolic link, another hard link of a file, or not a regular file
//     (a device, a FIFO, a socket): written in place (a regular file is
//     truncated first), so the link, the other names or the device stay what
//     they are. Such an OUT is never replaced.
//   - OUT a directory: refused.
// A temporary file never outlives the process on SIGINT, SIGTERM or SIGHUP
// (see removeTemporaryOnSignals()); one left by a process that was killed
// outright is removed by the next run that writes into the same folder.
bool writeOutput(std::string const& path, std::vector<unsigned char> const& data, std::string* error);

// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove the temporary
// file being written, if any, then end the process as the signal would.
void removeTemporaryOnSignals();
