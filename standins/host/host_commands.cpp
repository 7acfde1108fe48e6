#include "host_commands.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "cmn_abuf.h"
#include "host_files.h"
#include "host_modules.h"
#include "registry_dump.h"
#include "s_tbuf.h"
#include "s_zlib.h"
#include "zipC.h"

void say(std::string const& message) { std::cerr << "zip-host: " << message << "\n"; }

namespace {

void printUnloadReport(std::vector<UnloadStep> const& steps, std::ostream& out) {
    for (UnloadStep const& s : steps) {
        out << "unload " << s.name << ": " << s.objectsAfterUnloadCall << " object(s) after the unload call; "
            << (s.usedByOthers ? "still used by other modules, holders cut loose" : "not used by other modules") << "; "
            << s.objectsAfterFini << " object(s) left before dlclose; dlclose "
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

// What the zlib module answers to its query `name` (s_zlib_max_output: the
// output limit in force; s_zlib_max_output_rejected: 1 when it refused the
// value of S_ZLIB_MAX_OUTPUT); 0 when it has no such query.
unsigned int zlibQuery(HostModules const& modules, char const* name) {
    for (HostModule const& m : modules.modules()) {
        if (m.name != "ZLIB") continue;
        auto query = reinterpret_cast<unsigned int (*)()>(dlsym(m.handle, name));
        return query != nullptr ? query() : 0;
    }
    return 0;
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

char const* serviceCall(CodecOp op) { return op == CodecOp::Compress ? "ZipTBuf" : "UnzipTBuf"; }

// "service: ZipTBuf 409711 -> 124118 bytes in 15.239 ms, 26.9 MB/s"; the rate
// counts the uncompressed side, as throughput usually does. A pass-through
// has no rate: nothing was compressed or restored.
void sayServiceRate(CodecOp op, CodecResult const& r, size_t inputSize) {
    char line[160];
    double const seconds = r.serviceSeconds > 1e-9 ? r.serviceSeconds : 1e-9;
    size_t const plain = op == CodecOp::Compress ? inputSize : r.size();
    int n = std::snprintf(line, sizeof line, "service: %s %zu -> %zu bytes in %.3f ms, ", serviceCall(op), inputSize,
                          r.size(), r.serviceSeconds * 1e3);
    if (r.passedThrough)
        std::snprintf(line + n, sizeof line - n, "passed through");
    else
        std::snprintf(line + n, sizeof line - n, "%.1f MB/s", static_cast<double>(plain) / 1e6 / seconds);
    say(line);
}

// The zlib stream of no bytes (as zlib makes it at level 6).
unsigned char const kEmptyStream[] = {0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};

// Compressing no bytes: the ZIP service passes an empty buffer through
// whether compression is on or off, but compress promises a zlib stream when
// it is on. A one-byte probe tells which; on, the output is the empty stream.
bool emptyInputWantsStream() {
    static unsigned char const probe[1] = {0};
    CodecResult r = runCodec(CodecOp::Compress, std::vector<unsigned char>(probe, probe + 1));
    return r.ok && !r.passedThrough;
}

// "IN: 409711 -> 124118 bytes (30.3% of the input), written to OUT"
void saySizes(HostRequest const& q, size_t outputSize, size_t inputSize) {
    char ratio[48] = "";
    if (inputSize > 0)
        std::snprintf(ratio, sizeof ratio, " (%.1f%% of the input)",
                      100.0 * static_cast<double>(outputSize) / static_cast<double>(inputSize));
    std::string const where = q.mode == HostMode::Test ? "tested, nothing written"
                              : q.out == "-"           ? "written to standard output"
                                                       : "written to " + q.out;
    say((q.in == "-" ? std::string("standard input") : q.in) + ": " + std::to_string(inputSize) + " -> " +
        std::to_string(outputSize) + " bytes" + ratio + ", " + where);
}

// Reports a failure, or writes the output to OUT (touched only now that its
// whole content is known); the exit status.
int writeResult(HostRequest const& q, CodecOp op, CodecResult r, HostModules const& modules, size_t inputSize) {
    if (!r.ok) {
        if (r.code == S_ZLIB_OUTPUT_LIMIT) r.message = resultCodeName(r.code, zlibQuery(modules, "s_zlib_max_output"));
        say(std::string(op == CodecOp::Compress ? "compress" : "decompress") + " failed: " + r.message);
        return r.noMemory ? EXIT_NO_MEMORY : EXIT_SERVICE_FAILED;
    }
    if (q.timing) sayServiceRate(op, r, inputSize);
    if (r.passedThrough && (r.size() > 0 || q.mode == HostMode::Test)) {
        std::string const what = op == CodecOp::Compress ? "compression is off" : "input is not compressed data";
        if (q.strict || q.mode == HostMode::Test) {
            say(what + (q.mode == HostMode::Test ? "" : ": nothing written (--strict)"));
            return EXIT_PASSED_THROUGH;
        }
        say(what + (op == CodecOp::Compress ? ": input passed through unchanged" : ": passed through unchanged"));
    }
    unsigned char const* data = r.data();
    size_t size = r.size();
    if (op == CodecOp::Compress && inputSize == 0 && emptyInputWantsStream()) {
        data = kEmptyStream;
        size = sizeof kEmptyStream;
    }
    if (q.verbose) saySizes(q, size, inputSize);
    if (q.mode == HostMode::Test) return EXIT_OK;
    std::string error;
    if (isStdio(q.out)) {
        if (writeAll(STDOUT_FILENO, data, size)) return EXIT_OK;
        say(std::string("cannot write standard output: ") + std::strerror(errno));
        return EXIT_OUTPUT;
    }
    if (writeOutput(q.out, data, size, &error)) return EXIT_OK;
    say(error);
    return EXIT_OUTPUT;
}

}  // namespace

int runCodecCommand(HostRequest const& q) {
    CodecOp const op = q.mode == HostMode::Compress ? CodecOp::Compress : CodecOp::Decompress;
    bool const verbose = q.verbose;
    std::string const& modulesDir = q.modulesDir;
    std::string error;
    PendingInput input;
    if (!input.open(q.in, &error)) {
        say(error);
        return EXIT_INPUT;
    }

    // Everything that can be refused without reading the input is, first.
    HostModules modules;
    if (!loadModules(modules, modulesDir)) return finish(modules, EXIT_MODULES, verbose);
    // A limit asked for but not understood would silently mean the default,
    // a weaker guard than the one asked for: refused before any work.
    if (zlibQuery(modules, "s_zlib_max_output_rejected") != 0) {
        char const* value = std::getenv("S_ZLIB_MAX_OUTPUT");
        say(std::string("S_ZLIB_MAX_OUTPUT=") + (value != nullptr ? value : "") + " is not a byte count from 1 to " +
            std::to_string(S_ZLIB_LARGEST_OUTPUT) + " (digits only)");
        return finish(modules, EXIT_USAGE, verbose);
    }
    // What a byte buffer holds; to compress, what the codec can compress
    // into one (the zlib module says).
    size_t limit = S_TBUF_MAX_LEN;
    std::string tooLarge = "larger than a byte buffer can hold (" + std::to_string(limit) + " bytes)";
    if (unsigned int most = zlibQuery(modules, "s_zlib_max_input"); op == CodecOp::Compress && most != 0) {
        limit = most < limit ? most : limit;
        tooLarge = "too large to compress into a byte buffer (at most " + std::to_string(limit) + " bytes)";
    }
    if (!input.read(limit, tooLarge, &error)) {
        say(error);
        return finish(modules, EXIT_INPUT, verbose);
    }

    bool noMemory = false;
    HeldTBuf buffer(input.intoBuffer(&error, &noMemory));
    if (buffer.get() == nullptr) {
        say(error);
        return finish(modules, noMemory ? EXIT_NO_MEMORY : EXIT_INPUT, verbose);
    }
    // The result holds the zip buffer, and with it the output and the input:
    // it goes at the end of this statement, before the modules unload.
    size_t const inputSize = buffer.get()->len();
    int status = writeResult(q, op, runCodec(op, std::move(buffer)), modules, inputSize);
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
                out << "== while the host holds a byte buffer and a zip buffer (ZipTBuf: " << resultCodeName(code)
                    << ")\n";
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
