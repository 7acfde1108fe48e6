#include "tbuf_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn_om_s.h"
#include "copy_bytes.h"
#include "s_tbuf.h"

namespace {

// Hold counts are guarded by the module's RefMutex, held for a scope.
struct HoldLock : CMN_ScopedLock<CMN_RecursiveMutex> {
    HoldLock() : CMN_ScopedLock<CMN_RecursiveMutex>(CMN_Reference::RefMutex) {}
};

// Closes a file descriptor on every path unless released.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(FileDescriptor const&) = delete;
    FileDescriptor& operator=(FileDescriptor const&) = delete;
    int get() const { return fd_; }
    // Closes now; false when closing reported an error.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Unlinks a temporary file unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(TemporaryFile const&) = delete;
    TemporaryFile& operator=(TemporaryFile const&) = delete;
    std::string const& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

std::atomic<unsigned int> temporaryCounter{0};

// Creates a new file beside `path`, mode 0666 less the umask; the name is
// unique to this process and call. -1 with errno on failure.
int createBeside(std::string const& path, std::string& made) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%u", static_cast<long>(::getpid()),
                      temporaryCounter.fetch_add(1, std::memory_order_relaxed));
        made = path + suffix;
        int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Storage for `n` bytes, all of which the caller writes next: large storage
// in a big block (big_block.h), whose pages are warm when it comes from the
// module's cache and are made resident at once otherwise; else malloc'd.
// Null when memory runs out.
unsigned char* allocate(size_t n, BigBlock& large) {
    large = BigBlock();
    if (n < kBigBlockFrom) return static_cast<unsigned char*>(std::malloc(n));
    large = takeBigBlock(n);
    prefaultBigBlock(large, n);  // every byte is written next
    return large.base;
}

void deallocate(unsigned char* storage, BigBlock large) {
    if (large.base != nullptr)
        giveBigBlock(large, 0);
    else
        std::free(storage);
}

bool writeAll(int fd, unsigned char const* p, size_t n) {
    while (n != 0) {
        ssize_t done = ::write(fd, p, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

TBufSelfHold::TBufSelfHold(TBufImpl* owner) : owner(owner), held(nullptr), moduleID(GetModuleID()) {}

// Cut loose by the object manager (with RefMutex and the buffer's holder-list
// lock held, both re-entered here). The holds end with the reference; the
// walk that calls this still holds the buffer, which dies once nothing else
// does. Nothing of the buffer is touched after the release.
void TBufSelfHold::replacePointee(CMN_GuardedRef*) {
    HoldLock lock;
    owner->holds = 0;
    owner->finished = true;
    CMN_GuardedRef* old = held;
    held = nullptr;
    if (old != nullptr) old->remReference(this);
}

TBufImpl::TBufImpl() : holds(0), finished(false), self(this), bytes(nullptr), size(0), large() {
    HoldLock lock;
    holds = 1;
    self.held = this;
    addReference(&self);
}

TBufImpl::~TBufImpl() { deallocate(bytes, large); }

unsigned int TBufImpl::fini() {
    HoldLock lock;
    finished = true;
    return 0;
}

int TBufImpl::acquire() {
    HoldLock lock;
    if (finished || holds == 0xFFFFFFFFu) return S_TBUF_HOLD_REFUSED;
    if (holds++ == 0) {
        self.held = this;
        addReference(&self);
    }
    return holds > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(holds);
}

// The reference on itself is given back under the lock: an acquire() on
// another thread sees either the hold or its absence, never half of either.
// The buffer may be destroyed by that release; nothing of it is touched after.
int TBufImpl::release() {
    HoldLock lock;
    if (holds == 0) return S_TBUF_NOT_HELD;
    unsigned int left = --holds;
    if (left == 0 && self.held != nullptr) {
        CMN_GuardedRef* g = self.held;
        self.held = nullptr;
        g->remReference(&self);
        return 0;
    }
    return left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left);
}

void TBufImpl::adopt(unsigned char* storage, BigBlock block, unsigned int n) {
    deallocate(bytes, large);
    bytes = storage;
    large = block;
    size = n;
}

int TBufImpl::assign(unsigned char const* p, size_t n) {
    if (p == nullptr && n != 0) return S_TBUF_BAD_ARGUMENT;
    if (n > S_TBUF_MAX_LEN) return S_TBUF_TOO_LARGE;
    if (n == 0) {
        adopt(nullptr, BigBlock(), 0);
        return S_TBUF_OK;
    }
    // New storage first: `p` may point into the old one.
    BigBlock block;
    unsigned char* storage = allocate(n + 1, block);
    if (storage == nullptr) return S_TBUF_NO_MEMORY;
    copyBytes(storage, p, n);
    storage[n] = 0;
    adopt(storage, block, static_cast<unsigned int>(n));
    return S_TBUF_OK;
}

int TBufImpl::set(char const* s) {
    if (s == nullptr) return S_TBUF_BAD_ARGUMENT;
    return assign(reinterpret_cast<unsigned char const*>(s), std::strlen(s));
}

int TBufImpl::set(unsigned char const* data, unsigned int n) { return assign(data, n); }

int TBufImpl::reservedSlot5() { return S_TBUF_NOT_SUPPORTED; }
int TBufImpl::reservedSlot9() { return S_TBUF_NOT_SUPPORTED; }

unsigned char* TBufImpl::datap() { return size != 0 ? bytes : nullptr; }
unsigned int TBufImpl::len() { return size; }

int TBufImpl::dup(TBuf* source) {
    if (source == nullptr) return S_TBUF_BAD_ARGUMENT;
    if (source == this) return S_TBUF_OK;
    return assign(source->datap(), source->len());
}

int TBufImpl::operator!=(TBuf* other) {
    if (other == nullptr) return 1;
    if (other == this) return 0;
    unsigned int n = other->len();
    if (n != size) return 1;
    if (n == 0) return 0;
    unsigned char const* theirs = other->datap();
    return theirs == nullptr || std::memcmp(theirs, bytes, n) != 0 ? 1 : 0;
}

int TBufImpl::load(char const* path) {
    if (path == nullptr || *path == '\0') return S_TBUF_BAD_ARGUMENT;
    FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT || errno == ENOTDIR ? S_TBUF_FILE_MISSING : S_TBUF_FILE_UNREADABLE;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return S_TBUF_FILE_UNREADABLE;
    if (static_cast<unsigned long long>(st.st_size) > S_TBUF_MAX_LEN) return S_TBUF_FILE_TOO_LARGE;
    size_t want = static_cast<size_t>(st.st_size);
    BigBlock large;
    unsigned char* block = allocate(want + 1, large);
    if (block == nullptr) return S_TBUF_NO_MEMORY;
    // The file as it was when opened: a file that shrinks meanwhile gives
    // fewer bytes, one that grows is read up to its size at opening.
    size_t got = 0;
    while (got < want) {
        ssize_t n = ::read(fd.get(), block + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            deallocate(block, large);
            return S_TBUF_FILE_UNREADABLE;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got == 0) {
        deallocate(block, large);
        adopt(nullptr, BigBlock(), 0);
        return S_TBUF_OK;
    }
    block[got] = 0;
    adopt(block, large, static_cast<unsigned int>(got));
    return S_TBUF_OK;
}

int TBufImpl::save(char const* path) {
    if (path == nullptr || *path == '\0') return S_TBUF_BAD_ARGUMENT;
    std::string target(path);
    std::string temporaryPath;
    int raw = createBeside(target, temporaryPath);
    if (raw < 0) return S_TBUF_FILE_UNWRITABLE;
    TemporaryFile temporary(temporaryPath);
    FileDescriptor fd(raw);
    if (!writeAll(fd.get(), bytes, size) || ::fsync(fd.get()) != 0 || !fd.close()) return S_TBUF_FILE_UNWRITABLE;
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) return S_TBUF_FILE_UNWRITABLE;
    temporary.keep();
    return S_TBUF_OK;
}

int TBufImpl::shift(unsigned int n) { return drop(n, true); }

int TBufImpl::retreat(unsigned int n) { return drop(n, false); }

int TBufImpl::drop(unsigned int n, bool fromFront) {
    if (n > size) return S_TBUF_OUT_OF_RANGE;
    if (n == 0) return S_TBUF_OK;
    if (n == size) {
        adopt(nullptr, BigBlock(), 0);
        return S_TBUF_OK;
    }
    size -= n;
    if (fromFront) std::memmove(bytes, bytes + n, size);
    bytes[size] = 0;
    return S_TBUF_OK;
}
