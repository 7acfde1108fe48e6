// zip-host: the reference host. Loads the byte-buffer, zlib and ZIP modules,
// compresses or restores a file through the ZIP service as client code does,
// or shows the modules' object registries, then unloads every module with the
// full unload protocol. Exit statuses: host_commands.h.

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "host_commands.h"
#include "host_files.h"

#ifndef ZIP_HOST_VERSION
#define ZIP_HOST_VERSION "0"
#endif

namespace {

char const kUsage[] =
    "usage: zip-host [OPTIONS] compress [IN [OUT]]\n"
    "       zip-host [OPTIONS] decompress [IN [OUT]]\n"
    "       zip-host [OPTIONS] inspect [--dot]\n"
    "       zip-host --help | --version\n"
    "\n"
    "Loads the byte-buffer, zlib and ZIP modules, runs the ZIP service as client\n"
    "code does, and unloads every module with the full unload protocol.\n"
    "\n"
    "commands:\n"
    "  compress          compress IN into OUT (passes it through when compression\n"
    "                    is off)\n"
    "  decompress        restore IN into OUT (passes through what is not\n"
    "                    compressed data)\n"
    "  inspect           print every module's object registry and the unload\n"
    "                    report; --dot prints the registries as Graphviz\n"
    "\n"
    "IN and OUT default to standard input and output; '-' names them too.\n"
    "A regular OUT (or the file a symbolic link names) is replaced in one\n"
    "rename, keeping its mode; a hard-linked OUT is written in place with its\n"
    "space reserved first; a device or FIFO is written as it is. A failed run,\n"
    "a full disk or a signal leaves OUT as it was, and no file zip-host did\n"
    "not create is ever removed. No input compresses to the empty zlib\n"
    "stream. '--' ends the options.\n"
    "Compression is on only when s_zip.ini in the configuration directory\n"
    "sets Compress = 1; otherwise compress passes the input through.\n"
    "\n"
    "options:\n"
    "  --config-dir DIR  configuration directory for this run\n"
    "                    (default: $S_INI_CONFIG_DIR, $XDG_CONFIG_HOME/s_zip,\n"
    "                    or $HOME/.config/s_zip)\n"
    "  --modules DIR     load the modules from DIR (default: the installed\n"
    "                    module folder, or ../lib beside the executable)\n"
    "  --verbose, -v     report each step of the unload protocol on stderr\n"
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
    "  4  output unwritable\n"
    "  5  modules not found, damaged or not the modules named\n"
    "  6  a module did not unload cleanly\n"
    "  7  out of memory\n"
    "\n"
    "See zip-host(1).\n";

int run(int argc, char** argv) {
    std::string configDir;
    std::string modulesDir;
    bool verbose = false;
    bool timing = false;
    bool options = true;  // until "--"
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool const inspectOption = a == "--dot" && !args.empty() && args[0] == "inspect";
        if (!options || a == "-" || a.empty() || a[0] != '-' || inspectOption) {
            args.push_back(a);
        } else if (a == "--") {
            options = false;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return EXIT_OK;
        } else if (a == "--version") {
            std::cout << "zip-host " << ZIP_HOST_VERSION << "\n";
            return EXIT_OK;
        } else if (a == "--config-dir" || a == "--modules") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                say(a + " needs a folder");
                return EXIT_USAGE;
            }
            (a == "--config-dir" ? configDir : modulesDir) = argv[++i];
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else if (a == "--timing") {
            timing = true;
        } else {
            say("unknown option " + a);
            std::cerr << kUsage;
            return EXIT_USAGE;
        }
    }
    if (args.empty()) {
        say("no command given");
        std::cerr << kUsage;
        return EXIT_USAGE;
    }
    if (!configDir.empty()) {
        // A mistyped folder must not quietly mean "compression off".
        struct stat st {};
        if (stat(configDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            say("--config-dir " + configDir + ": not a folder");
            return EXIT_USAGE;
        }
        setenv("S_INI_CONFIG_DIR", configDir.c_str(), 1);
    }

    std::string const& command = args[0];
    if ((command == "compress" || command == "decompress") && args.size() <= 3) {
        std::string in = args.size() > 1 ? args[1] : "-";
        std::string out = args.size() > 2 ? args[2] : "-";
        // An empty name is a mistake (an unset variable), not standard input.
        if (in.empty() || out.empty()) {
            say("an empty IN or OUT names no file; '-' names standard input or output");
            return EXIT_USAGE;
        }
        return runCodecCommand(command == "compress" ? CodecOp::Compress : CodecOp::Decompress, modulesDir, in, out,
                               verbose, timing);
    }
    if (command == "inspect" && (args.size() == 1 || (args.size() == 2 && args[1] == "--dot"))) {
        return runInspect(modulesDir, args.size() == 2);
    }
    say("bad command line");
    std::cerr << kUsage;
    return EXIT_USAGE;
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
