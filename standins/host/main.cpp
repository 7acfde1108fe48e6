// zip-host: the reference host. Loads the byte-buffer, zlib and ZIP modules,
// compresses or restores a file through the ZIP service as client code does,
// or shows the modules' object registries, then unloads every module with the
// full unload protocol. Exit statuses: host_commands.h.

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "host_cli.h"
#include "host_commands.h"
#include "host_files.h"
#include "private_switch.h"

#ifndef ZIP_HOST_VERSION
#define ZIP_HOST_VERSION "0"
#endif

namespace {

char const kUsage[] =
    "usage: zip-host [OPTIONS] compress [IN [OUT]]\n"
    "       zip-host [OPTIONS] decompress [IN [OUT]]\n"
    "       zip-host [OPTIONS] [-z | -d | -t] [IN [OUT]]\n"
    "       zip-host [OPTIONS] inspect [--dot]\n"
    "       zip-host --help | --version\n"
    "\n"
    "Loads the byte-buffer, zlib and ZIP modules, runs the ZIP service as client\n"
    "code does, and unloads every module with the full unload protocol.\n"
    "\n"
    "commands:\n"
    "  compress, -z      compress IN into OUT (the default; passes the input\n"
    "                    through when compression is off)\n"
    "  decompress, -d    restore IN into OUT (passes through what is not\n"
    "                    compressed data)\n"
    "  -t                test: restore IN and write nothing; fails unless IN is\n"
    "                    a compressed stream\n"
    "  inspect           print every module's object registry and the unload\n"
    "                    report; --dot prints the registries as Graphviz\n"
    "\n"
    "IN defaults to standard input; '-' names it too. OUT defaults to IN.zz\n"
    "when compressing a file, to IN without its .zz when restoring one, and\n"
    "to standard output for standard input or with -c. An existing OUT is\n"
    "replaced only with -f: a regular OUT (or the file a symbolic link names)\n"
    "in one rename, keeping its mode; a hard-linked OUT in place, its space\n"
    "reserved first; a device or FIFO as it is. A failed run, a full disk or\n"
    "a signal leaves OUT as it was; IN, and any file zip-host did not create,\n"
    "is never removed. No input compresses to the empty zlib stream. '--'\n"
    "ends the options.\n"
    "Compression is on only when s_zip.ini in the configuration directory\n"
    "sets Compress = 1 (see s_zip.ini(5)), or with --on.\n"
    "\n"
    "options:\n"
    "  --stdout, -c      write to standard output\n"
    "  --force, -f       replace an existing OUT; write compressed data to a\n"
    "                    terminal\n"
    "  --keep, -k        accepted for gzip's users: IN is never removed\n"
    "  --on              switch compression on for this run only\n"
    "  --strict          a pass-through (compression off, or input to restore\n"
    "                    that is not compressed) is an error (exit status 8)\n"
    "  --config-dir DIR  configuration directory for this run\n"
    "                    (default: $S_INI_CONFIG_DIR, $XDG_CONFIG_HOME/s_zip,\n"
    "                    or $HOME/.config/s_zip)\n"
    "  --modules DIR     load the modules from DIR (default: the installed\n"
    "                    module folder, or ../lib beside the executable)\n"
    "  --verbose, -v     report the sizes and the ratio, and each step of the\n"
    "                    unload protocol, on stderr\n"
    "  --timing          report the time spent in the service's ZipTBuf or\n"
    "                    UnzipTBuf call, and its rate, on stderr\n"
    "  --help, -h        show this text\n"
    "  --version         show the version\n"
    "\n"
    "exit status:\n"
    "  0  success\n"
    "  1  the service failed (its result code is named on stderr)\n"
    "  2  usage error, or an invalid S_ZLIB_MAX_OUTPUT (1 to 4294967294)\n"
    "  3  input unreadable or too large\n"
    "  4  output unwritable, or an existing OUT without -f\n"
    "  5  modules not found, damaged or not the modules named\n"
    "  6  a module did not unload cleanly\n"
    "  7  out of memory\n"
    "  8  passed through with --strict, or -t on input that is not a\n"
    "     compressed stream\n"
    "\n"
    "See zip-host(1) and s_zip.ini(5).\n";

int usageError(std::string const& message) {
    say(message);
    std::cerr << "Try 'zip-host --help' for more information.\n";
    return EXIT_USAGE;
}

// What must hold before anything is loaded or read: a configuration folder
// that exists, no terminal for compressed data, no existing OUT to replace
// without -f. 0 when the run may go on, else its exit status.
int refuseBeforeWork(HostRequest const& r) {
    if (!r.configDir.empty()) {
        // A mistyped folder must not quietly mean "compression off".
        struct stat st {};
        if (stat(r.configDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return usageError("--config-dir " + r.configDir + ": not a folder");
    }
    struct stat st {};
    // Without a command word, IN is a file: a word that names neither is
    // most likely a command misspelled.
    if (!r.modeNamed && r.in != "-" && stat(r.in.c_str(), &st) != 0 && r.in.find_first_of("/.") == std::string::npos)
        return usageError("'" + r.in + "' is neither a command (compress, decompress, inspect) nor a file");
    bool const writes = r.mode == HostMode::Compress || r.mode == HostMode::Decompress;
    if (!writes || r.force) return 0;
    if (r.out == "-") {
        if (r.mode == HostMode::Compress && isatty(STDOUT_FILENO))
            return usageError(
                "compressed data not written to a terminal; use -f to force it, or -c with a redirection");
        return 0;
    }
    if (stat(r.out.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        say(r.out + " already exists; use -f to replace it");
        return EXIT_OUTPUT;
    }
    return 0;
}

int run(int argc, char** argv) {
    HostRequest request;
    std::string error;
    if (!parseCommandLine(argc, argv, request, error)) return usageError(error);
    if (request.mode == HostMode::Help) {
        std::cout << kUsage;
        return EXIT_OK;
    }
    if (request.mode == HostMode::Version) {
        std::cout << "zip-host " << ZIP_HOST_VERSION << "\n";
        return EXIT_OK;
    }
    if (int refused = refuseBeforeWork(request)) return refused;
    if (!request.configDir.empty()) setenv("S_INI_CONFIG_DIR", request.configDir.c_str(), 1);
    PrivateSwitchFile on;
    if (request.switchOn) {
        if (!on.switchOn(&error)) {
            say(error);
            return EXIT_OUTPUT;
        }
    }
    if (request.mode == HostMode::Inspect) return runInspect(request.modulesDir, request.dot);
    return runCodecCommand(request);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed output pipe and the file-size limit are output errors, reported
    // with OUT left as it was, not a death halfway through a write.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    removeTemporaryOnSignals();
    try {
        return run(argc, argv);
    } catch (std::bad_alloc const&) {
        // Whatever was built is torn down on the way out; OUT is untouched.
        say("out of memory");
        return EXIT_NO_MEMORY;
    }
}
