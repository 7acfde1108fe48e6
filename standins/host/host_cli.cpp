#include "host_cli.h"

#include <vector>

char const kCompressedSuffix[] = ".zz";

namespace {

bool endsWith(std::string const& s, std::string const& suffix) {
    return s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isStdioName(std::string const& name) { return name == "-"; }

// A mode asked for twice in two ways (-d and -z, or -d and "compress") is a
// usage error: the run would do one of them by surprise.
bool setMode(HostRequest& r, bool& modeGiven, HostMode m, std::string const& word, std::string& error) {
    if (modeGiven && r.mode != m) {
        error = "'" + word + "' conflicts with the mode already given";
        return false;
    }
    r.mode = m;
    modeGiven = true;
    return true;
}

// One option that has a short form, as its letter; `word` is how the user
// wrote it, for the error. False (with the error) for an unknown letter.
bool option(char c, std::string const& word, HostRequest& r, bool& modeGiven, bool& toStdout, std::string& error) {
    switch (c) {
        case 'z': return setMode(r, modeGiven, HostMode::Compress, word, error);
        case 'd': return setMode(r, modeGiven, HostMode::Decompress, word, error);
        case 't': return setMode(r, modeGiven, HostMode::Test, word, error);
        case 'c': toStdout = true; return true;
        case 'k': return true;  // IN is never removed
        case 'f': r.force = true; return true;
        case 'v': r.verbose = true; return true;
        case 'h': r.mode = HostMode::Help, modeGiven = true; return true;
        default: error = "unknown option '" + word + "'"; return false;
    }
}

// The long spellings of the options that have a short form.
struct LongForm {
    char const* name;
    char letter;
};
LongForm const kLongForms[] = {{"--compress", 'z'}, {"--decompress", 'd'}, {"--test", 't'},
                               {"--stdout", 'c'},   {"--to-stdout", 'c'},  {"--keep", 'k'},
                               {"--force", 'f'},    {"--verbose", 'v'},    {"--help", 'h'}};

char letterOf(std::string const& longOption) {
    for (LongForm const& f : kLongForms)
        if (longOption == f.name) return f.letter;
    return '\0';
}

// OUT when none is named: standard output for standard input or -c, else the
// file name with the suffix added (compress) or taken off (restore).
bool defaultOutput(HostRequest& r, bool toStdout, std::string& error) {
    if (toStdout || isStdioName(r.in) || r.mode == HostMode::Test) {
        r.out = "-";
        return true;
    }
    if (r.mode == HostMode::Compress) {
        r.out = r.in + kCompressedSuffix;
        return true;
    }
    if (!endsWith(r.in, kCompressedSuffix)) {
        error = "'" + r.in + "' does not end in " + kCompressedSuffix + ": name OUT, or use -c";
        return false;
    }
    r.out = r.in.substr(0, r.in.size() - (sizeof kCompressedSuffix - 1));
    return true;
}

}  // namespace

bool parseCommandLine(int argc, char const* const* argv, HostRequest& r, std::string& error) {
    r = HostRequest{};
    bool modeGiven = false, toStdout = false, options = true;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        if (a.empty()) {
            // An empty name is a mistake (an unset variable), not standard input.
            error = "an empty IN or OUT names no file; '-' names standard input or output";
            return false;
        }
        if (!options || isStdioName(a) || a[0] != '-') {
            operands.push_back(a);
        } else if (a == "--") {
            options = false;
        } else if (a == "--config-dir" || a == "--modules") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                error = "'" + a + "' needs a folder";
                return false;
            }
            (a == "--config-dir" ? r.configDir : r.modulesDir) = argv[++i];
        } else if (a == "--timing" || a == "--strict" || a == "--on" || a == "--dot") {
            (a == "--timing" ? r.timing : a == "--strict" ? r.strict : a == "--on" ? r.switchOn : r.dot) = true;
        } else if (a == "--version") {
            r.mode = HostMode::Version;
        } else if (a.compare(0, 2, "--") == 0) {
            if (!option(letterOf(a), a, r, modeGiven, toStdout, error)) return false;
        } else {
            for (char c : a.substr(1))
                if (!option(c, std::string("-") + c, r, modeGiven, toStdout, error)) return false;
        }
        if (r.mode == HostMode::Help || r.mode == HostMode::Version) return true;
    }

    // A command word leads the operands unless a mode option was given; three
    // operands without one start with a misspelled command.
    if (!operands.empty() && !modeGiven) {
        std::string const& w = operands.front();
        if (w == "compress" || w == "decompress" || w == "inspect") {
            r.mode = w == "compress"     ? HostMode::Compress
                     : w == "decompress" ? HostMode::Decompress
                                         : HostMode::Inspect;
            operands.erase(operands.begin());
            modeGiven = true;
        } else if (operands.size() > 2) {
            error = "unknown command '" + w + "'";
            return false;
        }
    }
    r.modeNamed = modeGiven;
    if (r.mode == HostMode::Inspect) {
        if (!operands.empty()) {
            error = "inspect takes no file: '" + operands.front() + "'";
            return false;
        }
        return true;
    }
    if (r.dot) {
        error = "'--dot' goes with inspect only";
        return false;
    }
    if (r.switchOn && !r.configDir.empty()) {
        error = "'--on' and '--config-dir' both choose the switch file";
        return false;
    }
    std::size_t const most = r.mode == HostMode::Test ? 1 : 2;
    if (operands.size() > most) {
        error = "unexpected '" + operands[most] + "'";
        return false;
    }
    if (!operands.empty()) r.in = operands[0];
    if (operands.size() == 2) {
        if (toStdout) {
            error = "'-c' writes to standard output, but OUT '" + operands[1] + "' is named too";
            return false;
        }
        r.out = operands[1];
        return true;
    }
    return defaultOutput(r, toStdout, error);
}
