#include "host_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host_paths.h"
#include "sha256.h"

#ifndef ZIP_HOST_MODULE_RELDIR
#define ZIP_HOST_MODULE_RELDIR "../lib/s_zip"
#endif

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

#if defined(__x86_64__)
constexpr unsigned kMachine = EM_X86_64;
char const kMachineName[] = "x86-64";
#else
constexpr unsigned kMachine = EM_386;
char const kMachineName[] = "i386";
#endif

// What is wrong with the ELF header `eh` for this process, or empty: the
// mistakes a user makes (a file of another kind, class or machine), named.
std::string headerProblem(ElfW(Ehdr) const& eh) {
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return "not a shared object (no ELF header)";
    unsigned char const wantClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    if (eh.e_ident[EI_CLASS] != wantClass || eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return sizeof(void*) == 8 ? "not a shared object for this process (not 64-bit little-endian ELF)"
                                  : "not a shared object for this process (not 32-bit little-endian ELF)";
    if (eh.e_machine != kMachine)
        return "built for another machine (ELF machine " + std::to_string(eh.e_machine) + "; this process is " +
               kMachineName + ")";
    if (eh.e_type != ET_DYN) return "not a shared object (ELF type is not ET_DYN)";
    return {};
}

bool within(unsigned long long offset, unsigned long long size, unsigned long long fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// A file cut short is what a loader cannot tell from its headers: the part
// of a segment past the end reads as zeros, or faults. Every header table
// and every segment must lie inside the file.
std::string truncation(int fd, ElfW(Ehdr) const& eh, unsigned long long size) {
    char const* cut = "file truncated (header tables end past the end of the file)";
    if (eh.e_phentsize != sizeof(ElfW(Phdr)) || eh.e_phnum == 0 || eh.e_phnum >= PN_XNUM)
        return "damaged ELF header (program header size or count)";
    if (!within(eh.e_phoff, 1ull * eh.e_phnum * sizeof(ElfW(Phdr)), size) ||
        (eh.e_shoff != 0 && !within(eh.e_shoff, 1ull * eh.e_shnum * eh.e_shentsize, size)))
        return cut;
    std::vector<ElfW(Phdr)> phdrs(eh.e_phnum);
    ssize_t const want = static_cast<ssize_t>(phdrs.size() * sizeof(ElfW(Phdr)));
    if (pread(fd, phdrs.data(), static_cast<size_t>(want), static_cast<off_t>(eh.e_phoff)) != want) return cut;
    for (ElfW(Phdr) const& ph : phdrs)
        if (ph.p_type != PT_NULL && !within(ph.p_offset, ph.p_filesz, size))
            return "file truncated (a segment ends past the end of the file)";
    return {};
}

// Opens the file without blocking (a FIFO or a device must not hang the
// host), and checks on that descriptor that it is a regular file with an
// ELF header for this process. `key` identifies the file as it is now.
// What a file that passed its checks is remembered by: it names the file and
// changes whenever its contents may have.
std::string keyOf(struct stat const& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

bool checkFile(std::string const& path, std::string* key, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
    ElfW(Ehdr) eh{};
    std::string why = pread(fd, &eh, sizeof eh, 0) == static_cast<ssize_t>(sizeof eh)
                          ? headerProblem(eh)
                          : "not a shared object (no ELF header)";
    if (why.empty()) why = truncation(fd, eh, static_cast<unsigned long long>(st.st_size));
    if (!why.empty()) {
        *error = "cannot load " + path + ": " + why;
        return false;
    }
    *key = keyOf(st);
    return true;
}

// Files that passed their checks (a trial load, or their digest), as keyOf()
// keys them: a file unchanged since is not checked again (a host that loads
// and unloads often; the library every module of a folder shares).
std::mutex triedLock;
std::set<std::string> tried;

bool passedBefore(std::string const& key) {
    std::lock_guard<std::mutex> g(triedLock);
    return tried.count(key) != 0;
}

void passed(std::string const& key) {
    std::lock_guard<std::mutex> g(triedLock);
    tried.insert(key);
}

constexpr int kTrialSeconds = 20;
char const kManifest[] = "s_zip.sha256";

// The loader trusts a file's headers and its dynamic section: a damaged
// module can make dlopen fault, abort on an assertion or loop. So a child
// process, a copy of this one at this moment, loads the file first and
// resolves the entry points; whatever the loader does to it, the host sees
// only its end (exit status, signal, or a time limit), and loads the file
// itself only after the child did so cleanly, ran the module's load and
// unload calls (with the host's module manager, as the host will) and closed
// it again. The child is the same process image with the same objects
// loaded, so the loader's work there is the work it does here.
bool trialLoad(std::string const& path, int flags, std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = "cannot load " + path + ": " + std::strerror(errno);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        // The loader's own complaints would read as the host's: the host
        // words the outcome itself.
        int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (quiet >= 0) dup2(quiet, STDERR_FILENO);
        void* h = dlopen(path.c_str(), flags);
        if (h == nullptr) {
            char const* why = dlerror();
            ssize_t ignored = write(fds[1], why, why != nullptr ? std::strlen(why) : 0);
            (void)ignored;
            _exit(1);
        }
        // Resolving runs through the file's symbol tables, the load and
        // unload calls through its relocations; what is missing the host
        // reports itself.
        auto entry = reinterpret_cast<EntryPoint>(dlsym(h, "GetInterfaceClass"));
        auto objects = reinterpret_cast<ObjectManagerEntry>(dlsym(h, "GetObjectManager"));
        if (objects != nullptr) (void)objects();
        if (entry != nullptr && ModMgr != nullptr && entry(ModMgr, 0) != nullptr) entry(nullptr, 0);
        dlclose(h);
        _exit(0);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        *error = "cannot load " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string said;
    bool timedOut = false;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTrialSeconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        char buf[512];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (said.size() < 4096) said.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (!timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (timedOut) {
        *error = "cannot load " + path + ": the loader did not finish with it in " + std::to_string(kTrialSeconds) +
                 " s (damaged file)";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 1 && !said.empty()) {
        *error = "cannot load " + said;
    } else if (WIFSIGNALED(status)) {
        *error = "cannot load " + path + ": damaged file (loading it ended in signal " +
                 std::to_string(WTERMSIG(status)) + ", " + strsignal(WTERMSIG(status)) + ")";
    } else {
        *error = "cannot load " + path + ": damaged file (the loader gave up on it with exit status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
    }
    return false;
}

// The folder's digest manifest: file name to SHA-256; false when it has none.
bool readManifest(std::string const& dir, std::map<std::string, std::string>* digests) {
    std::ifstream in(dir + "/" + kManifest);
    if (!in) return false;
    std::string digest, name;
    while (in >> digest >> name) (*digests)[name] = digest;
    return true;
}

// A module of a folder that has a digest manifest (the build's and the
// install's) is loaded only when it and every other file the manifest lists
// but the other modules (the libraries it loads) match their digests: no damaged file of such a
// folder ever reaches the loader. A module of a folder without one is loaded
// first in a trial (trialLoad). Files that passed are keyed as checkFile()
// keys them and not checked again while unchanged.
bool checkAndTry(std::string const& path, int flags, std::string* error) {
    std::string key;
    if (!checkFile(path, &key, error)) return false;
    if (passedBefore(key)) return true;
    std::string const dir = folderOf(path);
    std::map<std::string, std::string> digests;
    if (readManifest(dir, &digests)) {
        std::string const name = fileNameOf(path);
        if (digests.count(name) == 0) {
            *error = "cannot load " + path + ": not listed in " + dir + "/" + kManifest;
            return false;
        }
        std::vector<std::string> const others = standardModuleFiles();  // each checked when it is loaded
        for (auto const& [file, digest] : digests) {
            if (file != name && std::find(others.begin(), others.end(), file) != others.end()) continue;
            std::string const full = std::string(dir).append("/").append(file);
            struct stat st {};
            std::string const shared = file != name && stat(full.c_str(), &st) == 0 ? keyOf(st) : std::string();
            if (!shared.empty() && passedBefore(shared)) continue;
            if (sha256OfFile(full) != digest) {
                *error = "cannot load ";
                error->append(path).append(": ").append(file).append(" does not match its digest in ");
                error->append(kManifest).append(" (damaged or replaced)");
                return false;
            }
            if (!shared.empty()) passed(shared);
        }
    } else if (!trialLoad(path, flags, error)) {
        return false;
    }
    passed(key);
    return true;
}

bool isFile(std::string const& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool openModule(std::string const& path, int dlopenFlags, OpenedModule* out, std::string* error) {
    if (!checkAndTry(path, RTLD_NOW | dlopenFlags, error)) return false;
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
        m.name = fileNameOf(path);
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
    for (char const* rel : {"/" ZIP_HOST_MODULE_RELDIR, "/../lib/s_zip", "/../lib"}) {
        std::string candidate = dir + rel;
        if (isFile(candidate + "/libs_zip.so")) {
            char real[PATH_MAX];
            return realpath(candidate.c_str(), real) != nullptr ? std::string(real) : candidate;
        }
    }
    return {};
}
