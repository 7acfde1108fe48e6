#pragma once
// The command line of zip-host, read into a request before anything is
// loaded or read. It takes gzip's habits beside its own command words:
//
//   zip-host [OPTIONS] compress|decompress [IN [OUT]]
//   zip-host [OPTIONS] [-z|-d|-t] [IN [OUT]]     (compress when none is given)
//   zip-host [OPTIONS] inspect [--dot]
//
// OUT omitted with IN a file: IN.zz when compressing, IN without its .zz when
// restoring, standard output with -c. Short options combine (-dc, -kf).

#include <string>

enum class HostMode { Compress, Decompress, Test, Inspect, Help, Version };

struct HostRequest {
    HostMode mode = HostMode::Compress;
    std::string in = "-";    ///< "-": standard input
    std::string out = "-";   ///< "-": standard output; unused by Test and Inspect
    std::string configDir;   ///< empty: the configuration library's own choice
    std::string modulesDir;  ///< empty: the default module folder
    bool force = false;      ///< -f: replace an existing OUT, write compressed data to a terminal
    bool verbose = false;    ///< -v: sizes and ratio, and the unload protocol
    bool timing = false;     ///< --timing: the service's own time and rate
    bool strict = false;     ///< --strict: a pass-through is an error
    bool switchOn = false;   ///< --on: compression on for this run only
    bool dot = false;        ///< inspect --dot
    bool modeNamed = false;  ///< a command word or a mode option chose the mode
};

// Reads argv into `request`. On a usage error returns false with `error`
// naming the offending word (the caller adds the pointer to --help).
bool parseCommandLine(int argc, char const* const* argv, HostRequest& request, std::string& error);

// The suffix of compressed files that the default OUT names add and strip.
extern char const kCompressedSuffix[];
