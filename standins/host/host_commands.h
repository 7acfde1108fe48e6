#pragma once
// The commands of zip-host. Each loads the byte-buffer, zlib and ZIP modules
// from `modulesDir` (empty: the default folder beside the executable), does
// its work as client code would, drops its own stubs and unloads every module
// with the full unload protocol. Each returns the process's exit status.

#include <string>

#include "host_cli.h"
#include "host_codec.h"

// Exit statuses of zip-host.
enum ExitStatus {
    EXIT_OK = 0,
    EXIT_SERVICE_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_INPUT = 3,
    EXIT_OUTPUT = 4,
    EXIT_MODULES = 5,
    EXIT_UNLOAD = 6,
    EXIT_NO_MEMORY = 7,
    EXIT_PASSED_THROUGH = 8,  // with --strict, or -t on input that is no compressed stream
};

// Compresses, restores or tests (restores and writes nothing) IN into OUT as
// `request` says ("-": standard input or output): --strict and -t make a
// pass-through an error, -v reports the sizes and the ratio and the unload
// protocol, --timing the time spent in the service's ZipTBuf()/UnzipTBuf()
// call and its rate in uncompressed bytes.
int runCodecCommand(HostRequest const& request);
// Prints every module's object registry while the host holds a byte buffer
// and a zip buffer, and after it let go (text, or Graphviz with `dot`), then
// the unload protocol's report.
int runInspect(std::string const& modulesDir, bool dot);

// Writes "zip-host: <message>" to standard error.
void say(std::string const& message);
