#include "host_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cmn_abuf.h"
#include "s_tbuf.h"

namespace {

// The temporary file being written, for the signal handlers: set while it
// exists, read by a handler only (plain char array, async-signal-safe).
char temporaryPath[PATH_MAX];
volatile sig_atomic_t haveTemporary = 0;

void onSignal(int sig) {
    if (haveTemporary) unlink(temporaryPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kRemovingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds back the signals that remove the temporary file for a scope; one
// that comes meanwhile is handled when the scope ends.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : kRemovingSignals) sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(SignalsHeld const&) = delete;
    SignalsHeld& operator=(SignalsHeld const&) = delete;

private:
    sigset_t before_;
};

std::string failure(std::string const& path, int err) { return "cannot write " + path + ": " + std::strerror(err); }

// Temporary files are named ".<OUT's name>.zip-host.<pid>.XXXXXX". Removes
// those in `dir` whose process no longer exists (a run killed outright).
void removeStaleTemporaries(std::string const& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        char const* tag = std::strstr(e->d_name, ".zip-host.");
        if (e->d_name[0] != '.' || tag == nullptr) continue;
        char* end = nullptr;
        long pid = std::strtol(tag + 10, &end, 10);
        if (pid <= 0 || end == nullptr || *end != '.' || std::strlen(end) != 7) continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

bool writeInPlace(std::string const& path, bool truncate, unsigned char const* data, size_t n, std::string* error) {
    // O_CREAT for a symbolic link whose target does not exist yet.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0666);
    if (fd < 0) {
        *error = failure(path, errno);
        return false;
    }
    bool ok = writeAll(fd, data, n);
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) *error = failure(path, err);
    return ok;
}

// `existing` is OUT's status when OUT exists, else null.
bool replace(std::string const& path, struct stat const* existing, unsigned char const* data, size_t n,
             std::string* error) {
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    removeStaleTemporaries(dir);
    std::string tmp = dir + "/." + base + ".zip-host." + std::to_string(getpid()) + ".XXXXXX";
    if (tmp.size() >= sizeof temporaryPath) {
        *error = failure(path, ENAMETOOLONG);
        return false;
    }
    std::memcpy(temporaryPath, tmp.c_str(), tmp.size() + 1);
    int fd = -1;
    {
        // A signal between creating the file and recording it would leave it.
        SignalsHeld held;
        fd = mkstemp(temporaryPath);
        if (fd >= 0) haveTemporary = 1;
    }
    if (fd < 0) {
        *error = failure(path, errno);
        return false;
    }
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
    bool ok = writeAll(fd, data, n);
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temporaryPath, path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temporaryPath);
        *error = failure(path, err);
    }
    haveTemporary = 0;
    return ok;
}

}  // namespace

bool isStdio(std::string const& name) { return name.empty() || name == "-"; }

PendingInput::~PendingInput() { std::free(block_); }

bool PendingInput::open(std::string const& in, std::string* error) {
    bool const stdio = isStdio(in);
    name_ = stdio ? "standard input" : in;
    int fd = stdio ? STDIN_FILENO : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + name_ + ": " + std::strerror(errno);
        return false;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() {
            if (fd > STDIN_FILENO) close(fd);
        }
    } closer{fd};
    std::string const tooLarge =
        "cannot read " + name_ + ": larger than a byte buffer can hold (" + std::to_string(S_TBUF_MAX_LEN) + " bytes)";
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<unsigned long long>(st.st_size) > S_TBUF_MAX_LEN) {
            *error = tooLarge;
            return false;
        }
        // Standard input that is a regular file is read whole through its
        // /proc name when it is at its start; otherwise (or without /proc)
        // from where it stands, as a stream below.
        if (!stdio) {
            loadPath_ = in;
            return true;
        }
        if (lseek(fd, 0, SEEK_CUR) == 0 && access("/proc/self/fd/0", R_OK) == 0) {
            loadPath_ = "/proc/self/fd/0";
            return true;
        }
    }
    size_t capacity = 0;
    for (;;) {
        if (size_ == capacity) {
            // Doubling: realloc moves large blocks by remapping, not copying.
            size_t const most = size_t(S_TBUF_MAX_LEN) + 1;  // one more byte tells "too long"
            size_t grown = capacity == 0 ? size_t(1) << 16 : capacity > most / 2 ? most : capacity * 2;
            auto* p = static_cast<unsigned char*>(std::realloc(block_, grown));
            if (p == nullptr) throw std::bad_alloc();
            block_ = p;
            capacity = grown;
        }
        ssize_t n = read(fd, block_ + size_, capacity - size_);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = "cannot read " + name_ + ": " + std::strerror(errno);
            return false;
        }
        if (size_ + static_cast<size_t>(n) > S_TBUF_MAX_LEN) {
            *error = tooLarge;
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
    std::string::size_type slash = path.rfind('/');
    if (path.empty() || slash == path.size() - 1) {
        *error = "cannot write " + path + ": not a file name";
        return false;
    }
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0) {
        if (errno != ENOENT) {
            *error = failure(path, errno);
            return false;
        }
        return replace(path, nullptr, data, n, error);
    }
    struct stat target {};
    if (stat(path.c_str(), &target) != 0) {
        if (errno == ENOENT && S_ISLNK(link.st_mode)) return writeInPlace(path, true, data, n, error);
        *error = failure(path, errno);
        return false;
    }
    if (S_ISDIR(target.st_mode)) {
        *error = failure(path, EISDIR);
        return false;
    }
    bool const regular = S_ISREG(target.st_mode);
    if (S_ISLNK(link.st_mode) || !regular || target.st_nlink > 1) return writeInPlace(path, regular, data, n, error);
    return replace(path, &target, data, n, error);
}

void removeTemporaryOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kRemovingSignals) sigaction(sig, &sa, nullptr);
}
