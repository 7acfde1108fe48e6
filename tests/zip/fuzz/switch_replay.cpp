// Runs the switch-file check over a corpus directory and over a bounded,
// reproducible set of variants of each file (spliced keys, values, delimiters,
// NUL bytes and newlines, and cuts). Exit status 1 when any input disagrees.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/zip/fuzz/switch_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A small linear congruential generator: the same variants on every run.
struct Random {
    uint32_t state;
    uint32_t next(uint32_t bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    }
};

Bytes variant(Bytes b, Random& r) {
    static char const* const pieces[] = {"Compress", "compress", "1", "01", "+1", "-1", "0x1", "\r", "\v",
                                         "=", " ", ",", "\t", "\n", "#", "[zip]", "99999999999999999999"};
    int const edits = 1 + static_cast<int>(r.next(6));
    for (int e = 0; e < edits; ++e) {
        std::size_t const at = b.empty() ? 0 : r.next(static_cast<uint32_t>(b.size() + 1));
        switch (r.next(5)) {
        case 0: {
            std::string const p = pieces[r.next(sizeof pieces / sizeof *pieces)];
            b.insert(b.begin() + static_cast<long>(at), p.begin(), p.end());
            break;
        }
        case 1:
            b.insert(b.begin() + static_cast<long>(at), static_cast<uint8_t>(r.next(256)));
            break;
        case 2:
            b.insert(b.begin() + static_cast<long>(at), r.next(70), ' ');
            break;
        case 3:
            b.insert(b.begin() + static_cast<long>(at), 0);
            break;
        default:
            b.resize(at);
            break;
        }
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    int inputs = 0;
    Random random{12345};
    for (int a = 1; a < argc; ++a) {
        for (auto const& entry : std::filesystem::directory_iterator(argv[a])) {
            std::ifstream in(entry.path(), std::ios::binary);
            Bytes const original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            failures += checkSwitchFile(original.data(), original.size()) ? 0 : 1;
            for (int v = 0; v < 300; ++v) {
                Bytes const b = variant(original, random);
                failures += checkSwitchFile(b.data(), b.size()) ? 0 : 1;
            }
            inputs += 301;
        }
    }
    std::printf("%d inputs, %d disagreements\n", inputs, failures);
    return inputs > 0 && failures == 0 ? 0 : 1;
}
