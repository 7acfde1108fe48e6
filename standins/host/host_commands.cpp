#include "host_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "cmn_abuf.h"
#include "host_files.h"
#include "host_modules.h"
#include "registry_dump.h"
#include "zipC.h"

void say(std::string const& message) { std::cerr << "zip-host: " << message << "\n"; }

namespace {

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

}  // namespace

int runCodecCommand(CodecOp op, std::string const& modulesDir, std::string const& in, std::string const& out,
                    bool verbose, bool timing) {
    std::vector<unsigned char> input;
    std::string error;
    int fd = isStdio(in) ? STDIN_FILENO : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        say("cannot read " + in + ": " + std::strerror(errno));
        return EXIT_INPUT;
    }
    bool const read = readInput(fd, isStdio(in) ? "standard input" : in, &input, &error);
    if (fd > STDIN_FILENO) close(fd);
    if (!read) {
        say(error);
        return EXIT_INPUT;
    }

    HostModules modules;
    if (!loadModules(modules, modulesDir)) return finish(modules, EXIT_MODULES, verbose);

    CodecResult r = runCodec(op, input);
    if (!r.ok) {
        say(std::string(op == CodecOp::Compress ? "compress" : "decompress") + " failed: " + r.message);
        return finish(modules, EXIT_SERVICE_FAILED, verbose);
    }
    if (timing) {
        // The rate counts the uncompressed side, as throughput usually does.
        char line[160];
        double const seconds = r.serviceSeconds > 1e-9 ? r.serviceSeconds : 1e-9;
        std::size_t const plain = op == CodecOp::Compress ? input.size() : r.output.size();
        std::snprintf(line, sizeof line, "service: %s %zu -> %zu bytes in %.3f ms, %.1f MB/s",
                      op == CodecOp::Compress ? "ZipTBuf" : "UnzipTBuf", input.size(), r.output.size(),
                      r.serviceSeconds * 1e3, static_cast<double>(plain) / 1e6 / seconds);
        say(line);
    }
    if (r.passedThrough && !input.empty()) {
        say(op == CodecOp::Compress ? "compression is off: input passed through unchanged"
                                    : "input is not compressed data: passed through unchanged");
    }
    // OUT is touched only now that its whole content is known.
    int status = EXIT_OK;
    if (isStdio(out)) {
        if (!writeAll(STDOUT_FILENO, r.output)) {
            say(std::string("cannot write standard output: ") + std::strerror(errno));
            status = EXIT_OUTPUT;
        }
    } else if (!writeOutput(out, r.output, &error)) {
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
    if (!(out << std::flush)) {
        say("cannot write standard output");
        return EXIT_OUTPUT;
    }
    return EXIT_OK;
}
