#include "find_ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// vela_get_config_dir comes from the host's configuration library,
// libs_ini.so, never from this module.
#include "config_dir.h"
#include "zip_module.h"

namespace {

char const kSwitchFile[] = "s_zip.ini";
char const kSwitchKey[] = "Compress";
// Separators between the key and its value.
char const kDelimiters[] = " =,\t\n";
// One read takes at most this many bytes, terminator included: a longer line
// is examined piece by piece, each piece as a line of its own.
int const kPieceSize = 63;

// The switch file's pieces, read straight from its descriptor exactly as
// fgets(piece, kPieceSize, file) would give them: at most kPieceSize - 1
// bytes each, ending after a newline; none at the end of the file or on a
// read error (and none after that). No stdio stream: nothing to allocate and
// no system call beyond the reads. Closes the descriptor.
class PieceReader {
public:
    explicit PieceReader(int fd) : fd_(fd) {}
    ~PieceReader() { close(fd_); }
    PieceReader(PieceReader const&) = delete;
    PieceReader& operator=(PieceReader const&) = delete;

    // The next piece, NUL-terminated, into `piece` (kPieceSize bytes).
    bool next(char* piece) {
        int n = 0;
        while (n < kPieceSize - 1) {
            if (at_ == end_ && !fill()) break;
            char const c = buffer_[at_++];
            piece[n++] = c;
            if (c == '\n') break;
        }
        if (n == 0 || failed_) return false;
        piece[n] = '\0';
        return true;
    }

private:
    bool fill() {
        if (ended_) return false;
        ssize_t got;
        do got = read(fd_, buffer_, sizeof buffer_);
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            ended_ = true;
            failed_ = got < 0;
            return false;
        }
        at_ = 0;
        end_ = static_cast<size_t>(got);
        return true;
    }

    int fd_;
    size_t at_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
    bool failed_ = false;
    char buffer_[4096];
};

// Opens `path` for reading without waiting: O_NONBLOCK, so that a FIFO with
// no writer does not block the open (opening one for reading would otherwise
// wait for a writer). -1 when it does not open.
int openWithoutWaiting(char const* path) { return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }

// The switch file opened for reading when it is a regular file, else -1.
// Anything else (a FIFO, a device, a directory, a socket) means "off" at once:
// the type is checked on the descriptor already open, before a byte is read,
// so nothing can be swapped in between, and the reader never waits on a FIFO
// or reads an endless device.
int openRegular(char const* path) {
    int fd = openWithoutWaiting(path);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// An empty directory string names no directory: it is treated like a failed
// directory query rather than joined into a path at the filesystem root.
char* make_ini_file_path(char const* dir, char const* name) {
    if (dir == nullptr || name == nullptr || dir[0] == '\0') return nullptr;
    std::size_t const dirLen = std::strlen(dir);
    char* path = new (std::nothrow) char[dirLen + std::strlen(name) + 2];
    if (path == nullptr) return nullptr;
    std::strcpy(path, dir);
    if (dir[dirLen - 1] != '/') std::strcpy(path + dirLen, "/");
    std::strcat(path, name);

    int fd = openWithoutWaiting(path);
    if (fd < 0) {
        delete[] path;
        return nullptr;
    }
    close(fd);
    return path;
}

int get_ini_file_path(char** path, char const* name) {
    if (name == nullptr || path == nullptr || name[0] == '\0') return INI_NOT_FOUND;
    *path = nullptr;
    char const* dir = nullptr;
    if (vela_get_config_dir(&dir) != 0) return INI_NOT_FOUND;
    *path = make_ini_file_path(dir, name);
    return *path != nullptr ? 0 : INI_NOT_FOUND;
}

// Every byte sequence is acceptable input: a NUL ends a piece early for the
// tokenizer, a read error ends the file, and the tokenizer's position lives in
// `save`, on this call's stack.
bool read_compress_switch() {
    char* path = nullptr;
    if (get_ini_file_path(&path, kSwitchFile) != 0) return false;
    int const fd = openRegular(path);
    delete[] path;
    if (fd < 0) return false;

    PieceReader file(fd);
    char piece[kPieceSize];
    while (file.next(piece)) {
        char* save = nullptr;
        char const* key = strtok_r(piece, kDelimiters, &save);
        if (key == nullptr) continue;
        char const* value = strtok_r(nullptr, kDelimiters, &save);
        if (value == nullptr) continue;
        if (std::strcmp(key, kSwitchKey) != 0) continue;
        // Compared as a long: out-of-range values clamp and never read as 1.
        return std::strtol(value, nullptr, 10) == 1;
    }
    return false;
}
