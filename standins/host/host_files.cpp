#include "host_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool isStdio(std::string const& name) { return name.empty() || name == "-"; }

bool readAll(int fd, std::vector<unsigned char>* data) {
    unsigned char chunk[1 << 16];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data->insert(data->end(), chunk, chunk + n);
    }
}

bool writeAll(int fd, std::vector<unsigned char> const& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool AtomicOutput::open(std::string const& path, std::string* error) {
    path_ = path;
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) {
        *error = "cannot write " + path + ": not a file name";
        return false;
    }
    tmp_ = dir + "/." + base + ".zip-host.XXXXXX";
    fd_ = mkstemp(&tmp_[0]);
    if (fd_ < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        tmp_.clear();
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    return true;
}

bool AtomicOutput::commit(std::vector<unsigned char> const& data, std::string* error) {
    if (!writeAll(fd_, data) || close(fd_) != 0) {
        fd_ = -1;
        *error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    fd_ = -1;
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = "cannot write " + path_ + ": " + std::strerror(EISDIR);
        return false;
    }
    if (rename(tmp_.c_str(), path_.c_str()) != 0) {
        *error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    tmp_.clear();
    return true;
}

AtomicOutput::~AtomicOutput() {
    if (fd_ >= 0) close(fd_);
    if (!tmp_.empty()) unlink(tmp_.c_str());
}
