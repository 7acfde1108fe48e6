#include "host_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

using EntryPoint = BaseModuleInterface* (*)(ModMgr_Interface*, int);
using ObjectManagerEntry = CMN_ObjectManager* (*)();

std::string dlMessage() {
    char const* e = dlerror();
    return e != nullptr ? e : "unknown loader error";
}

// The link map of an open handle, or null.
link_map* linkMapOf(void* handle) {
    link_map* lm = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0) return nullptr;
    return lm;
}

// Resolves `name` in the module opened as `handle` and checks that the address
// lies in that very file, not in a dependency or a library loaded globally
// before it. Returns null with a message otherwise.
void* ownSymbol(void* handle, char const* name, std::string const& path, std::string* error) {
    dlerror();
    void* sym = dlsym(handle, name);
    if (sym == nullptr) {
        *error = path + ": no entry point " + name + " (" + dlMessage() + ")";
        return nullptr;
    }
    Dl_info info{};
    link_map* owner = nullptr;
    if (dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 || owner == nullptr ||
        owner != linkMapOf(handle)) {
        std::string where = info.dli_fname != nullptr ? info.dli_fname : "an unknown object";
        *error = path + ": entry point " + name + " belongs to " + where + ", not to the file opened";
        return nullptr;
    }
    return sym;
}

bool readAt(int fd, void* buf, size_t n, off_t at) {
    return pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}

bool within(unsigned long long offset, unsigned long long size, unsigned long long fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// dlopen maps a file by its headers and faults (SIGBUS) on pages past the end
// of a file that is shorter than they claim. Before dlopen, the loader checks
// that the file is an ELF shared object of this process's kind whose header
// tables and loadable segments all lie within the file.
bool checkElf(std::string const& path, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot load " + path + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot load " + path + ": not a regular file";
        return false;
    }
    unsigned long long size = static_cast<unsigned long long>(st.st_size);
    ElfW(Ehdr) eh{};
    if (!readAt(fd, &eh, sizeof eh, 0) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) {
        *error = "cannot load " + path + ": not a shared object (no ELF header)";
        return false;
    }
    unsigned char const wantClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    if (eh.e_ident[EI_CLASS] != wantClass || eh.e_type != ET_DYN || eh.e_phentsize != sizeof(ElfW(Phdr))) {
        *error = "cannot load " + path + ": not a shared object for this process (ELF class, type or layout)";
        return false;
    }
    if (!within(eh.e_phoff, 1ull * eh.e_phnum * sizeof(ElfW(Phdr)), size) ||
        (eh.e_shoff != 0 && !within(eh.e_shoff, 1ull * eh.e_shnum * eh.e_shentsize, size))) {
        *error = "cannot load " + path + ": file truncated (header tables end past the end of the file)";
        return false;
    }
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        ElfW(Phdr) ph{};
        if (!readAt(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * sizeof ph)) ||
            (ph.p_type != PT_NULL && !within(ph.p_offset, ph.p_filesz, size))) {
            *error = "cannot load " + path + ": file truncated (a segment ends past the end of the file)";
            return false;
        }
    }
    return true;
}

bool isFile(std::string const& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool openModule(std::string const& path, int dlopenFlags, OpenedModule* out, std::string* error) {
    if (!checkElf(path, error)) return false;
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | dlopenFlags);
    if (handle == nullptr) {
        *error = "cannot load " + dlMessage();
        return false;
    }
    OpenedModule m;
    m.path = path;
    m.handle = handle;
    auto fail = [&](std::string const& message) {
        *error = message;
        dlclose(handle);
        return false;
    };
    m.entry = reinterpret_cast<EntryPoint>(ownSymbol(handle, "GetInterfaceClass", path, error));
    if (m.entry == nullptr) return fail(*error);
    auto om = reinterpret_cast<ObjectManagerEntry>(ownSymbol(handle, "GetObjectManager", path, error));
    if (om == nullptr) return fail(*error);
    m.objects = om();
    if (m.objects == nullptr) return fail(path + ": GetObjectManager gave no object manager");
    // The identifier is optional for the loader; it names the module in
    // reports and in findModule().
    if (auto p = static_cast<TypifiedID**>(dlsym(handle, "pModuleID")); p != nullptr && *p != nullptr) {
        m.id = *p;
        m.name = idText(m.id);
    } else {
        m.name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    }
    *out = m;
    return true;
}

CloseResult closeModule(OpenedModule const& m) {
    CloseResult r;
    dlerror();
    r.dlcloseOk = dlclose(m.handle) == 0;
    if (!r.dlcloseOk) r.dlcloseError = dlMessage();
    void* probe = dlopen(m.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (probe != nullptr) {
        r.stillMapped = true;
        dlclose(probe);  // gives back the reference the probe took
    }
    return r;
}

std::string idText(TypifiedID const* id) {
    if (id == nullptr) return "?";
    if (id->type == IDT_STRING) {
        char const* s = static_cast<TstringID const*>(id)->value;
        return s != nullptr ? s : "";
    }
    if (id->type == IDT_UINT32) return std::to_string(static_cast<Tuint32ID const*>(id)->value);
    return "?";
}

std::vector<std::string> standardModuleFiles() { return {"libs_tbuf.so", "libs_zlib.so", "libs_zip.so"}; }

std::string defaultModuleDir() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    exe[n] = '\0';
    std::string dir(exe);
    dir.erase(dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/'));
    for (char const* rel : {"/../lib/s_zip", "/../lib"}) {
        std::string candidate = dir + rel;
        if (isFile(candidate + "/libs_zip.so")) {
            char real[PATH_MAX];
            return realpath(candidate.c_str(), real) != nullptr ? std::string(real) : candidate;
        }
    }
    return {};
}
