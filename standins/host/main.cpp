// zip-host: the reference host. Loads the byte-buffer, zlib and ZIP modules,
// compresses or restores a file through the ZIP service as client code does,
// or shows the modules' object registries, then unloads every module with the
// full unload protocol.
//
// Exit status: 0 success; 1 the ZIP service reported a failure; 2 bad command
// line; 3 unreadable input; 4 unwritable output; 5 modules could not be
// loaded; 6 a module would not unload cleanly. A failed run leaves no output
// file behind and never touches the input.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "standins/host/host_codec.h"
#include "standins/host/host_modules.h"
#include "standins/host/registry_dump.h"
#include "stubs/cmn_abuf.h"
#include "stubs/zipC.h"

#ifndef ZIP_HOST_VERSION
#define ZIP_HOST_VERSION "0"
#endif

namespace {

enum ExitStatus {
    EXIT_OK = 0,
    EXIT_SERVICE_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_INPUT = 3,
    EXIT_OUTPUT = 4,
    EXIT_MODULES = 5,
    EXIT_UNLOAD = 6,
};

char const kUsage[] =
    "usage: zip-host [OPTIONS] compress [IN [OUT]]\n"
    "       zip-host [OPTIONS] decompress [IN [OUT]]\n"
    "       zip-host [OPTIONS] inspect [--dot]\n"
    "\n"
    "IN and OUT default to standard input and output; '-' names them too.\n"
    "OUT is replaced atomically; a failed run leaves no partial OUT.\n"
    "Compression is on only when s_zip.ini in the configuration directory\n"
    "sets Compress = 1; otherwise compress passes the input through.\n"
    "\n"
    "options:\n"
    "  --config-dir DIR  configuration directory for this run\n"
    "                    (default: $S_INI_CONFIG_DIR, $XDG_CONFIG_HOME/s_zip,\n"
    "                    or $HOME/.config/s_zip)\n"
    "  --modules DIR     load the modules from DIR (default: ../lib/s_zip or\n"
    "                    ../lib beside the executable)\n"
    "  --verbose         report each step of the unload protocol on stderr\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "exit status: 0 ok, 1 service failure, 2 usage, 3 unreadable input,\n"
    "4 unwritable output, 5 modules not loadable, 6 unclean unload\n";

void say(std::string const& message) { std::cerr << "zip-host: " << message << "\n"; }

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

bool isStdio(std::string const& name) { return name.empty() || name == "-"; }

// An output file written under a temporary name in OUT's folder and renamed
// over OUT only by commit(); destroyed uncommitted, it leaves nothing.
class AtomicOutput {
public:
    bool open(std::string const& path, std::string* error) {
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

    bool commit(std::vector<unsigned char> const& data, std::string* error) {
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

    ~AtomicOutput() {
        if (fd_ >= 0) close(fd_);
        if (!tmp_.empty()) unlink(tmp_.c_str());
    }

private:
    std::string path_;
    std::string tmp_;
    int fd_ = -1;
};

void printUnloadReport(std::vector<UnloadStep> const& steps, std::ostream& out) {
    for (UnloadStep const& s : steps) {
        out << "unload " << s.name << ": " << s.objectsAfterUnloadCall << " object(s) after the unload call; "
            << (s.usedByOthers ? "still used by other modules, holders cut loose" : "not used by other modules")
            << "; " << s.objectsAfterFini << " object(s) left before dlclose; dlclose "
            << (s.dlcloseOk ? "ok" : "FAILED: " + s.dlcloseError) << "; "
            << (s.stillMapped ? "STILL MAPPED" : "gone from the process") << "\n";
    }
}

bool unloadClean(std::vector<UnloadStep> const& steps) {
    for (UnloadStep const& s : steps) {
        if (!s.ok()) return false;
    }
    return true;
}

// Drops the host's own binding of the byte-buffer service, then unloads.
int finish(HostModules& modules, int status, bool verbose) {
    x509cmn_fini();
    std::vector<UnloadStep> steps = modules.unloadAll();
    if (verbose) printUnloadReport(steps, std::cerr);
    if (!unloadClean(steps)) {
        for (UnloadStep const& s : steps) {
            if (!s.ok()) say("module " + s.name + " did not unload cleanly");
        }
        if (status == EXIT_OK) status = EXIT_UNLOAD;
    }
    return status;
}

bool loadModules(HostModules& modules, std::string dir) {
    if (dir.empty()) dir = defaultModuleDir();
    if (dir.empty()) {
        say("cannot find the modules beside the executable (../lib/s_zip or ../lib); use --modules DIR");
        return false;
    }
    std::string error;
    if (!modules.loadStandardSet(dir, &error)) {
        say(error);
        return false;
    }
    return true;
}

int runCodecCommand(CodecOp op, std::string const& modulesDir, std::string const& in, std::string const& out,
                    bool verbose) {
    std::vector<unsigned char> input;
    std::string inName = isStdio(in) ? "standard input" : in;
    int fd = isStdio(in) ? STDIN_FILENO : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !readAll(fd, &input)) {
        say("cannot read " + inName + ": " + std::strerror(errno));
        if (fd > STDIN_FILENO) close(fd);
        return EXIT_INPUT;
    }
    if (fd > STDIN_FILENO) close(fd);

    AtomicOutput file;
    std::string error;
    if (!isStdio(out) && !file.open(out, &error)) {
        say(error);
        return EXIT_OUTPUT;
    }

    HostModules modules;
    if (!loadModules(modules, modulesDir)) return finish(modules, EXIT_MODULES, verbose);

    CodecResult r = runCodec(op, input);
    if (!r.ok) {
        say(std::string(op == CodecOp::Compress ? "compress" : "decompress") + " failed: " + r.message);
        return finish(modules, EXIT_SERVICE_FAILED, verbose);
    }
    if (r.passedThrough && !input.empty()) {
        say(op == CodecOp::Compress ? "compression is off: input passed through unchanged"
                                    : "input is not compressed data: passed through unchanged");
    }
    int status = EXIT_OK;
    if (isStdio(out)) {
        if (!writeAll(STDOUT_FILENO, r.output)) {
            say(std::string("cannot write standard output: ") + std::strerror(errno));
            status = EXIT_OUTPUT;
        }
    } else if (!file.commit(r.output, &error)) {
        say(error);
        status = EXIT_OUTPUT;
    }
    return finish(modules, status, verbose);
}

int runInspect(std::string const& modulesDir, bool dot) {
    HostModules modules;
    if (!loadModules(modules, modulesDir)) return finish(modules, EXIT_MODULES, false);
    std::ostream& out = std::cout;
    {
        static char const text[] = "a byte buffer the host holds while it inspects";
        TBuf* buf = createTBuf(text);
        {
            TZipBuffer zip(buf);
            unsigned int code = zip.ZipTBuf();
            if (dot) {
                dumpRegistriesDot(modules, out);
            } else {
                out << "== while the host holds a byte buffer and a zip buffer (ZipTBuf: "
                    << resultCodeName(code) << ")\n";
                dumpRegistries(modules, out);
            }
        }
        if (buf != nullptr) buf->release();
    }
    x509cmn_fini();
    if (!dot) {
        out << "== after the host let go of its stubs\n";
        dumpRegistries(modules, out);
        out << "== unload protocol, newest module first\n";
    }
    std::vector<UnloadStep> steps = modules.unloadAll();
    if (!dot) {
        printUnloadReport(steps, out);
        out << "== modules still loaded: " << modules.moduleCount() << "\n";
    }
    if (!unloadClean(steps)) {
        say("a module did not unload cleanly");
        return EXIT_UNLOAD;
    }
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed output pipe is an output error
    std::string configDir;
    std::string modulesDir;
    bool verbose = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return EXIT_OK;
        }
        if (a == "--version") {
            std::cout << "zip-host " << ZIP_HOST_VERSION << "\n";
            return EXIT_OK;
        }
        if (a == "--config-dir" || a == "--modules") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                say(a + " needs a folder");
                return EXIT_USAGE;
            }
            (a == "--config-dir" ? configDir : modulesDir) = argv[++i];
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else if (a.size() > 1 && a[0] == '-') {
            if (!args.empty() && args[0] == "inspect" && a == "--dot") {
                args.push_back(a);
                continue;
            }
            say("unknown option " + a);
            std::cerr << kUsage;
            return EXIT_USAGE;
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) {
        say("no command given");
        std::cerr << kUsage;
        return EXIT_USAGE;
    }
    if (!configDir.empty()) setenv("S_INI_CONFIG_DIR", configDir.c_str(), 1);

    std::string const& command = args[0];
    if ((command == "compress" || command == "decompress") && args.size() <= 3) {
        std::string in = args.size() > 1 ? args[1] : "-";
        std::string out = args.size() > 2 ? args[2] : "-";
        return runCodecCommand(command == "compress" ? CodecOp::Compress : CodecOp::Decompress, modulesDir, in,
                               out, verbose);
    }
    if (command == "inspect" && (args.size() == 1 || (args.size() == 2 && args[1] == "--dot"))) {
        return runInspect(modulesDir, args.size() == 2);
    }
    say("bad command line");
    std::cerr << kUsage;
    return EXIT_USAGE;
}
