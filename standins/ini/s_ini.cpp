#include "s_ini.h"

#include <atomic>
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

// The stored paths, newest first. A node is complete before it is published
// (a release store, read with acquire) and never changes or goes away while
// the library is loaded, so readers walk the list with no lock: a call that
// finds its path, the usual case, takes no lock and allocates nothing.
std::atomic<Path*> paths{nullptr};

// Frees every stored path when the library is unloaded (or the process ends):
// no caller may use a path after that.
__attribute__((destructor)) void freePaths() {
    Path* p = paths.exchange(nullptr, std::memory_order_acquire);
    while (p != nullptr) {
        Path* next = p->next;
        std::free(p);
        p = next;
    }
}

// Whether `p` is `prefix` + (a slash) + `suffix`, as intern() stores it.
bool spells(Path* p, char const* prefix, std::size_t pn, bool slash, char const* suffix) {
    char const* t = p->text();
    return std::strncmp(t, prefix, pn) == 0 && (!slash || t[pn] == '/') && std::strcmp(t + pn + slash, suffix) == 0;
}

// The stored node among those from `from` up to (not including) `to`.
Path* find(Path* from, Path* to, char const* prefix, std::size_t pn, bool slash, char const* suffix) {
    for (Path* p = from; p != to; p = p->next)
        if (spells(p, prefix, pn, slash, suffix)) return p;
    return nullptr;
}

// The stored copy of `prefix` + `suffix`, with one slash between them when
// `suffix` is not empty and `prefix` does not already end in one; null when
// out of memory. A new path is pushed with a compare-and-swap; when another
// thread pushed meanwhile, only the nodes it added are searched again.
char const* intern(char const* prefix, char const* suffix) {
    std::size_t const pn = std::strlen(prefix);
    std::size_t const sn = std::strlen(suffix);
    bool const slash = sn != 0 && (pn == 0 || prefix[pn - 1] != '/');
    Path* head = paths.load(std::memory_order_acquire);
    if (Path* p = find(head, nullptr, prefix, pn, slash, suffix)) return p->text();

    Path* made = static_cast<Path*>(std::malloc(sizeof(Path) + pn + (slash ? 1 : 0) + sn + 1));
    if (made == nullptr) return nullptr;
    char* t = made->text();
    std::memcpy(t, prefix, pn);
    if (slash) t[pn] = '/';
    std::memcpy(t + pn + (slash ? 1 : 0), suffix, sn + 1);
    made->next = head;
    for (;;) {
        if (paths.compare_exchange_weak(made->next, made, std::memory_order_release, std::memory_order_acquire))
            return made->text();
        // made->next is now the newer head: search what was pushed since.
        if (Path* p = find(made->next, head, prefix, pn, slash, suffix)) {
            std::free(made);
            return p->text();
        }
        head = made->next;
    }
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
