#include "s_ini.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace {

// One stored path, its characters right behind the node. Paths are interned:
// each distinct path is stored once, so repeated calls hand out the same
// pointer and storage does not grow while the environment stays the same.
struct Path {
    Path* next;
    char* text() { return reinterpret_cast<char*>(this + 1); }
};

// Guards `paths`. Statically initialised: usable before any constructor of
// the library has run, and nothing to tear down.
pthread_mutex_t pathsLock = PTHREAD_MUTEX_INITIALIZER;
Path* paths = nullptr;

// Frees every stored path when the library is unloaded (or the process ends):
// no caller may use a path after that.
__attribute__((destructor)) void freePaths() {
    while (paths != nullptr) {
        Path* p = paths;
        paths = p->next;
        std::free(p);
    }
}

// The stored copy of `prefix` + `suffix`, with one slash between them when
// `suffix` is not empty and `prefix` does not already end in one; null when
// out of memory.
char const* intern(char const* prefix, char const* suffix) {
    std::size_t const pn = std::strlen(prefix);
    std::size_t const sn = std::strlen(suffix);
    bool const slash = sn != 0 && (pn == 0 || prefix[pn - 1] != '/');
    Path* made = static_cast<Path*>(std::malloc(sizeof(Path) + pn + (slash ? 1 : 0) + sn + 1));
    if (made == nullptr) return nullptr;
    char* t = made->text();
    std::memcpy(t, prefix, pn);
    if (slash) t[pn] = '/';
    std::memcpy(t + pn + (slash ? 1 : 0), suffix, sn + 1);

    pthread_mutex_lock(&pathsLock);
    Path* p = paths;
    while (p != nullptr && std::strcmp(p->text(), t) != 0) p = p->next;
    if (p == nullptr) {
        made->next = paths;
        paths = made;
        p = made;
        made = nullptr;
    }
    char const* stored = p->text();
    pthread_mutex_unlock(&pathsLock);
    std::free(made);
    return stored;
}

bool nonEmpty(char const* v) { return v != nullptr && v[0] != '\0'; }

}  // namespace

extern "C" int vela_get_config_dir(char const** dir) {
    if (dir == nullptr) return S_INI_NO_ARGUMENT;

    char const* prefix = nullptr;
    char const* suffix = nullptr;
    if (char const* own = std::getenv("S_INI_CONFIG_DIR"); nonEmpty(own)) {
        prefix = own;
        suffix = "";
    } else if (char const* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        prefix = xdg;
        suffix = "s_zip";
    } else if (char const* home = std::getenv("HOME"); nonEmpty(home)) {
        prefix = home;
        suffix = ".config/s_zip";
    } else {
        return S_INI_NO_DIRECTORY;
    }

    char const* path = intern(prefix, suffix);
    if (path == nullptr) return S_INI_NO_MEMORY;
    *dir = path;
    return S_INI_OK;
}
