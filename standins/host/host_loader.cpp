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
#include <string>
#include <vector>

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

bool readAt(int fd, void* buf, size_t n, off_t at) { return pread(fd, buf, n, at) == static_cast<ssize_t>(n); }

bool within(unsigned long long offset, unsigned long long size, unsigned long long fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

#if defined(__x86_64__)
constexpr unsigned kMachine = EM_X86_64;
char const kMachineName[] = "x86-64";
#else
constexpr unsigned kMachine = EM_386;
char const kMachineName[] = "i386";
#endif

// The dynamic entries whose value is an address the loader reads through.
bool isAddressTag(long long tag) {
    switch (tag) {
        case DT_PLTGOT:
        case DT_HASH:
        case DT_STRTAB:
        case DT_SYMTAB:
        case DT_RELA:
        case DT_INIT:
        case DT_FINI:
        case DT_REL:
        case DT_JMPREL:
        case DT_INIT_ARRAY:
        case DT_FINI_ARRAY:
        case DT_GNU_HASH:
        case DT_VERSYM:
        case DT_VERDEF:
        case DT_VERNEED: return true;
        default: return false;
    }
}

// What checkElf() found wrong, or null when the headers are sound.
class ElfCheck {
public:
    ElfCheck(int fd, unsigned long long size) : fd_(fd), size_(size) {}

    char const* run() {
        ElfW(Ehdr) eh{};
        if (!readAt(fd_, &eh, sizeof eh, 0) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
            return "not a shared object (no ELF header)";
        unsigned char const wantClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
        if (eh.e_ident[EI_CLASS] != wantClass || eh.e_ident[EI_DATA] != ELFDATA2LSB)
            return sizeof(void*) == 8 ? "not a shared object for this process (not 64-bit little-endian ELF)"
                                      : "not a shared object for this process (not 32-bit little-endian ELF)";
        if (eh.e_machine != kMachine) {
            machine_ = std::string("built for another machine (ELF machine ") + std::to_string(eh.e_machine) +
                       "; this process is " + kMachineName + ")";
            return machine_.c_str();
        }
        if (eh.e_type != ET_DYN) return "not a shared object (ELF type is not ET_DYN)";
        if (eh.e_ident[EI_VERSION] != EV_CURRENT || eh.e_version != EV_CURRENT || eh.e_ehsize != sizeof eh ||
            eh.e_phentsize != sizeof(ElfW(Phdr)) || eh.e_phnum == 0 || eh.e_phnum >= PN_XNUM)
            return "damaged ELF header (version, header sizes or program header count)";
        if (!within(eh.e_phoff, 1ull * eh.e_phnum * sizeof(ElfW(Phdr)), size_) ||
            (eh.e_shoff != 0 && !within(eh.e_shoff, 1ull * eh.e_shnum * eh.e_shentsize, size_)))
            return "file truncated (header tables end past the end of the file)";
        phdrs_.resize(eh.e_phnum);
        if (!readAt(fd_, phdrs_.data(), phdrs_.size() * sizeof(ElfW(Phdr)), static_cast<off_t>(eh.e_phoff)))
            return "file truncated (header tables end past the end of the file)";
        if (char const* why = checkSegments()) return why;
        if (char const* why = checkSections(eh)) return why;
        return checkDynamic();
    }

private:
    // Loadable segments inside the file, sizes consistent, aligned, in
    // ascending order without overlap; exactly one dynamic segment.
    char const* checkSegments() {
        unsigned long long lastEnd = 0;
        int loads = 0;
        for (ElfW(Phdr) const& ph : phdrs_) {
            if (ph.p_type != PT_NULL && !within(ph.p_offset, ph.p_filesz, size_))
                return "file truncated (a segment ends past the end of the file)";
            if (ph.p_type == PT_DYNAMIC) {
                if (dynamic_ != nullptr) return "damaged program headers (more than one dynamic segment)";
                dynamic_ = &ph;
            }
            if (ph.p_type != PT_LOAD) continue;
            unsigned long long const align = ph.p_align;
            if (ph.p_filesz > ph.p_memsz || align < 4096 || (align & (align - 1)) != 0 ||
                (ph.p_vaddr - ph.p_offset) % align != 0 || ph.p_vaddr + ph.p_memsz < ph.p_vaddr || ph.p_vaddr < lastEnd)
                return "damaged program headers (a loadable segment's sizes, alignment or order)";
            lastEnd = ph.p_vaddr + ph.p_memsz;
            ++loads;
        }
        if (loads == 0) return "damaged program headers (no loadable segment)";
        if (dynamic_ == nullptr) return "damaged program headers (no dynamic segment)";
        return nullptr;
    }

    // Where the file still has its section headers, every section that is
    // meant to be in memory lies in a loadable segment.
    char const* checkSections(ElfW(Ehdr) const& eh) const {
        if (eh.e_shoff == 0 || eh.e_shnum == 0) return nullptr;
        if (eh.e_shentsize != sizeof(ElfW(Shdr))) return "damaged ELF header (section header size)";
        std::vector<ElfW(Shdr)> sections(eh.e_shnum);
        if (!readAt(fd_, sections.data(), sections.size() * sizeof(ElfW(Shdr)), static_cast<off_t>(eh.e_shoff)))
            return "file truncated (header tables end past the end of the file)";
        for (ElfW(Shdr) const& sh : sections)
            if ((sh.sh_flags & SHF_ALLOC) != 0 && sh.sh_size != 0 && segmentOf(sh.sh_addr, sh.sh_size) == nullptr)
                return "damaged program headers (a section of the image lies outside every loadable segment)";
        return nullptr;
    }

    // The loadable segment whose memory holds [addr, addr + len), or null.
    ElfW(Phdr) const* segmentOf(unsigned long long addr, unsigned long long len) const {
        for (ElfW(Phdr) const& ph : phdrs_)
            if (ph.p_type == PT_LOAD && addr >= ph.p_vaddr && len <= ph.p_memsz &&
                addr - ph.p_vaddr <= ph.p_memsz - len)
                return &ph;
        return nullptr;
    }
    bool mapped(unsigned long long addr, unsigned long long len) const { return segmentOf(addr, len) != nullptr; }
    bool mappedWith(unsigned long long addr, unsigned flag) const {
        ElfW(Phdr) const* ph = segmentOf(addr, 1);
        return ph != nullptr && (ph->p_flags & flag) != 0;
    }

    // The dynamic section lies in a loadable segment, ends with DT_NULL, and
    // every address the loader will read through points into the image.
    char const* checkDynamic() {
        if (!mapped(dynamic_->p_vaddr, dynamic_->p_filesz))
            return "damaged program headers (the dynamic segment lies outside the loaded image)";
        std::vector<ElfW(Dyn)> dyn(dynamic_->p_filesz / sizeof(ElfW(Dyn)));
        if (dyn.empty() ||
            !readAt(fd_, dyn.data(), dyn.size() * sizeof(ElfW(Dyn)), static_cast<off_t>(dynamic_->p_offset)))
            return "damaged dynamic section (empty)";
        bool ended = false;
        bool bindNow = false;
        unsigned long long pltgot = 0;
        unsigned long long init = 0;
        for (ElfW(Dyn) const& d : dyn) {
            if (d.d_tag == DT_NULL) {
                ended = true;
                break;
            }
            if (isAddressTag(d.d_tag) && !mapped(d.d_un.d_ptr, 1))
                return "damaged dynamic section (an address outside the loaded image)";
            if (d.d_tag == DT_PLTGOT) pltgot = d.d_un.d_ptr;
            if (d.d_tag == DT_INIT) init = d.d_un.d_ptr;
            if ((d.d_tag == DT_FLAGS && (d.d_un.d_val & DF_BIND_NOW)) ||
                (d.d_tag == DT_FLAGS_1 && (d.d_un.d_val & DF_1_NOW)))
                bindNow = true;
        }
        if (!ended) return "damaged dynamic section (no end marker)";
        return checkPermissions(bindNow, pltgot, init);
    }

    // The loader writes the dynamic section and the global offset table and
    // runs the initialiser: they must lie in writable and executable memory,
    // and the part made read-only after relocation (RELRO) must lie in one
    // writable segment and, where symbols bind lazily, end before the slots
    // that lazy binding writes (the table's first three slots are the
    // loader's own, filled before RELRO takes effect).
    char const* checkPermissions(bool bindNow, unsigned long long pltgot, unsigned long long init) const {
        if (!mappedWith(dynamic_->p_vaddr, PF_W) || (pltgot != 0 && !mappedWith(pltgot, PF_W)))
            return "damaged program headers (the dynamic section or offset table is not writable)";
        if (init != 0 && !mappedWith(init, PF_X)) return "damaged program headers (the initialiser is not executable)";
        for (ElfW(Phdr) const& ph : phdrs_) {
            if (ph.p_type != PT_GNU_RELRO) continue;
            ElfW(Phdr) const* load = segmentOf(ph.p_vaddr, ph.p_memsz);
            if (load == nullptr || (load->p_flags & PF_W) == 0 ||
                (!bindNow && pltgot != 0 && ph.p_vaddr + ph.p_memsz > pltgot + 3 * sizeof(void*)))
                return "damaged program headers (the read-only-after-relocation range)";
        }
        return nullptr;
    }

    int fd_;
    unsigned long long size_;
    std::vector<ElfW(Phdr)> phdrs_;
    ElfW(Phdr) const* dynamic_ = nullptr;
    std::string machine_;
};

// dlopen trusts a file's headers: it maps segments where they say, faults
// (SIGBUS) on pages past the end of a file shorter than they claim, and reads
// through the addresses of the dynamic section. Before dlopen, the loader
// checks as much of that as a loader reasonably can: an ELF shared object of
// this process's class, byte order and machine; header tables and segments
// inside the file; loadable segments consistent; a dynamic section inside the
// image whose addresses point into it. The message names what is wrong.
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
    ElfCheck check(fd, static_cast<unsigned long long>(st.st_size));
    if (char const* why = check.run()) {
        *error = "cannot load " + path + ": " + why;
        return false;
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
    for (char const* rel : {"/" ZIP_HOST_MODULE_RELDIR, "/../lib/s_zip", "/../lib"}) {
        std::string candidate = dir + rel;
        if (isFile(candidate + "/libs_zip.so")) {
            char real[PATH_MAX];
            return realpath(candidate.c_str(), real) != nullptr ? std::string(real) : candidate;
        }
    }
    return {};
}
