#include "find_ini.h"

#include <sys/stat.h>

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
// One fgets takes at most this many bytes, terminator included: a longer line
// is examined piece by piece, each piece as a line of its own.
int const kPieceSize = 63;

// `path` opened with fopen(path, "r") when it names a regular file, else
// null. Anything else (a FIFO, a device, a socket, a directory) means "not
// there" at once: fopen would wait on a FIFO without a writer, and a device
// may never end. The type is checked by stat before the open and confirmed on
// the open stream, so what was read is a regular file; only a FIFO swapped in
// between the two could still make the open wait for a writer.
std::FILE* openRegular(char const* path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return nullptr;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    return f;
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

    std::FILE* f = openRegular(path);
    if (f == nullptr) {
        delete[] path;
        return nullptr;
    }
    std::fclose(f);
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
    std::FILE* file = openRegular(path);
    delete[] path;
    if (file == nullptr) return false;

    bool on = false;
    char piece[kPieceSize];
    while (std::fgets(piece, kPieceSize, file) != nullptr) {
        char* save = nullptr;
        char const* key = strtok_r(piece, kDelimiters, &save);
        if (key == nullptr) continue;
        char const* value = strtok_r(nullptr, kDelimiters, &save);
        if (value == nullptr) continue;
        if (std::strcmp(key, kSwitchKey) != 0) continue;
        // Compared as a long: out-of-range values clamp and never read as 1.
        on = std::strtol(value, nullptr, 10) == 1;
        break;
    }
    std::fclose(file);
    return on;
}
