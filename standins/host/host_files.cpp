#include "host_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cmn_abuf.h"
#include "host_paths.h"
#include "s_tbuf.h"

namespace {

// A named temporary file being written, for the signal handlers: set while
// it exists, read by a handler only (plain char array, async-signal-safe).
// Only the process that created it ever removes it.
char temporaryPath[PATH_MAX];
volatile sig_atomic_t haveTemporary = 0;

void onSignal(int sig) {
    if (haveTemporary) unlink(temporaryPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Every signal whose default action ends the process and that another process
// (or a limit) can send while the output is written. SIGPIPE and SIGXFSZ are
// ignored by zip-host (write errors); they are here for a host that does not.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                                  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGPIPE};

// Holds back the ending signals for a scope; one that comes meanwhile is
// handled when the scope ends. Used where a file has a name that must not
// outlive the scope, and while an in-place OUT is overwritten.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : kEndingSignals) sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(SignalsHeld const&) = delete;
    SignalsHeld& operator=(SignalsHeld const&) = delete;

private:
    sigset_t before_;
};

std::string failure(std::string const& path, int err) { return "cannot write " + path + ": " + std::strerror(err); }

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

bool pwriteAll(int fd, unsigned char const* data, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = pwrite(fd, data + done, n - done, at + static_cast<off_t>(done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

// A fresh name for a temporary in `dir`: short, so that any legal OUT name
// works beside it, and not derived from OUT's.
std::string temporaryName(std::string const& dir) {
    static unsigned counter = 0;
    char tag[32];
    unsigned long long mix =
        (static_cast<unsigned long long>(getpid()) << 32) ^
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (++counter * 0x9E3779B97F4A7C15ull);
    std::snprintf(tag, sizeof tag, ".zip-host.%08llx", (mix ^ (mix >> 29)) & 0xFFFFFFFFull);
    return dir + "/" + tag;
}

// Gives the file open as `fd` (made with O_TMPFILE) the name `name`.
int linkUnnamed(int fd, std::string const& name) {
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    int err = errno;
    if (err != ENOENT) return err;
    return linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// The mode and owner OUT had (`existing`), or a new file's mode.
void giveMode(int fd, struct stat const* existing) {
    if (existing != nullptr) {
        // The owner first: changing it may clear set-id bits the mode restores.
        // Where that is not permitted, the file stays ours.
        if (fchown(fd, existing->st_uid, existing->st_gid) != 0) errno = 0;
        fchmod(fd, existing->st_mode & 07777);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }
}

// Writes a new file and puts it in place of `path` (its status `existing`,
// null when it does not exist) in one rename, so `path` names the old
// content or the new, never a part of either.
//
// The file is made unnamed (O_TMPFILE) where the file system allows: killed
// by any signal, the process leaves nothing, and the file has a name only
// from the link to the rename, with the ending signals held. Elsewhere it is
// a named temporary that only this process removes (on failure, or from the
// signal handler).
// Messages name `shown`.
bool replace(std::string const& path, std::string const& shown, struct stat const* existing, unsigned char const* data,
             size_t n, std::string* error) {
    std::string const dir = folderOf(path);
    bool unnamed = false;
    int fd = -1;
    if (access("/proc/self/fd", X_OK) == 0) {
        fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        unnamed = fd >= 0;
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            *error = failure(shown, errno);
            return false;
        }
    }
    if (!unnamed) {
        // A signal between creating the file and recording it would leave it.
        SignalsHeld held;
        for (int tries = 0; fd < 0 && tries < 100; ++tries) {
            std::string name = temporaryName(dir);
            if (name.size() >= sizeof temporaryPath) {
                errno = ENAMETOOLONG;
                break;
            }
            fd = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOCTTY | O_CLOEXEC, 0600);
            if (fd >= 0) {
                std::memcpy(temporaryPath, name.c_str(), name.size() + 1);
                haveTemporary = 1;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (fd < 0) {
            *error = failure(shown, errno);
            return false;
        }
    }
    FdCloser closer{fd};
    giveMode(fd, existing);
    int err = writeAll(fd, data, n) ? 0 : errno;
    if (err == 0) {
        SignalsHeld held;
        if (unnamed) {
            // Where OUT does not exist, the file takes its name directly.
            err = existing == nullptr ? linkUnnamed(fd, path) : EEXIST;
            if (err == EEXIST) {
                for (int tries = 0; tries < 100; ++tries) {
                    std::string name = temporaryName(dir);
                    err = linkUnnamed(fd, name);
                    if (err == 0) {
                        std::memcpy(temporaryPath, name.c_str(), name.size() + 1);
                        haveTemporary = 1;
                    }
                    if (err != EEXIST) break;
                }
                if (err == 0 && rename(temporaryPath, path.c_str()) != 0) err = errno;
            }
        } else if (rename(temporaryPath, path.c_str()) != 0) {
            err = errno;
        }
        if (err != 0 && haveTemporary) unlink(temporaryPath);
        haveTemporary = 0;
    }
    if (!unnamed && haveTemporary) {
        SignalsHeld held;
        unlink(temporaryPath);
        haveTemporary = 0;
    }
    closer.fd = -1;
    if (close(fd) != 0 && err == 0) err = errno;  // the name is given: only a report
    if (err != 0) *error = failure(shown, err);
    return err == 0;
}

// Overwrites the regular file open as `fd` with the output, keeping the file
// (its other names, the links to it) what it is. Writers to one file take
// turns (flock), so it always holds one writer's whole output. The space is
// reserved before the old content is touched, so a full file system leaves
// it as it was; the old content is then overwritten with the ending signals
// held, and cut to the new length last.
int overwriteRegular(int fd, unsigned char const* data, size_t n) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return errno;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) return errno;
    off_t const old = st.st_size;
    size_t covered = n;  // bytes of the output that overwrite old content
    if (n > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(n)) != 0) {
        int err = errno;
        if (err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) {
            if (ftruncate(fd, old) != 0) errno = 0;  // gives back what was reserved
            return err;
        }
        // No reservation here: the part past the old end is written first.
        if (static_cast<unsigned long long>(n) > static_cast<unsigned long long>(old)) {
            covered = static_cast<size_t>(old);
            if (!pwriteAll(fd, data + covered, n - covered, old)) {
                err = errno;
                if (ftruncate(fd, old) != 0) errno = 0;
                return err;
            }
        }
    }
    SignalsHeld held;
    if (!pwriteAll(fd, data, covered, 0)) return errno;
    if (ftruncate(fd, static_cast<off_t>(n)) != 0) return errno;
    return 0;
}

// Writes the file at `path` in place (`st`: its status); messages name `shown`.
bool writeInPlace(std::string const& path, std::string const& shown, struct stat const& st, unsigned char const* data,
                  size_t n, std::string* error) {
    bool const regular = S_ISREG(st.st_mode);
    int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = failure(shown, errno);
        return false;
    }
    FdCloser closer{fd};
    int err = regular ? overwriteRegular(fd, data, n) : writeAll(fd, data, n) ? 0 : errno;
    closer.fd = -1;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err != 0) *error = failure(shown, err);
    return err == 0;
}

// Follows symbolic links from `path` to the name that is none: an existing
// file (its status in `st`) or a name not yet taken (`*exists` false).
bool followLinks(std::string path, std::string* out, struct stat* st, bool* exists) {
    for (int hops = 0; hops < 40; ++hops) {
        if (lstat(path.c_str(), st) != 0) {
            if (errno != ENOENT) return false;
            *exists = false;
            *out = path;
            return true;
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = true;
            *out = path;
            return true;
        }
        char target[PATH_MAX];
        ssize_t k = readlink(path.c_str(), target, sizeof target - 1);
        if (k < 0) return false;
        target[k] = '\0';
        path = target[0] == '/' ? std::string(target) : folderOf(path) + "/" + target;
    }
    errno = ELOOP;
    return false;
}

}  // namespace

bool isStdio(std::string const& name) { return name.empty() || name == "-"; }

PendingInput::~PendingInput() {
    std::free(block_);
    if (fd_ > STDIN_FILENO) close(fd_);
}

bool PendingInput::open(std::string const& in, std::string* error) {
    bool const stdio = isStdio(in);
    name_ = stdio ? "standard input" : in;
    path_ = stdio ? "-" : in;
    // A FIFO waits here for its writer, as a reader of a FIFO does.
    fd_ = stdio ? STDIN_FILENO : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        *error = "cannot read " + name_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PendingInput::read(size_t limit, std::string const& tooLarge, std::string* error) {
    bool const stdio = path_ == "-";
    std::string const refused = "cannot read " + name_ + ": " + tooLarge;
    struct stat st {};
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<unsigned long long>(st.st_size) > limit) {
            *error = refused;
            return false;
        }
        // Standard input that is a regular file is read whole through its
        // /proc name when it is at its start; otherwise (or without /proc)
        // from where it stands, as a stream below.
        if (!stdio) {
            loadPath_ = path_;
            return true;
        }
        if (lseek(fd_, 0, SEEK_CUR) == 0 && access("/proc/self/fd/0", R_OK) == 0) {
            loadPath_ = "/proc/self/fd/0";
            return true;
        }
    }
    size_t capacity = 0;
    for (;;) {
        if (size_ == capacity) {
            // Doubling: realloc moves large blocks by remapping, not copying.
            size_t const most = limit + 1;  // one more byte tells "too long"
            size_t grown = capacity == 0 ? size_t(1) << 16 : capacity > most / 2 ? most : capacity * 2;
            auto* p = static_cast<unsigned char*>(std::realloc(block_, grown));
            if (p == nullptr) throw std::bad_alloc();
            block_ = p;
            capacity = grown;
        }
        ssize_t n = ::read(fd_, block_ + size_, capacity - size_);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = "cannot read " + name_ + ": " + std::strerror(errno);
            return false;
        }
        if (size_ + static_cast<size_t>(n) > limit) {
            *error = refused;
            return false;
        }
        size_ += static_cast<size_t>(n);
    }
}

TBuf* PendingInput::intoBuffer(std::string* error, bool* noMemory) {
    *noMemory = false;
    TBuf* buf = createTBuf();
    if (buf == nullptr) {
        *error = "the byte-buffer service is unreachable or made no buffer";
        return nullptr;
    }
    int code = S_TBUF_OK;
    if (!loadPath_.empty()) {
        code = buf->load(loadPath_.c_str());
    } else if (size_ > 0) {
        code = buf->set(block_, static_cast<unsigned int>(size_));
        std::free(block_);
        block_ = nullptr;
    }
    if (code == S_TBUF_OK) return buf;
    buf->release();
    *noMemory = code == S_TBUF_NO_MEMORY;
    *error = "cannot read " + name_ + ": " +
             (*noMemory                       ? "out of memory"
              : code == S_TBUF_FILE_TOO_LARGE ? "larger than a byte buffer can hold"
                                              : "the byte-buffer service could not read it") +
             " (" + std::to_string(code) + ")";
    return nullptr;
}

bool writeAll(int fd, unsigned char const* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool writeOutput(std::string const& path, unsigned char const* data, size_t n, std::string* error) {
    if (path.empty() || path.back() == '/') {
        *error = "cannot write " + path + ": not a file name";
        return false;
    }
    std::string file;
    struct stat st {};
    bool exists = false;
    if (!followLinks(path, &file, &st, &exists)) {
        *error = failure(path, errno);
        return false;
    }
    if (!exists) return replace(file, path, nullptr, data, n, error);
    if (S_ISDIR(st.st_mode)) {
        *error = failure(path, EISDIR);
        return false;
    }
    // A regular file with one name is replaced, in the folder of that name
    // (a symbolic link to it stays); anything else is written in place.
    if (S_ISREG(st.st_mode) && st.st_nlink == 1) return replace(file, path, &st, data, n, error);
    return writeInPlace(file, path, st, data, n, error);
}

void removeTemporaryOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kEndingSignals) {
        // A signal the caller ignores stays ignored.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}
